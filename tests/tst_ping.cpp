// The echo check and its worker thread. Cases that need no reply, crafted replies, other
// sysctls or a private resolver run in a fresh network (and mount) namespace: the test
// starts itself again under unshare with --in-own-netns and the name of one case.

#include "app/Messages.h"
#include "tests/support/FormHarness.h"
#include "tests/support/TestSupport.h"
#include "vport/Uping.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMutex>
#include <QProcess>
#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace vsp;

namespace {

constexpr char CHILD_FLAG[] = "--in-own-netns";
constexpr char PARENT_NS_VAR[] = "VSP_PING_PARENT_NS";

// The budget is 5000 ms; allow for a loaded machine but not for a second wait.
constexpr qint64 BUDGET_MIN_MS = 4900;
constexpr qint64 BUDGET_MAX_MS = 6000;

int OpenFdCount()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

QByteArray NamespaceIds()
{
    QByteArray ids;
    for (const char* link : { "/proc/self/ns/net", "/proc/self/ns/mnt" }) {
        char target[128] = {};
        const ssize_t n = ::readlink(link, target, sizeof target - 1);
        ids += QByteArray(target, n > 0 ? int(n) : 0) + ' ';
    }
    return ids;
}

// Records the window messages posted to it, as the main window would receive them.
class TMessageSink : public QObject {
public:
    struct TGot {
        int Msg;
        std::uintptr_t WParam;
        std::intptr_t LParam;
        QThread* Thread;
    };
    QList<TGot> Got;

protected:
    bool event(QEvent* e) override
    {
        if (!TWinMessage::IsWinMessage(e)) return QObject::event(e);
        const auto* m = static_cast<const TWinMessage*>(e);
        Got.append({ m->Msg, m->WParam, m->LParam, QThread::currentThread() });
        return true;
    }
};

QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

// An IPv4 header of ihlWords 32-bit words (protocol ICMP) in front of an ICMP message.
QByteArray WithIpHeader(const QByteArray& icmp, int ihlWords = 5)
{
    QByteArray ip(ihlWords * 4, '\0');
    ip[0] = char(0x40 | ihlWords);
    ip[8] = char(64);
    ip[9] = char(IPPROTO_ICMP);
    return ip + icmp;
}

// An ICMP message shaped like our request but of any type, for crafted traffic.
QByteArray IcmpMessage(uint8_t type, uint16_t identifier, uint16_t sequence)
{
    TEchoRequest packet = BuildEchoRequest(identifier, sequence);
    packet[0] = type;
    packet[2] = packet[3] = 0;
    const uint16_t sum = InternetChecksum(packet.data(), packet.size());
    packet[2] = uint8_t(sum & 0xFF);
    packet[3] = uint8_t(sum >> 8);
    return QByteArray(reinterpret_cast<const char*>(packet.data()), int(packet.size()));
}

sockaddr_in Loopback()
{
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return to;
}

bool SendRaw(int fd, const QByteArray& icmp)
{
    const sockaddr_in to = Loopback();
    return ::sendto(fd, icmp.constData(), size_t(icmp.size()), 0,
               reinterpret_cast<const sockaddr*>(&to), sizeof to)
        == icmp.size();
}

bool WriteSysctl(const char* name, const QByteArray& value)
{
    QFile file(QStringLiteral("/proc/sys/net/ipv4/") + QLatin1String(name));
    return file.open(QIODevice::WriteOnly) && file.write(value) == value.size();
}

} // namespace

// ---------------------------------------------------------------------------------------
// Cases that run in the test's own process.

