// Interoperability with an independent RFC 2217 server: Debian's ser2net serves a pty of
// this test (one end of a socat pty pair) on loopback, and the program connects to it as
// its module, with the real pty backend as the virtual port. A client process opens the
// virtual port and sets its line; the settings must show on the device ser2net serves, and
// bytes must cross both ways unchanged, 0xFF included.
//
// The test runs in a network namespace of its own. There ser2net needs a second loopback
// address: it resolves its listening address with AI_ADDRCONFIG, which finds no IPv4 at
// all when 127.0.0.1 is the only address.

#include "app/Dialogs.h"
#include "app/Umainf.h"
#include "link/Sockets.h"
#include "tests/support/FormHarness.h"
#include "tests/support/PtyClient.h"
#include "vport/PtyLine.h"
#include "vport/PtyPort.h"

#include "app/Controls.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sched.h>
#include <termios.h>
#include <unistd.h>

using namespace vsp;
using vsptest::DesignDefaults;
using vsptest::FormHarness;
using vsptest::PtyClient;

namespace {

const QString Ser2netPath = QStringLiteral("/usr/sbin/ser2net");
const QString SocatPath = QStringLiteral("/usr/bin/socat");

// The namespace this process runs in from here on: loopback only, up, with 127.0.0.2
// beside 127.0.0.1. Child processes (ser2net, socat, the client) are born into it.
QString EnterPrivateNetwork()
{
    if (unshare(CLONE_NEWNET) != 0)
        return QStringLiteral("cannot make a network namespace (%1): this test needs root or "
                              "user namespaces")
            .arg(QString::fromLocal8Bit(strerror(errno)));
    for (const QStringList& args : { QStringList { "link", "set", "lo", "up" },
             QStringList { "addr", "add", "127.0.0.2/8", "dev", "lo" } }) {
        QProcess ip;
        ip.start(QStringLiteral("ip"), args);
        if (!ip.waitForFinished(10000) || ip.exitStatus() != QProcess::NormalExit
            || ip.exitCode() != 0)
            return QStringLiteral("ip %1 failed: %2")
                .arg(args.join(' '), QString::fromLocal8Bit(ip.readAllStandardError()));
    }
    return {};
}

// A TCP port nobody listens on now.
int FreePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost)) return 0;
    return probe.serverPort();
}

bool Listening(int port)
{
    QFile tcp(QStringLiteral("/proc/net/tcp"));
    if (!tcp.open(QIODevice::ReadOnly)) return false;
    const QByteArray local
        = QByteArray("0100007F:") + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : tcp.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() > 3 && f[1] == local && f[3] == "0A") return true;
    }
    return false;
}

void Stop(QProcess& p)
{
    if (p.state() == QProcess::NotRunning) return;
    p.terminate();
    if (!p.waitForFinished(3000)) {
        p.kill();
        p.waitForFinished(3000);
    }
}

// socat's pty pair and ser2net serving one end of it over RFC 2217.
struct Ser2net {
    QTemporaryDir dir;
    QProcess socat, server;
    QString device; // the end ser2net serves
    QString far; // the other end: what the serial device would see on its wire
    int farFd = -1;
    int port = 0;
    QString error;

    ~Ser2net()
    {
        Stop(server);
        Stop(socat);
        if (farFd >= 0) ::close(farFd);
    }

