// The virtual-port contract, run against the in-memory port the handler tests use and
// against the pty backend driven by real client processes, run as an ordinary user.

#include "tests/support/FakePort.h"
#include "tests/support/PortContract.h"
#include "tests/support/PtyClient.h"
#include "vport/PtyPort.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <unistd.h>

using namespace vsptest;

namespace {

class FakePeer : public PortPeer {
public:
    explicit FakePeer(FakePort& port)
        : port_(port)
    {
    }
    bool Open() override
    {
        if (port_.Exclusive) return false; // as for any program but root
        port_.Open();
        return true;
    }
    bool Close() override
    {
        port_.Close();
        return true;
    }
    bool Write(const QByteArray& bytes) override
    {
        port_.ProgramWrites(bytes);
        return true;
    }
    bool MakeExclusive() override
    {
        port_.Exclusive = true;
        return true;
    }
    QByteArray Read(int size, int) override { return port_.ProgramReads(size); }

private:
    FakePort& port_;
};

// An ordinary user, as serial programs are: under the test's root, a uid of no account,
// given the pty as grantpt gives a user's own.
class PtyPeer : public PortPeer {
public:
    explicit PtyPeer(vsp::TVSPort& port)
        : client_(OrdinaryUserUid())
        , link_(QFile::encodeName(static_cast<vsp::TPtyVSPort&>(port).LinkPath()))
    {
        if (const int uid = OrdinaryUserUid(); uid >= 0) {
            const QByteArray slave
                = QFile::encodeName(static_cast<vsp::TPtyVSPort&>(port).SlavePath());
            if (::chown(slave.constData(), uid_t(uid), gid_t(uid)) != 0)
                qWarning("chown %s: %s", slave.constData(), strerror(errno));
        }
    }
    bool Open() override { return client_.Ok("open " + link_); }
    bool MakeExclusive() override { return client_.Ok("excl"); }
    QString Error() const override { return client_.Error(); }
    bool Close() override { return client_.Ok("close"); }
    bool Write(const QByteArray& bytes) override { return client_.Ok("write " + bytes.toHex()); }
    QByteArray Read(int size, int timeoutMs) override
    {
        return QByteArray::fromHex(
            client_.Call("read " + QByteArray::number(size) + ' ' + QByteArray::number(timeoutMs),
                timeoutMs + 10000));
    }

private:
    PtyClient client_;
    QByteArray link_;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir ports;
    if (!ports.isValid()) return 1;
    // The other programs may be another user (PtyPeer): they need to reach the links.
    QFile::setPermissions(ports.path(),
        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);

    PortContract fake({
        [] {
            auto port = std::make_unique<FakePort>();
            port->Capacity = 256 * 1024; // a queue as the pty's, so that it can be filled
            return port;
        },
        [](int n) { return QStringLiteral("COM%1").arg(n); },
        [](vsp::TVSPort& port) { return std::make_unique<FakePeer>(static_cast<FakePort&>(port)); },
    });
    // A name with a slash is the link itself, so the ports stay in a folder of this test.
    PortContract pty({
        [] { return std::make_unique<vsp::TPtyVSPort>(); },
        [&ports](int n) { return ports.filePath(QStringLiteral("COM%1").arg(n)); },
        [](vsp::TVSPort& port) { return std::make_unique<PtyPeer>(port); },
    });
    qInfo("The in-memory port:");
    int failed = QTest::qExec(&fake, argc, argv);
    qInfo("The pty backend:");
    failed += QTest::qExec(&pty, argc, argv);
    return failed;
}
