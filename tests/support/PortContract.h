#pragma once
// What the main window relies on from a virtual port, whatever stands behind it: one suite
// of cases that every backend passes, the in-memory port of the handler tests as well as the
// pty. Were the two to differ, a handler test could pass on behaviour the real port never
// shows. Each backend comes with a peer that plays the program on the other side.

#include "vport/Vsportlib_tlb.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

namespace vsptest {

class PortPeer {
public:
    virtual ~PortPeer() = default;
    // Each is false when the other program could not do it.
    virtual bool Open() = 0;
    virtual bool Close() = 0;
    virtual bool Write(const QByteArray& bytes) = 0;
    // Makes the port exclusive for this program (TIOCEXCL): no other may open it meanwhile.
    virtual bool MakeExclusive() = 0;
    // What has reached the other program, waiting up to timeoutMs for `size` bytes.
    virtual QByteArray Read(int size, int timeoutMs) = 0;
    // Why the last of the above failed, for the failure message.
    virtual QString Error() const { return {}; }
};

struct PortBackend {
    std::function<std::unique_ptr<vsp::TVSPort>()> makePort;
    // A name CreatePort accepts, different for each n.
    std::function<QString(int n)> portName;
    // The other program for a port that CreatePort has made.
    std::function<std::unique_ptr<PortPeer>(vsp::TVSPort& port)> makePeer;
};

class PortContract : public QObject {
    Q_OBJECT
public:
    explicit PortContract(PortBackend backend)
        : backend_(std::move(backend))
    {
    }

private Q_SLOTS:
    void nothingBeforeCreate();
    void createsOnceUntilDeleted();
    void openAndCloseAreRaised();
    void writesWhileClosedAreRefused();
    void bytesFromThePeerInOrder();
    void bytesToThePeerInOrder();
    void lastBytesBeforeCloseStayReadable();
    void deleteDropsWaitingBytes();
    void emptyAndNullCallsDoNothing();
    void fullPortSaysWhenItHasRoom();
    void exclusiveModeEndsWithTheProgram();

private:
    PortBackend backend_;
    int names_ = 0;
};

} // namespace vsptest