    bool Start()
    {
        if (!dir.isValid()) return Fail(QStringLiteral("no temporary folder"));
        device = dir.filePath(QStringLiteral("served"));
        far = dir.filePath(QStringLiteral("far"));
        socat.setProcessChannelMode(QProcess::ForwardedChannels);
        socat.start(SocatPath,
            { QStringLiteral("pty,raw,echo=0,link=") + device,
                QStringLiteral("pty,raw,echo=0,link=") + far });
        if (!socat.waitForStarted(5000)
            || !QTest::qWaitFor([&] { return QFile::exists(device) && QFile::exists(far); }, 5000))
            return Fail(QStringLiteral("socat made no pty pair"));
        farFd = ::open(QFile::encodeName(far).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (farFd < 0) return Fail(QStringLiteral("cannot open ") + far);
        port = FreePort();
        return StartServer();
    }

    // ser2net alone, on the same port each time.
    bool StartServer()
    {
        const QString config = dir.filePath(QStringLiteral("ser2net.yaml"));
        QFile yaml(config);
        if (!yaml.open(QIODevice::WriteOnly)) return Fail(QStringLiteral("cannot write ") + config);
        yaml.write(QStringLiteral("%YAML 1.1\n"
                                  "---\n"
                                  "connection: &vsp\n"
                                  "    accepter: telnet(rfc2217),tcp,127.0.0.1,%1\n"
                                  "    enable: on\n"
                                  "    options:\n"
                                  "      kickolduser: true\n"
                                  "    connector: serialdev,%2,9600n81,local\n")
                       .arg(port)
                       .arg(device)
                       .toUtf8());
        yaml.close();
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.start(Ser2netPath,
            { QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-c"), config,
                QStringLiteral("-P"), dir.filePath(QStringLiteral("ser2net.pid")) });
        if (!server.waitForStarted(5000)
            || !QTest::qWaitFor(
                [&] { return Listening(port) || server.state() == QProcess::NotRunning; }, 10000)
            || !Listening(port))
            return Fail(QStringLiteral("ser2net does not listen on %1: %2")
                            .arg(port)
                            .arg(QString::fromLocal8Bit(server.readAll())));
        return true;
    }

    void StopServer() { Stop(server); }

    bool Fail(const QString& why)
    {
        error = why;
        return false;
    }

    // The served device's line as ser2net left it.
    bool DeviceLine(TPtyLineState& state) const
    {
        const int fd
            = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return false;
        const bool ok = ReadPtyLineState(fd, state);
        ::close(fd);
        return ok;
    }

    // Puts the served device's line elsewhere, as a device left by someone else would be.
    bool SetDeviceSpeed(speed_t speed) const
    {
        const int fd
            = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return false;
        termios t {};
        const bool ok = tcgetattr(fd, &t) == 0 && cfsetspeed(&t, speed) == 0
            && tcsetattr(fd, TCSANOW, &t) == 0;
        ::close(fd);
        return ok;
    }

    // Reads what the device side received until `size` bytes are there or time runs out.
    QByteArray ReadFar(qsizetype size, int timeoutMs = 10000)
    {
        QByteArray got;
        QDeadlineTimer deadline(timeoutMs);
        char buf[4096];
        while (got.size() < size && !deadline.hasExpired()) {
            const ssize_t n = ::read(farFd, buf, sizeof buf);
            if (n > 0)
                got.append(buf, n);
            else
                QTest::qWait(2); // the program works in this thread: let it run
        }
        return got;
    }

    bool WriteFar(const QByteArray& bytes, int timeoutMs = 10000)
    {
        qsizetype done = 0;
        QDeadlineTimer deadline(timeoutMs);
        while (done < bytes.size() && !deadline.hasExpired()) {
            const ssize_t n = ::write(farFd, bytes.constData() + done, size_t(bytes.size() - done));
            if (n > 0)
                done += n;
            else
                QTest::qWait(2);
        }
        return done == bytes.size();
    }
};

// The program with the real pty port, linked to ser2net as a client with the NVT options on.
struct Program : FormHarness {
    TPtyVSPort* port = nullptr;
    QString link;

