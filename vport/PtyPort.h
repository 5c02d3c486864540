#pragma once
// The virtual port over a pseudo-terminal: the port name becomes a symbolic link to the
// pty's slave side, which other programs open like any serial device.

#include "vport/PtyLink.h"
#include "vport/Vsportlib_tlb.h"

#include <QObject>
#include <QString>
#include <memory>

namespace vsp {

// Where a bare port name such as COM2 becomes a link (see TPortFolders). A name containing
// "/" is the link path itself.
QString PortLinkPath(const QString& name, const TPortFolders& folders);

class TPtyVSPort : public QObject, public TVSPort {
    Q_OBJECT
public:
    explicit TPtyVSPort(TPortFolders folders = {}, QObject* parent = nullptr);
    ~TPtyVSPort() override;

    bool CreatePort(const QString& name) override;
    bool Delete() override;
    bool IsOpened() const override;
    int32_t GetInCount() override;
    int32_t Read(uint8_t* buffer, int32_t maxCount) override;
    int32_t Write(const uint8_t* buffer, int32_t count) override;

    // The link made by CreatePort (empty when there is no port), and the slave it names.
    QString LinkPath() const;
    QString SlavePath() const;
    // Why the last CreatePort failed, for the log and for tests.
    QString LastError() const;
    // The control channel programs run through vsp-run talk to (empty when there is none),
    // and why there is none.
    QString ChannelPath() const;
    QString ChannelError() const;

    void SetCTS(bool on) override;
    void SetDSR(bool on) override;
    void SetRING(bool on) override;
    void SetDCD(bool on) override;

private:
    void SetModemInput(int line, bool on);
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace vsp