class TstPing : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { qInfo("ICMP here: %s", CPing::MethodName(CPing::Method())); }

    void echoRequestBytes()
    {
        // Computed by hand the textbook way (big-endian words, sum 0x5637A folded to
        // 0x637F, complement 0x9C80 sent as 9C 80); the little-endian reading must give
        // the same two bytes on the wire.
        const QByteArray expected = QByteArray::fromHex("08009c803412efbe"
                                                        "41726520796f75207468657265"
                                                        "3f202e2e2e2e2e2e2e2e2e2e2e2e2e2e2e");
        const TEchoRequest got = BuildEchoRequest(0x1234, 0xBEEF);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(got.data()), int(got.size())).toHex(),
            expected.toHex());
        // A correct checksum makes the whole message sum to zero.
        QCOMPARE(InternetChecksum(got.data(), got.size()), uint16_t(0));

        CPing ping;
        const TEchoRequest own = ping.EchoRequest();
        QCOMPARE(own[4] | (own[5] << 8), int(::getpid() & 0xFFFF));
        QCOMPARE(own[6] | (own[7] << 8), int(ping.Sequence()));
        QCOMPARE(InternetChecksum(own.data(), own.size()), uint16_t(0));
        // Two checks of one process never share a sequence number.
        CPing other;
        QVERIFY(other.Sequence() != ping.Sequence());
    }

    void checksum_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("wire"); // the checksum as stored, low byte first
        // RFC 1071 section 3: words 0001 f203 f4f5 f6f7 sum to ddf2 (big-endian reading).
        QTest::newRow("rfc1071 example")
            << Bytes({ 0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7 }) << Bytes({ 0x22, 0x0d });
        QTest::newRow("odd last byte is a low byte")
            << Bytes({ 0x01, 0x02, 0x03 }) << Bytes({ 0xfb, 0xfd });
        QTest::newRow("carries fold twice")
            << Bytes({ 0xff, 0xff, 0xff, 0xff, 0x02, 0x00 }) << Bytes({ 0xfd, 0xff });
        QTest::newRow("empty") << QByteArray() << Bytes({ 0xff, 0xff });
    }
    void checksum()
    {
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, wire);
        const uint16_t sum = InternetChecksum(
            reinterpret_cast<const uint8_t*>(data.constData()), size_t(data.size()));
        QCOMPARE(Bytes({ sum & 0xFF, sum >> 8 }).toHex(), wire.toHex());
    }

    void replyMatching_data()
    {
        constexpr uint16_t seq = 0x4321;
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<bool>("withIpHeader");
        QTest::addColumn<bool>("matches");
        QTest::newRow("raw reply") << WithIpHeader(IcmpMessage(0, 7, seq)) << true << true;
        QTest::newRow("raw reply, foreign identifier")
            << WithIpHeader(IcmpMessage(0, 0xAAAA, seq)) << true << true;
        QTest::newRow("raw reply after IP options")
            << WithIpHeader(IcmpMessage(0, 7, seq), 6) << true << true;
        QTest::newRow("our own request") << WithIpHeader(IcmpMessage(8, 7, seq)) << true << false;
        QTest::newRow("other sequence")
            << WithIpHeader(IcmpMessage(0, 7, seq + 1)) << true << false;
        QTest::newRow("byte-swapped sequence")
            << WithIpHeader(IcmpMessage(0, 7, 0x2143)) << true << false;
        QTest::newRow("unreachable") << WithIpHeader(IcmpMessage(3, 7, seq)) << true << false;
        QTest::newRow("truncated before sequence")
            << WithIpHeader(IcmpMessage(0, 7, seq)).left(20 + 7) << true << false;
        QTest::newRow("header only")
            << WithIpHeader(IcmpMessage(0, 7, seq)).left(20 + 8) << true << true;
        QTest::newRow("options longer than packet")
            << WithIpHeader(IcmpMessage(0, 7, seq)).left(20 + 8).replace(0, 1, "\x4f") << true
            << false;
        QTest::newRow("header length below 20") << [] {
            QByteArray p = WithIpHeader(IcmpMessage(0, 7, seq));
            p[0] = char(0x44);
            return p;
        }() << true << false;
        QTest::newRow("short IP header") << QByteArray(12, '\0') << true << false;
        QTest::newRow("empty") << QByteArray() << true << false;
        QTest::newRow("datagram reply") << IcmpMessage(0, 7, seq) << false << true;
        QTest::newRow("datagram other sequence") << IcmpMessage(0, 7, seq - 1) << false << false;
        QTest::newRow("datagram truncated") << IcmpMessage(0, 7, seq).left(7) << false << false;
    }
    void replyMatching()
    {
        QFETCH(QByteArray, packet);
        QFETCH(bool, withIpHeader);
        QFETCH(bool, matches);
        QCOMPARE(IsEchoReplyTo(reinterpret_cast<const uint8_t*>(packet.constData()),
                     size_t(packet.size()), withIpHeader, 0x4321),
            matches);
    }

    void targetText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("dotted") << QStringLiteral("127.0.0.1") << true;
        QTest::newRow("blanks around") << QStringLiteral(" 127.0.0.1\t") << true;
        QTest::newRow("host name") << QStringLiteral("localhost") << false;
        QTest::newRow("unresolvable name") << QStringLiteral("example.invalid") << false;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("unset address") << QStringLiteral("0.0.0.0") << false;
        QTest::newRow("shorthand") << QStringLiteral("127.1") << false;
        QTest::newRow("leading zeros") << QStringLiteral("127.000.000.001") << false;
        QTest::newRow("part too large") << QStringLiteral("127.0.0.256") << false;
        QTest::newRow("five parts") << QStringLiteral("127.0.0.1.1") << false;
        QTest::newRow("IPv6") << QStringLiteral("::1") << false;
        QTest::newRow("embedded NUL")
            << QStringLiteral("127.0.0.1") + QChar(0) + QStringLiteral("x") << false;
    }
    void targetText()
    {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        CPing ping;
        QVERIFY(ping.SetTarget(QStringLiteral("127.0.0.2")));
        // A refused text also forgets the previous target.
        QCOMPARE(ping.SetTarget(text), accepted);
        if (accepted) return;
        const int fds = OpenFdCount();
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!ping.Ping());
        QVERIFY2(timer.elapsed() < 50, "a refused text must fail at once, without a lookup");
        QCOMPARE(ping.UsedMethod(), CPing::TMethod::None); // no socket, so nothing was sent
        QCOMPARE(OpenFdCount(), fds);
    }

    void replyFromLoopback()
    {
        const CPing::TMethod method = CPing::Method();
        if (method == CPing::TMethod::None)
            QSKIP("no ICMP socket for this user: needs root, CAP_NET_RAW or a "
                  "net.ipv4.ping_group_range that holds our group");
        const int fds = OpenFdCount();
        qint64 slowest = 0;
        for (int i = 0; i < 5; ++i) {
            CPing ping;
            QVERIFY(ping.SetTarget(QStringLiteral("127.0.0.1")));
            QElapsedTimer timer;
            timer.start();
            QVERIFY(ping.Ping());
            slowest = qMax(slowest, timer.elapsed());
            QCOMPARE(ping.UsedMethod(), method);
        }
        qInfo("reply from 127.0.0.1 over %s: slowest of 5 took %lld ms", CPing::MethodName(method),
            slowest);
        QVERIFY(slowest < 1000);
        QCOMPARE(OpenFdCount(), fds);
    }

    void workerPostsSuccessCode()
    {
        if (CPing::Method() == CPing::TMethod::None)
            QSKIP("no ICMP socket for this user: needs root, CAP_NET_RAW or a "
                  "net.ipv4.ping_group_range that holds our group");
        TMessageSink sink;
        TPingThread thread(&sink);
        thread.AddressSource = [] { return QStringLiteral("127.0.0.1"); };
        thread.RequestPing(PING_CLOSE, PING_ERROR_LAN);
        QTRY_COMPARE_WITH_TIMEOUT(sink.Got.size(), 1, 3000);
        QCOMPARE(sink.Got[0].Msg, WM_PINGRESULT);
        QCOMPARE(sink.Got[0].WParam, std::uintptr_t(PING_CLOSE));
        QCOMPARE(sink.Got[0].LParam, std::intptr_t(0));
        QCOMPARE(sink.Got[0].Thread, QThread::currentThread());
        QTest::qWait(200);
        QCOMPARE(sink.Got.size(), 1);
        QVERIFY(!thread.Busy());
    }

    void workerWithoutAddressPostsFailureCode()
    {
        TMessageSink sink;
        TPingThread thread(&sink);
        // No source set: an empty address, which is no target.
        thread.RequestPing(PING_RECONNECT, PING_NO_ACTION);
        QTRY_COMPARE_WITH_TIMEOUT(sink.Got.size(), 1, 1000);
        QCOMPARE(sink.Got[0].WParam, std::uintptr_t(PING_NO_ACTION));
        thread.AddressSource = [] { return QStringLiteral("localhost"); };
        thread.RequestPing(PING_RECONNECT, PING_NO_ACTION);
        QTRY_COMPARE_WITH_TIMEOUT(sink.Got.size(), 2, 1000);
        QCOMPARE(sink.Got[1].WParam, std::uintptr_t(PING_NO_ACTION));
    }

    void workerDropsRequestWhileBusy()
    {
        QSemaphore entered, release;
        QMutex seenLock;
        QStringList seen;
        QString current = QStringLiteral("127.0.0.2");
        int sourceReads = 0;
        TMessageSink sink;
        TEchoCheck check;
        TPingThread thread(&sink, [&check](const QString& address) { return check(address); });
        thread.AddressSource = [&] {
            ++sourceReads;
            return current;
        };
        check = [&](const QString& address) {
            {
                QMutexLocker lock(&seenLock);
                seen << address;
            }
            entered.release();
            release.tryAcquire(1, 10000);
            return TPingThread::PingReply;
        };

        thread.RequestPing(PING_RECONNECT, PING_NO_ACTION);
        current = QStringLiteral("127.0.0.3");
        thread.RequestPing(PING_CLOSE, PING_ERROR_LAN); // before the worker even woke
        QVERIFY(entered.tryAcquire(1, 5000));
        thread.RequestPing(PING_CLOSE, PING_ERROR_LAN); // while the check runs
        QVERIFY(thread.Busy());
        release.release();
        QTRY_COMPARE_WITH_TIMEOUT(sink.Got.size(), 1, 3000);
        QCOMPARE(sink.Got[0].WParam, std::uintptr_t(PING_RECONNECT));
        QTest::qWait(200);
        QCOMPARE(sink.Got.size(), 1);
        {
            QMutexLocker lock(&seenLock);
            QCOMPARE(seen, QStringList { QStringLiteral("127.0.0.2") });
        }
        QCOMPARE(sourceReads, 1);

        // Idle again: the next request is taken, with its own codes and the address of now.
        QVERIFY(!thread.Busy());
        thread.RequestPing(PING_CLOSE, PING_ERROR_LAN);
        QVERIFY(entered.tryAcquire(1, 5000));
        release.release();
        QTRY_COMPARE_WITH_TIMEOUT(sink.Got.size(), 2, 3000);
        QCOMPARE(sink.Got[1].WParam, std::uintptr_t(PING_CLOSE));
        QMutexLocker lock(&seenLock);
        QCOMPARE(seen.last(), QStringLiteral("127.0.0.3"));
    }

    void workerCannotStartPostsZero()
    {
        TMessageSink sink;
        TEchoCheck check;
        TPingThread thread(&sink, [&check](const QString& address) { return check(address); });
        thread.AddressSource = [] { return QStringLiteral("127.0.0.1"); };
        check = [](const QString&) { return TPingThread::PingCannotStart; };
        thread.RequestPing(PING_CLOSE, PING_ERROR_LAN);
        QTRY_COMPARE_WITH_TIMEOUT(sink.Got.size(), 1, 3000);
        QCOMPARE(sink.Got[0].WParam, std::uintptr_t(PING_CANNOT_START));
        QCOMPARE(sink.Got[0].LParam, std::intptr_t(0));

        // An allocation failure while making the check ends the same way, and the worker
        // lives on.
        check = [](const QString&) -> int { throw std::bad_alloc(); };
        thread.RequestPing(PING_CLOSE, PING_ERROR_LAN);
        QTRY_COMPARE_WITH_TIMEOUT(sink.Got.size(), 2, 3000);
        QCOMPARE(sink.Got[1].WParam, std::uintptr_t(PING_CANNOT_START));

        check = [](const QString&) { return TPingThread::PingSilent; };
        thread.RequestPing(PING_CLOSE, PING_ERROR_LAN);
        QTRY_COMPARE_WITH_TIMEOUT(sink.Got.size(), 3, 3000);
        QCOMPARE(sink.Got[2].WParam, std::uintptr_t(PING_ERROR_LAN));
    }

    void workerStopWhenIdleIsImmediate()
    {
        TMessageSink sink;
        TEchoCheck check;
        TPingThread thread(&sink, [&check](const QString& address) { return check(address); });
        QTRY_VERIFY(thread.isRunning());
        QTest::qWait(20); // let it reach its wait
        QElapsedTimer timer;
        timer.start();
        thread.Stop();
        qInfo("Stop on an idle worker took %lld ms", timer.elapsed());
        QVERIFY(timer.elapsed() < 100);
        QVERIFY(thread.isFinished());
        thread.Stop();
        QVERIFY(timer.elapsed() < 100);

        // A stopped worker takes no more requests, and asking does not block.
        check = [](const QString&) { return TPingThread::PingReply; };
        thread.RequestPing(PING_CLOSE, PING_ERROR_LAN);
        QVERIFY(!thread.Busy());
        QTest::qWait(100);
        QCOMPARE(sink.Got.size(), 0);
    }

    void workerStopWaitsForRunningCheck()
    {
        QSemaphore entered;
        TMessageSink sink;
        {
            TEchoCheck check;
            TPingThread thread(&sink, [&check](const QString& address) { return check(address); });
            check = [&](const QString&) {
                entered.release();
                QThread::msleep(500);
                return TPingThread::PingReply;
            };
            thread.RequestPing(PING_RECONNECT, PING_NO_ACTION);
            QVERIFY(entered.tryAcquire(1, 5000));
            QElapsedTimer timer;
            timer.start();
            thread.Stop();
            qInfo("Stop during a 500 ms check took %lld ms", timer.elapsed());
            QVERIFY(timer.elapsed() >= 400);
            QVERIFY(thread.isFinished());
        }
        QTRY_COMPARE_WITH_TIMEOUT(sink.Got.size(), 1, 1000);
        QCOMPARE(sink.Got[0].WParam, std::uintptr_t(PING_RECONNECT));

        // A request accepted just before Stop() is still answered.
        {
            TEchoCheck check;
            TPingThread thread(&sink, [&check](const QString& address) { return check(address); });
            check = [](const QString&) { return TPingThread::PingSilent; };
            thread.RequestPing(PING_CLOSE, PING_ERROR_LAN);
            thread.Stop();
        }
        QTRY_COMPARE_WITH_TIMEOUT(sink.Got.size(), 2, 1000);
        QCOMPARE(sink.Got[1].WParam, std::uintptr_t(PING_ERROR_LAN));

        // The destructor stops a running check the same way.
        {
            TEchoCheck check;
            TPingThread thread(&sink, [&check](const QString& address) { return check(address); });
            check = [&](const QString&) {
                entered.release();
                QThread::msleep(200);
                return TPingThread::PingReply;
            };
            thread.RequestPing(PING_CLOSE, PING_ERROR_LAN);
            QVERIFY(entered.tryAcquire(1, 5000));
        }
        QTRY_COMPARE_WITH_TIMEOUT(sink.Got.size(), 3, 1000);
        QCOMPARE(sink.Got[2].WParam, std::uintptr_t(PING_CLOSE));
    }

    // Each row runs one case of TstPingOwnNetns in a namespace of its own.
    void inOwnNamespace_data()
    {
        QTest::addColumn<QString>("function");
        for (const char* name :
            { "noReplyEndsAfterBudget", "foreignRepliesAreSkipped", "craftedMatchingReplyIsTaken",
                "datagramSocketPath", "namesAreNotLookedUp", "workerFailureCodeAndStopGivesUp" })
            QTest::newRow(name) << QString::fromLatin1(name);
    }
    void inOwnNamespace()
    {
        QFETCH(QString, function);
        if (!vsptest::IsRoot())
            QSKIP("needs root: builds its own network and mount namespace (unshare -n -m) "
                  "to change ICMP sysctls and the resolver without touching the host");
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QLatin1String(PARENT_NS_VAR), QString::fromLatin1(NamespaceIds()));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QStringLiteral("unshare"),
            { QStringLiteral("-n"), QStringLiteral("-m"), QStringLiteral("sh"),
                QStringLiteral("-c"),
                QStringLiteral("ip link set lo up && exec \"$0\" %1 \"$1\"")
                    .arg(QLatin1String(CHILD_FLAG)),
                QCoreApplication::applicationFilePath(), function });
        const bool finished = child.waitForFinished(60000);
        if (!finished) child.kill();
        child.waitForFinished(5000);
        const QByteArray output = child.readAll();
        for (const QByteArray& line : output.split('\n'))
            if (line.startsWith("QINFO"))
                qInfo("child: %s", line.mid(line.indexOf(") ") + 2).constData());
        QVERIFY2(finished, "the child did not end within 60 s");
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
            output.constData());
    }
};