    // linkBeforeOpen: the link is up before anyone opens the port; else the open starts it.
    explicit Program(int serverPort, const QString& portDir, bool linkBeforeOpen = true)
        : FormHarness(DesignDefaults, PortsIn(portDir), { .ptyPort = true })
    {
        TMainForm* form = get();
        port = static_cast<TPtyVSPort*>(form->VSPort.get());
        form->IPAddressComboBox->setEditText(QStringLiteral("127.0.0.1"));
        form->PortLabeledEdit->setText(QString::number(serverPort));
        form->ServerPortLabeledEdit->setText(QStringLiteral("0")); // not used, but must be a number
        form->ComPortComboBox->setEditText(QStringLiteral("COM7"));
        form->ConnectClosedCheckBox->setChecked(linkBeforeOpen);
        form->NVTEnabledCheckBox->setChecked(true);
        form->NVTFilterCheckBox->setChecked(true);
        form->NVTPortSetupCheckBox->setChecked(true);
        form->CreateCOMBitBtnClick();
        link = port->LinkPath();
    }

    static TPlatform PortsIn(const QString& portDir)
    {
        TPlatform platform;
        platform.PortFolders.chosen = portDir;
        return platform;
    }
};

bool Connected(const Program& w)
{
    return QTest::qWaitFor(
        [&] { return w->LANStatusClientLabel->text() == QLatin1String("Connected"); }, 10000);
}

// The client opens the port and writes bytes with a 0xFF among them: they reach the device
// side unchanged.
bool BytesCross(Ser2net& peer, const Program& w, PtyClient& client)
{
    return client.Ok("open " + QFile::encodeName(w.link)) && client.Ok("write 41ff42")
        && peer.ReadFar(3) == QByteArray::fromHex("41ff42");
}

// Every byte value, then a long run of 0xFF, then the Telnet line-end pairs a non-binary
// Telnet peer might rewrite, then 0xFF again where a block may end.
QByteArray Awkward()
{
    QByteArray b;
    for (int i = 0; i < 256; ++i)
        b.append(char(i));
    b.append(QByteArray(1000, char(0xFF)));
    b.append("\r\n\r\0x\rx\n", 9);
    for (int i = 0; i < 300; ++i)
        b.append(i % 3 ? char(0xFF) : char(i));
    return b;
}

// Where two byte strings first differ, for a failure message.
QByteArray FirstDifference(const QByteArray& got, const QByteArray& want)
{
    qsizetype i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i])
        ++i;
    return QStringLiteral("got %1 bytes, want %2; first difference at %3: got %4, want %5")
        .arg(got.size())
        .arg(want.size())
        .arg(i)
        .arg(QString::fromLatin1(got.mid(i, 8).toHex(' ')),
            QString::fromLatin1(want.mid(i, 8).toHex(' ')))
        .toLocal8Bit();
}

} // namespace

