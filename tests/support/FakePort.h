#pragma once
// An in-memory virtual port for tests of the main window's handlers: the test plays the
// other program (opens, writes, reads, changes line settings) and sees what the window did.
// It keeps the contract the pty backend keeps (tests/support/PortContract.h), so that a
// handler test sees what the real port would do.

#include "app/Platform.h"
#include "tests/support/TestSupport.h"
#include "vport/Vsportlib_tlb.h"

#include <QByteArray>
#include <QString>
#include <memory>

namespace vsptest {

class FakePort : public vsp::TVSPort {
public:
    // What the window did to the port.
    bool Created = false;
    QString Name;
    int CreateCalls = 0;
    int DeleteCalls = 0;
    bool FailCreate = false; // CreatePort returns false
    int WriteLimit = -1; // accept at most this many bytes per Write (-1: all)
    int Capacity = -1; // hold at most this many bytes for the other program (-1: no limit)

    bool Exclusive = false; // the other program made the port exclusive; its close ends that

    QByteArray Input; // written by the other program, not yet read by the window
    QByteArray Output; // written by the window, for the other program

    bool CreatePort(const QString& name) override
    {
        ++CreateCalls;
        if (Created) return false; // a live port is never replaced
        Name = name;
        Created = !FailCreate;
        return Created;
    }
    bool Delete() override
    {
        ++DeleteCalls;
        Created = false;
        opened_ = false;
        Input.clear();
        return true;
    }
    bool IsOpened() const override { return Created && opened_; }
    int32_t GetInCount() override { return int32_t(Input.size()); }
    int32_t Read(uint8_t* buffer, int32_t maxCount) override
    {
        if (!buffer || maxCount <= 0) return 0;
        const int32_t n = qMin<int32_t>(maxCount, int32_t(Input.size()));
        memcpy(buffer, Input.constData(), size_t(n));
        Input.remove(0, n);
        return n;
    }
    // Nothing is taken while no program has the port open.
    int32_t Write(const uint8_t* buffer, int32_t count) override
    {
        if (!IsOpened() || !buffer || count <= 0) return 0;
        int32_t n = WriteLimit < 0 ? count : qMin(count, WriteLimit);
        if (Capacity >= 0)
            n = qMin<int32_t>(n, qMax<int32_t>(0, Capacity - int32_t(Output.size())));
        Output.append(reinterpret_cast<const char*>(buffer), n);
        if (n < count) refused_ = true;
        return n;
    }

    // The other program's side.
    void Open()
    {
        opened_ = true;
        if (OnOpenClose) OnOpenClose(true);
    }
    void Close()
    {
        opened_ = false;
        Exclusive = false;
        if (OnOpenClose) OnOpenClose(false);
    }
    void ProgramWrites(const QByteArray& bytes)
    {
        Input.append(bytes);
        if (OnRxChar) OnRxChar(int32_t(bytes.size()));
    }
    // Takes up to size bytes of what the window wrote; a port that refused bytes says it
    // has room again once half its capacity is free, as the pty does.
    QByteArray ProgramReads(qsizetype size)
    {
        const QByteArray out = Output.left(size);
        Output.remove(0, out.size());
        if (refused_ && (Capacity < 0 || Capacity - Output.size() >= Capacity / 2)) {
            refused_ = false;
            if (OnWriteRoom) OnWriteRoom();
        }
        return out;
    }
    QByteArray TakeOutput() { return ProgramReads(Output.size()); }

private:
    bool opened_ = false;
    bool refused_ = false;
};

} // namespace vsptest