// ---------------------------------------------------------------------------------------
// Cases that change sysctls, craft ICMP traffic or mount over the resolver configuration:
// run only inside the namespace the parent made (it checks).

class TstPingOwnNetns : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        const QByteArray parent = qgetenv(PARENT_NS_VAR);
        const QList<QByteArray> mine = NamespaceIds().split(' ');
        const QList<QByteArray> theirs = parent.split(' ');
        QVERIFY2(
            theirs.size() >= 2 && mine.size() >= 2 && mine[0] != theirs[0] && mine[1] != theirs[1],
            "refusing to change sysctls or mounts outside a namespace of our own");
    }

    void noReplyEndsAfterBudget()
    {
        QVERIFY(WriteSysctl("icmp_echo_ignore_all", "1"));
        CPing ping;
        QVERIFY(ping.SetTarget(QStringLiteral("127.0.0.1")));
        const int fds = OpenFdCount();
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!ping.Ping());
        const qint64 took = timer.elapsed();
        qInfo("no reply: Ping returned false after %lld ms over %s", took,
            CPing::MethodName(ping.UsedMethod()));
        QVERIFY(took >= BUDGET_MIN_MS && took <= BUDGET_MAX_MS);
        QCOMPARE(ping.UsedMethod(), CPing::TMethod::Raw);
        QCOMPARE(OpenFdCount(), fds);
    }

    void foreignRepliesAreSkipped()
    {
        QVERIFY(WriteSysctl("icmp_echo_ignore_all", "1"));
        CPing ping;
        QVERIFY(ping.SetTarget(QStringLiteral("127.0.0.1")));
        const uint16_t seq = ping.Sequence();
        const int raw = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        QVERIFY(raw >= 0);
        const QList<QByteArray> foreign {
            IcmpMessage(0, ping.Identifier(), uint16_t(seq + 1)), // ours but another sequence
            IcmpMessage(0, uint16_t(~ping.Identifier()), uint16_t(seq - 1)), // another program
            IcmpMessage(0, ping.Identifier(), uint16_t(seq + 1)).left(8), // header only
            IcmpMessage(8, ping.Identifier(), seq), // a request, like our own
            IcmpMessage(3, ping.Identifier(), seq), // not an echo reply at all
        };
        std::atomic<bool> stop { false };
        std::atomic<int> sent { 0 };
        std::thread sender([&] {
            while (!stop) {
                for (const QByteArray& packet : foreign)
                    if (SendRaw(raw, packet)) ++sent;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        QElapsedTimer timer;
        timer.start();
        const bool answered = ping.Ping();
        const qint64 took = timer.elapsed();
        stop = true;
        sender.join();
        ::close(raw);
        qInfo("foreign traffic: %d packets sent, %d skipped, Ping ended after %lld ms", sent.load(),
            ping.SkippedPackets(), took);
        QVERIFY(!answered);
        QVERIFY(took >= BUDGET_MIN_MS && took <= BUDGET_MAX_MS);
        QVERIFY(ping.SkippedPackets() >= 500);
    }

    // The counterpart of the case above: a crafted reply does reach the check, and it is
    // taken on its sequence number alone, whoever sent it.
    void craftedMatchingReplyIsTaken()
    {
        QVERIFY(WriteSysctl("icmp_echo_ignore_all", "1"));
        CPing ping;
        QVERIFY(ping.SetTarget(QStringLiteral("127.0.0.1")));
        const int raw = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        QVERIFY(raw >= 0);
        const QByteArray reply = IcmpMessage(0, uint16_t(~ping.Identifier()), ping.Sequence());
        std::thread sender([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            SendRaw(raw, reply);
        });
        QElapsedTimer timer;
        timer.start();
        const bool answered = ping.Ping();
        const qint64 took = timer.elapsed();
        sender.join();
        ::close(raw);
        qInfo("crafted reply sent after 300 ms was taken after %lld ms", took);
        QVERIFY(answered);
        QVERIFY(took >= 250 && took < 2000);
    }

    void datagramSocketPath()
    {
        QVERIFY(WriteSysctl("ping_group_range", "1 0"));
        QCOMPARE(CPing::Method(true), CPing::TMethod::None);
        {
            CPing ping(false, true);
            QVERIFY(ping.SetTarget(QStringLiteral("127.0.0.1")));
            QElapsedTimer timer;
            timer.start();
            QVERIFY(!ping.Ping());
            QVERIFY(timer.elapsed() < 50);
            QCOMPARE(ping.UsedMethod(), CPing::TMethod::None);
        }
        // Without any ICMP socket a connect to the data port stands in: connected or
        // refused, the host is there; without a port there is nothing to check.
        {
            QTcpServer listening;
            QVERIFY(listening.listen(QHostAddress::LocalHost));
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost));
            const int closedPort = closed.serverPort();
            closed.close();
            const struct {
                int port;
                bool answered;
            } rows[] = { { listening.serverPort(), true }, { closedPort, true }, { 0, false } };
            for (const auto& row : rows) {
                CPing ping(false, true);
                QVERIFY(ping.SetTarget(QStringLiteral("127.0.0.1")));
                ping.SetFallbackPort(row.port);
                QCOMPARE(ping.Ping(), row.answered);
                QCOMPARE(
                    ping.UsedMethod(), row.answered ? CPing::TMethod::Tcp : CPing::TMethod::None);
            }
            // The check ends its connection right after the handshake, so the module reads
            // a clean end and has handed nothing to it.
            QTRY_VERIFY(listening.hasPendingConnections());
            QTcpSocket* check = listening.nextPendingConnection();
            QTRY_COMPARE(check->state(), QAbstractSocket::UnconnectedState);
            QCOMPARE(check->error(), QAbstractSocket::RemoteHostClosedError);
            QVERIFY(!listening.hasPendingConnections());
            {
                TPlatform unprivileged;
                unprivileged.AvoidRawSocket = true;
                vsptest::FormHarness w({}, unprivileged);
                w.Aim(listening.serverPort());
                w->CreateCOMBitBtnClick();
                QCOMPARE(w.LogLines().count(QStringLiteral(
                             "ICMP not permitted for this user; the module is checked by "
                             "connecting to it")),
                    1);

                // A reconnection makes no connection of its own to check the module: its
                // connect is the check, and an error says by its kind whether the module
                // answered. Nothing runs on the worker.
                w->RequestPing(PING_CLOSE, PING_ERROR_LAN, false);
                QVERIFY(!w->PingThread->Busy());
                QTRY_COMPARE(w->LANStatusClientLabel->text(), QStringLiteral("Error LAN"));
                w->RequestPing(PING_CLOSE, PING_ERROR_LAN, true);
                QTRY_COMPARE(w->LANStatusClientLabel->text(), QStringLiteral("Close"));
                QTest::qWait(50);
                QVERIFY(!listening.hasPendingConnections());
                w->RequestPing(PING_RECONNECT, PING_NO_ACTION);
                QTRY_VERIFY(w->Link->DataConnection());
                QTRY_VERIFY(listening.hasPendingConnections());
                listening.nextPendingConnection();
                QTest::qWait(50);
                QVERIFY(!listening.hasPendingConnections()); // the one data connection only
                QCOMPARE(w.LogLines().filter(QStringLiteral("ICMP")).size(), 1);
            }
        }

        QVERIFY(WriteSysctl("ping_group_range", "0 2147483647"));
        QCOMPARE(CPing::Method(true), CPing::TMethod::Datagram);
        {
            CPing ping(false, true);
            QVERIFY(ping.SetTarget(QStringLiteral("127.0.0.1")));
            const int fds = OpenFdCount();
            QElapsedTimer timer;
            timer.start();
            QVERIFY(ping.Ping());
            qInfo("reply from 127.0.0.1 over the datagram socket after %lld ms", timer.elapsed());
            QVERIFY(timer.elapsed() < 1000);
            QCOMPARE(ping.UsedMethod(), CPing::TMethod::Datagram);
            QCOMPARE(OpenFdCount(), fds);
        }

        QVERIFY(WriteSysctl("icmp_echo_ignore_all", "1"));
        {
            CPing ping(false, true);
            ping.TimeoutMs = 1000;
            QVERIFY(ping.SetTarget(QStringLiteral("127.0.0.1")));
            QElapsedTimer timer;
            timer.start();
            QVERIFY(!ping.Ping());
            qInfo("no reply over the datagram socket: false after %lld ms of a 1000 ms budget",
                timer.elapsed());
            QVERIFY(timer.elapsed() >= 950 && timer.elapsed() <= 1500);
        }
    }

    void namesAreNotLookedUp()
    {
        // Point the resolver at a trap on 127.0.0.1:53 (without a resolv.conf glibc asks
        // 127.0.0.1 anyway). The mount lives only in this namespace.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString conf = dir.filePath(QStringLiteral("resolv.conf"));
        {
            QFile file(conf);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n");
        }
        if (QFile::exists(QStringLiteral("/etc/resolv.conf")))
            QVERIFY2(::mount(QFile::encodeName(conf).constData(), "/etc/resolv.conf", nullptr,
                         MS_BIND, nullptr)
                    == 0,
                strerror(errno));

        const int trap = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        QVERIFY(trap >= 0);
        sockaddr_in dns = Loopback();
        dns.sin_port = htons(53);
        QVERIFY(::bind(trap, reinterpret_cast<const sockaddr*>(&dns), sizeof dns) == 0);
        const int listener
            = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
        QVERIFY(listener >= 0);
        auto queriesSeen = [&](int waitMs) {
            pollfd p { trap, POLLIN, 0 };
            int seen = 0;
            char buffer[512];
            while (::poll(&p, 1, waitMs) > 0 && ::recv(trap, buffer, sizeof buffer, 0) > 0) {
                ++seen;
                waitMs = 0;
            }
            return seen;
        };
        auto echoRequestsSeen = [&](int waitMs) {
            pollfd p { listener, POLLIN, 0 };
            int seen = 0;
            uint8_t buffer[1024];
            ssize_t n;
            while (
                ::poll(&p, 1, waitMs) > 0 && (n = ::recv(listener, buffer, sizeof buffer, 0)) > 0) {
                const size_t offset = size_t(buffer[0] & 0x0F) * 4;
                if (size_t(n) > offset && buffer[offset] == ICMP_TYPE_ECHO_REQUEST) ++seen;
                waitMs = 0;
            }
            return seen;
        };

        for (const QString& text :
            { QStringLiteral("localhost"), QStringLiteral("example.invalid"), QString() }) {
            CPing ping;
            QVERIFY(!ping.SetTarget(text));
            QElapsedTimer timer;
            timer.start();
            QVERIFY(!ping.Ping());
            QVERIFY(timer.elapsed() < 50);
        }
        QCOMPARE(queriesSeen(300), 0);
        QCOMPARE(echoRequestsSeen(0), 0);

        // Both traps do catch what they are there for.
        std::thread lookup([] {
            addrinfo* result = nullptr;
            if (::getaddrinfo("example.invalid", nullptr, nullptr, &result) == 0)
                ::freeaddrinfo(result);
        });
        const int queries = queriesSeen(3000);
        lookup.join();
        QVERIFY2(queries > 0, "the DNS trap saw no query from a real lookup");
        {
            CPing ping;
            QVERIFY(ping.SetTarget(QStringLiteral("127.0.0.1")));
            QVERIFY(ping.Ping());
        }
        QVERIFY(echoRequestsSeen(300) > 0);
        ::close(trap);
        ::close(listener);
    }

    // Ending the program never waits for a check that hears nothing: Stop gives it up at
    // once, and nothing is posted to an owner that is going away.
    void workerFailureCodeAndStopGivesUp()
    {
        QVERIFY(WriteSysctl("icmp_echo_ignore_all", "1"));
        TMessageSink sink;
        TPingThread thread(&sink);
        thread.AddressSource = [] { return QStringLiteral("127.0.0.1"); };
        QElapsedTimer timer;
        timer.start();
        thread.RequestPing(PING_CLOSE, PING_ERROR_LAN);
        QTRY_COMPARE_WITH_TIMEOUT(sink.Got.size(), 1, 8000);
        const qint64 took = timer.elapsed();
        qInfo("a check without reply posted its failure code after %lld ms", took);
        QVERIFY(took >= BUDGET_MIN_MS && took <= BUDGET_MAX_MS);
        QCOMPARE(sink.Got[0].WParam, std::uintptr_t(PING_ERROR_LAN));
        QCOMPARE(sink.Got[0].LParam, std::intptr_t(0));

        thread.RequestPing(PING_CLOSE, PING_ERROR_LAN);
        QTest::qWait(300);
        QVERIFY(thread.Busy());
        timer.restart();
        thread.Stop();
        const qint64 stop = timer.elapsed();
        qInfo("Stop during a check without reply returned after %lld ms", stop);
        QVERIFY2(stop < BUDGET_MIN_MS / 2, qPrintable(QString::number(stop)));
        QVERIFY(thread.isFinished());
        QTest::qWait(100);
        QCOMPARE(sink.Got.size(), 1);

        // The window's own check (it blocks the window) gives up once its cancel descriptor
        // is readable: the program's signal pipe.
        int cancel[2];
        QVERIFY(::pipe(cancel) == 0);
        CPing ping;
        ping.CancelFd = cancel[0];
        QVERIFY(ping.SetTarget(QStringLiteral("127.0.0.1")));
        std::thread signal([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            [[maybe_unused]] const ssize_t n = ::write(cancel[1], "x", 1);
        });
        timer.restart();
        QVERIFY(!ping.Ping());
        const qint64 cancelled = timer.elapsed();
        signal.join();
        ::close(cancel[0]);
        ::close(cancel[1]);
        qInfo("a check cancelled after 300 ms returned after %lld ms", cancelled);
        QVERIFY(ping.Cancelled());
        QVERIFY2(cancelled < BUDGET_MIN_MS / 2, qPrintable(QString::number(cancelled)));
    }
};

int main(int argc, char** argv)
{
    QApplication app(argc, argv); // a window in one of the namespace cases
    if (argc > 1 && qstrcmp(argv[1], CHILD_FLAG) == 0) {
        std::vector<char*> args { argv[0] };
        args.insert(args.end(), argv + 2, argv + argc);
        TstPingOwnNetns test;
        return QTest::qExec(&test, int(args.size()), args.data());
    }
    TstPing test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ping.moc"