class TstSer2net : public QObject {
    Q_OBJECT
    QTemporaryDir portDir_;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(Ser2netPath).isExecutable(),
            "ser2net is not installed (apt-get install ser2net)");
        QVERIFY2(
            QFileInfo(SocatPath).isExecutable(), "socat is not installed (apt-get install socat)");
        const QString why = EnterPrivateNetwork();
        QVERIFY2(why.isEmpty(), qPrintable(why));
        QVERIFY(portDir_.isValid());
        PtyClient probe;
        QVERIFY2(probe.Ok("check"), qPrintable(probe.Error())); // pyserial is there
    }

    void settingsAndBytesCrossUnchanged()
    {
        Ser2net peer;
        QVERIFY2(peer.Start(), qPrintable(peer.error));
        Program w(peer.port, portDir_.path());
        QVERIFY2(!w.link.isEmpty(), qPrintable(w.LogLines().join('\n')));
        QVERIFY2(Connected(w), qPrintable(w.LogLines().join('\n')));
        QVERIFY(w->Link->DataConnection());

        // A client opens the virtual port with pyserial and sets its line.
        PtyClient client;
        QVERIFY2(client.Ok("serial " + QFile::encodeName(w.link)
                     + " baudrate=115200 stopbits=2 rtscts=1"),
            qPrintable(client.Error()));
        TPtyVSPort* port = w.port;
        QTRY_VERIFY_WITH_TIMEOUT(port->IsOpened(), 5000);
        TPtyLineState line;
        QVERIFY(QTest::qWaitFor(
            [&] {
                return peer.DeviceLine(line) && line.baudRate == 115200
                    && line.stopBits == STOPBITS_TWO
                    && line.controlHandShake == SERIAL_CTS_HANDSHAKE;
            },
            10000));
        QCOMPARE(line.flowReplace, SERIAL_RTS_HANDSHAKE); // CRTSCTS on the served device
        QCOMPARE(w->BaudLabel->text(), QStringLiteral("115200"));
        QCOMPARE(w->StopBitsLabel->text(), QStringLiteral("2"));
        const QStringList log = w.LogLines();
        QVERIFY2(log.contains(QStringLiteral("Remonte baudrate set")), qPrintable(log.join('\n')));
        QVERIFY(log.contains(QStringLiteral("Remonte control options set")));
        QVERIFY(log.contains(QStringLiteral("Remonte handshake set")));

        // Bytes both ways, every value and runs of 0xFF.
        QVERIFY2(client.Ok("open " + QFile::encodeName(w.link)), qPrintable(client.Error()));
        const QByteArray awkward = Awkward();
        QByteArray bulk; // many reads of 512 bytes, with escaped pairs wherever reads end
        for (int i = 0; i < 20; ++i)
            bulk += awkward;
        for (const QByteArray& data : { awkward, bulk }) {
            // Both ends read while the other writes, as serial programs do.
            client.Send("write " + data.toHex());
            const QByteArray atDevice = peer.ReadFar(data.size(), 20000);
            QVERIFY2(atDevice == data, FirstDifference(atDevice, data).constData());
            QVERIFY2(!client.Reply().isNull(), qPrintable(client.Error()));
            client.Send("read " + QByteArray::number(data.size()) + " 20000");
            QVERIFY(peer.WriteFar(data));
            const QByteArray atProgram = QByteArray::fromHex(client.Reply(30000));
            QVERIFY2(atProgram == data, FirstDifference(atProgram, data).constData());
        }
        QCOMPARE(w.boxes.size(), 0);
    }

    // The usual case: the link starts with the program's open, and the program sets its
    // line at once, while the connect is under way. The device follows all the same.
    void settingsMadeAtOpenReachTheDevice()
    {
        Ser2net peer;
        QVERIFY2(peer.Start(), qPrintable(peer.error));
        Program w(peer.port, portDir_.path(), false);
        QVERIFY(!w->Link->DataConnection());
        PtyClient client;
        QVERIFY2(client.Ok("serial " + QFile::encodeName(w.link) + " baudrate=57600 stopbits=2"),
            qPrintable(client.Error()));
        TPtyLineState line;
        QVERIFY(QTest::qWaitFor(
            [&] {
                return peer.DeviceLine(line) && line.baudRate == 57600
                    && line.stopBits == STOPBITS_TWO;
            },
            10000));
        QVERIFY2(BytesCross(peer, w, client), qPrintable(client.Error()));
    }

    // A baud rate with a byte 0xFF in it: ser2net takes the rate and the data behind it.
    void baudRateWithIacByte()
    {
        Ser2net peer;
        QVERIFY2(peer.Start(), qPrintable(peer.error));
        Program w(peer.port, portDir_.path());
        QVERIFY2(Connected(w), qPrintable(w.LogLines().join('\n')));
        PtyClient client;
        QVERIFY2(client.Ok("serial " + QFile::encodeName(w.link) + " baudrate=511"),
            qPrintable(client.Error()));
        TPtyLineState line;
        QVERIFY(
            QTest::qWaitFor([&] { return peer.DeviceLine(line) && line.baudRate == 511; }, 10000));
        QVERIFY2(BytesCross(peer, w, client), qPrintable(client.Error()));
    }

    // ser2net opens its device with its own settings (9600n81 here) at every connection.
    // Restarted under a connected program, its device must follow the program again, and
    // the log says the settings went out.
    void deviceFollowsAgainAfterRestart()
    {
        Ser2net peer;
        QVERIFY2(peer.Start(), qPrintable(peer.error));
        Program w(peer.port, portDir_.path());
        QVERIFY2(Connected(w), qPrintable(w.LogLines().join('\n')));
        PtyClient client;
        QVERIFY2(client.Ok("serial " + QFile::encodeName(w.link)
                     + " baudrate=115200 stopbits=2 rtscts=1"),
            qPrintable(client.Error()));
        TPtyLineState line;
        const auto followed = [&] {
            return peer.DeviceLine(line) && line.baudRate == 115200 && line.stopBits == STOPBITS_TWO
                && line.controlHandShake == SERIAL_CTS_HANDSHAKE;
        };
        QVERIFY(QTest::qWaitFor(followed, 10000));

        peer.StopServer();
        QTRY_VERIFY_WITH_TIMEOUT(!w->Link->DataConnection(), 10000);
        // Whatever ser2net does at its start, only the program's settings bring this back.
        QVERIFY(peer.SetDeviceSpeed(B4800));
        QVERIFY(peer.DeviceLine(line) && line.baudRate == 4800);
        QVERIFY2(peer.StartServer(), qPrintable(peer.error));
        QVERIFY2(QTest::qWaitFor(followed, 30000),
            qPrintable(QStringLiteral("device at %1 baud, %2 stop bits, handshake %3; log:\n%4")
                           .arg(line.baudRate)
                           .arg(line.stopBits)
                           .arg(line.controlHandShake)
                           .arg(w.LogLines().join('\n'))));
        const QStringList log = w.LogLines();
        const QString connected = QStringLiteral("TCP connected module 127.0.0.1");
        QVERIFY2(log.count(connected) >= 2, qPrintable(log.join('\n')));
        QCOMPARE(log.mid(log.lastIndexOf(connected) + 1, 3),
            (QStringList {
                "Remonte baudrate set", "Remonte control options set", "Remonte handshake set" }));
        QVERIFY2(BytesCross(peer, w, client), qPrintable(client.Error()));
    }

    // ser2net answers every setting at once, in the middle of whatever its device is sending:
    // a program that changes its line while the device streams gets the stream and nothing
    // else.
    void answersDoNotReachTheProgram()
    {
        Ser2net peer;
        QVERIFY2(peer.Start(), qPrintable(peer.error));
        Program w(peer.port, portDir_.path());
        QVERIFY2(Connected(w), qPrintable(w.LogLines().join('\n')));
        PtyClient setter, reader;
        QVERIFY2(setter.Ok("serial " + QFile::encodeName(w.link) + " baudrate=9600"),
            qPrintable(setter.Error()));
        QVERIFY2(reader.Ok("open " + QFile::encodeName(w.link)), qPrintable(reader.Error()));
        constexpr int Chunk = 2048, Changes = 40;
        const QByteArray stream = vsptest::Pattern(Chunk * Changes, 21);
        reader.Send("read " + QByteArray::number(stream.size()) + " 30000");
        static const char* const settings[] = { "baudrate=19200 stopbits=2",
            "baudrate=115200 stopbits=1", "baudrate=57600 stopbits=2", "baudrate=9600 stopbits=1" };
        for (int i = 0; i < Changes; ++i) {
            QVERIFY(peer.WriteFar(stream.mid(i * Chunk, Chunk)));
            QVERIFY2(
                setter.Ok(QByteArray("serialset ") + settings[i % 4]), qPrintable(setter.Error()));
        }
        const QByteArray got = QByteArray::fromHex(reader.Reply(40000));
        QVERIFY2(got == stream, FirstDifference(got, stream).constData());
    }
};

QTEST_MAIN(TstSer2net)
#include "tst_ser2net.moc"
