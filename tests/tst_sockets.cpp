// The TCP endpoints against real peers on loopback (ports chosen by the OS): which events a
// connection raises, in which order, with which error numbers, and that no descriptor or
// object outlives its use. Peers are raw POSIX sockets, so every case (reset, refusal, a
// peer that stops reading) is exactly what the kernel does.

#include "link/Sockets.h"
#include "tests/support/PrivateNet.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QPointer>
#include <QProcess>
#include <QTimer>
#include <QtTest>

#include <arpa/inet.h>
#include <cerrno>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace vsp;
using vsptest::OpenDescriptors;
using vsptest::Pattern;

namespace {

// ---- raw peers ------------------------------------------------------------------------

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f)
        : fd(f)
    {
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& o) noexcept
        : fd(o.fd)
    {
        o.fd = -1;
    }
    Fd& operator=(Fd&& o) noexcept
    {
        std::swap(fd, o.fd);
        return *this;
    }
    ~Fd() { reset(); }
    void reset()
    {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

int PortOf(int fd)
{
    sockaddr_in sin {};
    socklen_t len = sizeof sin;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
    return ntohs(sin.sin_port);
}

// A socket bound to 127.0.0.1 on a port the OS picks; listening unless told otherwise.
Fd Bound(bool listening, int backlog = 16)
{
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(s.fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) return {};
    if (listening && ::listen(s.fd, backlog) != 0) return {};
    return s;
}

// A listening socket bound to a local address given as text, on a port the OS picks.
Fd ListeningOn(const char* address)
{
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sin {};
    sin.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &sin.sin_addr);
    if (::bind(s.fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 || ::listen(s.fd, 4) != 0)
        return {};
    return s;
}

Fd ConnectRawTo(const char* address, int port)
{
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(quint16(port));
    ::inet_pton(AF_INET, address, &sin.sin_addr);
    if (::connect(s.fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) return {};
    return s;
}

int IntOption(int fd, int level, int name)
{
    int v = -1;
    socklen_t len = sizeof v;
    return ::getsockopt(fd, level, name, &v, &len) == 0 ? v : -1;
}

// Waits for a connection on a raw listener while the event loop runs.
Fd AcceptWithin(int listenFd, int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) return Fd(fd);
        QTest::qWait(2);
    }
    return {};
}

Fd ConnectRaw(int port)
{
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(quint16(port));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s.fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) return {};
    return s;
}

// An abortive close: the peer's kernel answers with a reset instead of a FIN.
void ResetClose(Fd& s)
{
    linger lg { 1, 0 };
    ::setsockopt(s.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    s.reset();
}

void SendAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), 0);
        if (n <= 0) return;
        done += n;
    }
}

// What the peer's next read says, waiting up to ms with the event loop running:
// bytes read, 0 for a clean end of stream, or -errno.
int PeerRead(int fd, int ms, QByteArray* into = nullptr)
{
    QElapsedTimer t;
    t.start();
    char buf[65536];
    while (t.elapsed() < ms) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0 && into) into->append(buf, n);
        if (n >= 0) return int(n);
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -errno;
        QTest::qWait(2);
    }
    return -ETIMEDOUT;
}

// Reads everything currently waiting on a peer.
qsizetype Drain(int fd)
{
    char buf[65536];
    qsizetype total = 0;
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) return total;
        total += n;
    }
}

bool NoDelay(int fd)
{
    int v = 0;
    socklen_t len = sizeof v;
    return ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, &len) == 0 && v != 0;
}

// Runs the deferred deletions the endpoints asked for.
void Settle()
{
    QTest::qWait(20);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// ---- event recording ------------------------------------------------------------------

// Every event an endpoint raises, as text, in order.
struct Log {
    QStringList events;
    QByteArray data;
    int readChunk = 512; // bytes taken per read event (0: take nothing)

    int count(const QString& e) const { return int(events.count(e)); }
    QStringList errors() const { return events.filter(QStringLiteral("error ")); }

    void attach(TClientSocket* c)
    {
        c->OnConnecting = [this](TCustomWinSocket*) { events << QStringLiteral("connecting"); };
        c->OnConnect = [this](TCustomWinSocket*) { events << QStringLiteral("connect"); };
        c->OnDisconnect = [this](TCustomWinSocket*) { events << QStringLiteral("disconnect"); };
        c->OnWrite = [this](TCustomWinSocket*) { events << QStringLiteral("write"); };
        c->OnRead = [this](TCustomWinSocket* s) { read(s); };
        c->OnError = [this](TCustomWinSocket*, int code) {
            events << QStringLiteral("error %1").arg(code);
        };
    }
    void attach(TServerSocket* s)
    {
        s->OnClientConnect = [this](TCustomWinSocket*) { events << QStringLiteral("accept"); };
        s->OnClientDisconnect
            = [this](TCustomWinSocket*) { events << QStringLiteral("disconnect"); };
        s->OnClientWrite = [this](TCustomWinSocket*) { events << QStringLiteral("write"); };
        s->OnClientRead = [this](TCustomWinSocket* c) { read(c); };
        s->OnClientError = [this](TCustomWinSocket*, int code) {
            events << QStringLiteral("error %1").arg(code);
        };
    }
    void read(TCustomWinSocket* s)
    {
        char buf[4096];
        const int n = readChunk > 0 ? s->ReceiveBuf(buf, qMin(readChunk, int(sizeof buf))) : 0;
        data.append(buf, qMax(n, 0));
        events << QStringLiteral("read %1").arg(n);
    }
};

// A client endpoint connected to a raw peer on loopback.
struct ClientPair {
    Fd listener = Bound(true);
    std::unique_ptr<TClientSocket> client = std::make_unique<TClientSocket>();
    Log log;
    Fd peer;

    bool open()
    {
        log.attach(client.get());
        client->Host = QStringLiteral("127.0.0.1");
        client->Port = PortOf(listener.fd);
        client->Open();
        peer = AcceptWithin(listener.fd, 5000);
        QElapsedTimer t;
        t.start();
        while (!client->Connected() && t.elapsed() < 5000)
            QTest::qWait(2);
        return peer.fd >= 0 && client->Connected();
    }
};

} // namespace

class TstSockets : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void errnoBecomesWindowsSocketsNumber_data()
    {
        QTest::addColumn<int>("err");
        QTest::addColumn<int>("wsa");
        QTest::newRow("reset") << ECONNRESET << 10054;
        QTest::newRow("broken pipe") << EPIPE << 10054;
        QTest::newRow("refused") << ECONNREFUSED << 10061;
        QTest::newRow("timed out") << ETIMEDOUT << 10060;
        QTest::newRow("aborted") << ECONNABORTED << 10053;
        QTest::newRow("host unreachable") << EHOSTUNREACH << 10065;
        QTest::newRow("net unreachable") << ENETUNREACH << 10051;
        QTest::newRow("address in use") << EADDRINUSE << 10048;
        QTest::newRow("address not available") << EADDRNOTAVAIL << 10049;
        QTest::newRow("access") << EACCES << 10013;
        QTest::newRow("not connected") << ENOTCONN << 10057;
        QTest::newRow("would block") << EWOULDBLOCK << 10035;
        QTest::newRow("invalid") << EINVAL << 10022;
        QTest::newRow("no buffers") << ENOBUFS << 10055;
        QTest::newRow("no memory") << ENOMEM << 10055;
        QTest::newRow("no descriptors") << EMFILE << 10024;
        QTest::newRow("unknown") << EDOM << 10050;
    }
    void errnoBecomesWindowsSocketsNumber()
    {
        QFETCH(int, err);
        QFETCH(int, wsa);
        QCOMPARE(WsaErrorFromErrno(err), wsa);
    }

    void connectsThenPeerClosesCleanly()
    {
        ClientPair p;
        QVERIFY(p.open());
        // Connecting is raised inside Open, first; a write event follows the connect.
        QCOMPARE(p.log.events, QStringList({ "connecting", "connect", "write" }));
        QVERIFY(p.client->Active());
        QVERIFY(NoDelay(p.client->Socket()->Handle()));
        QCOMPARE(p.client->Socket()->RemoteAddress(), QStringLiteral("127.0.0.1"));
        QCOMPARE(p.client->Socket()->RemotePort(), PortOf(p.listener.fd));

        // Open while connected: nothing at all.
        const int handle = p.client->Socket()->Handle();
        p.client->Open();
        QTest::qWait(20);
        QCOMPARE(p.client->Socket()->Handle(), handle);
        QCOMPARE(p.log.count("connecting"), 1);

        SendAll(p.peer.fd, "hello");
        ::shutdown(p.peer.fd, SHUT_WR);
        QTRY_COMPARE(p.log.count("disconnect"), 1);
        QCOMPARE(p.log.data, QByteArray("hello"));
        QCOMPARE(p.log.events.last(), QStringLiteral("disconnect"));
        QVERIFY(p.log.errors().isEmpty());
        QVERIFY(!p.client->Connected());
        QVERIFY(!p.client->Active());
        QCOMPARE(p.client->Socket()->Handle(), -1);
        QTest::qWait(30);
        QCOMPARE(p.log.count("disconnect"), 1);

        // Closing a closed client: nothing.
        p.client->Close();
        QCOMPARE(p.log.count("disconnect"), 1);
    }

    void resetIsAnErrorAndTheConnectionWaitsForClose()
    {
        ClientPair p;
        QVERIFY(p.open());
        p.log.events.clear();
        ResetClose(p.peer);
        QTRY_COMPARE(p.log.errors(), QStringList({ "error 10054" }));
        // Still counted as connected, with no disconnect of its own.
        QTest::qWait(100);
        QCOMPARE(p.log.events, QStringList({ "error 10054" }));
        QVERIFY(p.client->Connected());
        // Dead: nothing more comes from it, and a send only says no.
        char b = 'x';
        QCOMPARE(p.client->Socket()->SendBuf(&b, 1), -1);
        QCOMPARE(p.client->Socket()->ReceiveBuf(&b, 1), 0);
        QCOMPARE(p.log.events.size(), 1);
        // Open does nothing while it counts as connected.
        p.client->Open();
        QCOMPARE(p.log.count("connecting"), 0);

        p.client->Close();
        QCOMPARE(p.log.events, QStringList({ "error 10054", "disconnect" }));
        QVERIFY(!p.client->Connected());
    }

    void refusedConnectIsOnlyAnError()
    {
        Fd bound = Bound(false); // bound, not listening: the kernel refuses
        TClientSocket client;
        Log log;
        log.attach(&client);
        client.Host = QStringLiteral("127.0.0.1");
        client.Port = PortOf(bound.fd);
        client.Open();
        QCOMPARE(log.events, QStringList({ "connecting" })); // the outcome comes later
        QTRY_COMPARE(log.errors(), QStringList({ "error 10061" }));
        QTest::qWait(30);
        QCOMPARE(log.events, QStringList({ "connecting", "error 10061" }));
        QVERIFY(!client.Connected());
        QVERIFY(client.Active());
        QCOMPARE(client.Socket()->Handle(), -1); // the descriptor is already given up

        // Sending on it: -1, and the error event says why before SendBuf returns.
        QCOMPARE(client.Socket()->SendBuf("x", 1), -1);
        QCOMPARE(log.events, QStringList({ "connecting", "error 10061", "error 10057" }));

        client.Close();
        QVERIFY(!client.Active());
        QCOMPARE(log.events.size(), 3);

        // A new attempt starts afresh, also straight after a failure without Close.
        client.Open();
        QTRY_COMPARE(log.count("error 10061"), 2);
        client.Open();
        QTRY_COMPARE(log.count("error 10061"), 3);
        QCOMPARE(log.count("connecting"), 3);
        QCOMPARE(log.count("connect") + log.count("disconnect"), 0);
    }

    void unansweredConnectTimesOut()
    {
        // A listener whose accept queue is full drops further connection requests without
        // an answer: the next attempt just hangs, all on loopback.
        Fd listener = Bound(true, 0);
        std::vector<Fd> fillers;
        bool full = false;
        for (int i = 0; i < 64 && !full; ++i) {
            Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            sockaddr_in sin {};
            sin.sin_family = AF_INET;
            sin.sin_port = htons(quint16(PortOf(listener.fd)));
            sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::connect(s.fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
            pollfd pfd { s.fd, POLLOUT, 0 };
            full = ::poll(&pfd, 1, 200) == 0;
            fillers.push_back(std::move(s));
        }
        QVERIFY2(full, "the listener kept answering");

        TClientSocket client;
        Log log;
        log.attach(&client);
        client.Host = QStringLiteral("127.0.0.1");
        client.Port = PortOf(listener.fd);
        client.ConnectTimeoutMs = 300;
        QElapsedTimer t;
        t.start();
        client.Open();
        QTRY_COMPARE_WITH_TIMEOUT(log.errors(), QStringList({ "error 10060" }), 5000);
        QVERIFY2(t.elapsed() >= 250, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(log.events, QStringList({ "connecting", "error 10060" }));
        QVERIFY(!client.Connected());
        QCOMPARE(client.Socket()->Handle(), -1); // the kernel is not left retrying
        QTest::qWait(50);
        QCOMPARE(log.events.size(), 2);
    }

    void invalidPortIsAnErrorEvent_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("code");
        QTest::newRow("negative") << -1 << 10022;
        QTest::newRow("too big") << 65536 << 10022;
        QTest::newRow("zero") << 0 << 10049;
    }
    void invalidPortIsAnErrorEvent()
    {
        QFETCH(int, port);
        QFETCH(int, code);
        TClientSocket client;
        Log log;
        log.attach(&client);
        client.Host = QStringLiteral("127.0.0.1");
        client.Port = port;
        client.Open();
        QCOMPARE(log.events, QStringList({ "connecting" }));
        QTRY_COMPARE(
            log.events, QStringList({ "connecting", QStringLiteral("error %1").arg(code) }));
        QVERIFY(!client.Connected());
    }

    // Name lookups would reach the configured DNS server, off this machine: this case runs
    // inside a namespace that has nothing but loopback.
    void namesAreLookedUpWithoutBlocking()
    {
        VSPTEST_IN_PRIVATE_NETWORK();
        // A name that cannot exist: host not found.
        {
            TClientSocket client;
            Log log;
            log.attach(&client);
            client.Host = QStringLiteral("no-such-module.invalid");
            client.Port = 99;
            client.Open();
            QCOMPARE(log.events, QStringList({ "connecting" }));
            QVERIFY(client.Active());
            QTRY_COMPARE_WITH_TIMEOUT(log.errors(), QStringList({ "error 11001" }), 30000);
            QVERIFY(!client.Connected());
            client.Close();
            QVERIFY(!client.Active());
        }
        // A name that resolves (from the hosts file) connects like an address.
        {
            Fd listener = Bound(true);
            TClientSocket client;
            Log log;
            log.attach(&client);
            client.Host = QStringLiteral("localhost");
            client.Port = PortOf(listener.fd);
            client.Open();
            QTRY_COMPARE_WITH_TIMEOUT(log.count("connect"), 1, 30000);
            QCOMPARE(client.Socket()->RemoteAddress(), QStringLiteral("127.0.0.1"));
            client.Close();
            QCOMPARE(log.events, QStringList({ "connecting", "connect", "write", "disconnect" }));
        }
        // Closing or destroying during the lookup drops it: no late event, nothing left.
        {
            TClientSocket client;
            Log log;
            log.attach(&client);
            client.Host = QStringLiteral("another-module.invalid");
            client.Port = 99;
            client.Open();
            client.Close();
            QVERIFY(!client.Active());
            auto* doomed = new TClientSocket;
            log.attach(doomed);
            doomed->Host = client.Host;
            doomed->Port = 99;
            doomed->Open();
            delete doomed;
            QTest::qWait(500);
            QCOMPARE(log.events, QStringList({ "connecting", "connecting" }));
        }
    }

    void unreadBytesRaiseTheReadEventAgain()
    {
        ClientPair p;
        QVERIFY(p.open());
        p.log.events.clear();
        int depth = 0;
        int maxDepth = 0;
        bool tickPosted = false;
        p.client->OnRead = [&](TCustomWinSocket* s) {
            maxDepth = qMax(maxDepth, ++depth);
            if (!tickPosted) {
                // Raised again from the event loop, so this gets its turn in between.
                tickPosted = true;
                QTimer::singleShot(0, [&] { p.log.events << QStringLiteral("tick"); });
            }
            p.log.read(s);
            --depth;
        };
        const QByteArray sent = Pattern(10000);
        SendAll(p.peer.fd, sent);
        ::shutdown(p.peer.fd, SHUT_WR);
        QTRY_COMPARE(p.log.count("disconnect"), 1);

        QCOMPARE(p.log.data, sent);
        QCOMPARE(maxDepth, 1);
        const int reads = int(p.log.events.filter(QStringLiteral("read ")).size());
        QVERIFY2(reads >= 20 && reads <= 25, qPrintable(QString::number(reads)));
        QCOMPARE(p.log.events.last(), QStringLiteral("disconnect"));
        const int tick = int(p.log.events.indexOf(QStringLiteral("tick")));
        QVERIFY2(tick > 0 && tick < p.log.events.size() - 2, qPrintable(p.log.events.join(',')));
        QVERIFY(p.log.errors().isEmpty());
    }

    void anEndFoundByTheReadHandlerIsReportedAfterIt()
    {
        ClientPair p;
        QVERIFY(p.open());
        p.log.events.clear();
        bool inHandler = false;
        p.client->OnRead = [&](TCustomWinSocket* s) {
            inHandler = true;
            char buf[64];
            int n;
            while ((n = s->ReceiveBuf(buf, sizeof buf)) > 0)
                p.log.data.append(buf, n);
            p.log.events << QStringLiteral("drained");
            inHandler = false;
        };
        p.client->OnDisconnect = [&](TCustomWinSocket*) {
            p.log.events << (inHandler ? QStringLiteral("disconnect inside")
                                       : QStringLiteral("disconnect"));
        };
        SendAll(p.peer.fd, "last words");
        ::shutdown(p.peer.fd, SHUT_WR);
        QTRY_VERIFY(p.log.events.filter("disconnect").size() == 1);
        QCOMPARE(p.log.data, QByteArray("last words"));
        QCOMPARE(p.log.events.last(), QStringLiteral("disconnect"));
        QVERIFY(!p.client->Connected());
    }

    void aHandlerThatTakesNothingIsNotCalledInALoop()
    {
        ClientPair p;
        QVERIFY(p.open());
        p.log.events.clear();
        p.log.readChunk = 0;
        SendAll(p.peer.fd, Pattern(1000));
        QTRY_COMPARE(p.log.count("read 0"), 1);
        QTest::qWait(100);
        QCOMPARE(p.log.events, QStringList({ "read 0" }));
        QCOMPARE(p.client->Socket()->ReceiveLength(), 1000);

        // Taking bytes outside the event brings the event back for the rest.
        char buf[100];
        QCOMPARE(p.client->Socket()->ReceiveBuf(buf, 100), 100);
        p.log.readChunk = 512;
        QTRY_COMPARE(p.log.data.size(), 900);
        QCOMPARE(p.client->Socket()->ReceiveLength(), 0);
    }

    void sendRefusesWhenFullAndAWriteEventFollows()
    {
        ClientPair p;
        QVERIFY(p.open());
        p.log.events.clear();
        const QByteArray chunk(65536, 'z');
        qint64 total = 0;
        int last = 0;
        for (int i = 0; i < 4096; ++i) { // 256 MB at most: far beyond any socket buffer
            last = p.client->Socket()->SendBuf(chunk.constData(), int(chunk.size()));
            if (last < 0) break;
            total += last;
        }
        QCOMPARE(last, -1);
        QVERIFY2(total > 65536, qPrintable(QString::number(total)));
        qInfo("kernel accepted %lld bytes before refusing", total);
        QTest::qWait(50);
        QCOMPARE(p.log.count("write"), 0);
        QVERIFY(p.log.errors().isEmpty());

        qint64 drained = 0;
        QTRY_VERIFY((drained += Drain(p.peer.fd), p.log.count("write") == 1));
        QVERIFY(p.client->Socket()->SendBuf(chunk.constData(), 100) == 100);
        QTest::qWait(20);
        QCOMPARE(p.log.count("write"), 1); // one event per refusal
        QVERIFY(p.log.errors().isEmpty());
    }

    // Every data connection, made or accepted, watches its peer: keepalive as the watch
    // says, and never the user timeout, which would cut a live peer that does not read.
    void peerWatchIsSetOnEveryConnection_data()
    {
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<int>("probes");
        QTest::newRow("client") << false << 4;
        QTest::newRow("accepted") << true << 4;
        QTest::newRow("client, keepalive off") << false << 0;
    }
    void peerWatchIsSetOnEveryConnection()
    {
        QFETCH(bool, accepted);
        QFETCH(int, probes);
        const TPeerWatch watch { 7, 3, probes, 2000, 100 };
        ClientPair p;
        TServerSocket server;
        Fd peer;
        TCustomWinSocket* connection = nullptr;
        if (accepted) {
            server.PeerWatch = watch;
            server.OnClientConnect = [&](TCustomWinSocket* s) { connection = s; };
            QCOMPARE(server.Open(), 0);
            peer = ConnectRaw(server.LocalPort());
            QTRY_VERIFY(connection);
        } else {
            p.client->PeerWatch = watch;
            QVERIFY(p.open());
            connection = p.client->Socket();
        }
        const int fd = connection->Handle();
        QCOMPARE(IntOption(fd, SOL_SOCKET, SO_KEEPALIVE), probes > 0 ? 1 : 0);
        if (probes > 0) {
            QCOMPARE(IntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 7);
            QCOMPARE(IntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 3);
            QCOMPARE(IntOption(fd, IPPROTO_TCP, TCP_KEEPCNT), probes);
        }
        QCOMPARE(IntOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT), 0);
    }

    // A live peer is never taken for dead: idle past the time keepalive gives a silent one,
    // then with its window shut (it reads nothing) long past the limit for unacknowledged
    // bytes; everything arrives once it reads.
    void aPeerThatOnlyStopsReadingIsNeverCut()
    {
        ClientPair p;
        p.client->PeerWatch = { 1, 1, 1, 300, 50 }; // a silent peer: 2 s idle, 0.3 s busy
        QVERIFY(p.open());
        QTest::qWait(3000);
        QVERIFY(p.log.errors().isEmpty());

        const QByteArray chunk = Pattern(65536, 11);
        qint64 total = 0;
        int last = 0;
        for (int i = 0; i < 4096; ++i) {
            last = p.client->Socket()->SendBuf(chunk.constData(), int(chunk.size()));
            if (last < 0) break;
            total += last;
        }
        QCOMPARE(last, -1);
        QTest::qWait(2000);
        QVERIFY(p.log.errors().isEmpty());
        QVERIFY(p.client->Socket()->UnacknowledgedBytes() > 0);
        qint64 drained = 0;
        QTRY_VERIFY_WITH_TIMEOUT((drained += Drain(p.peer.fd), drained == total), 10000);
        QTRY_COMPARE(p.client->Socket()->UnacknowledgedBytes(), 0);
        QVERIFY(p.log.errors().isEmpty());
        QVERIFY(p.client->Connected());
    }

    // A peer cut off without a word (its link down: nothing of it arrives any more) is found
    // dead by the watch, idle (keepalive) or with bytes in flight (no acknowledgement for
    // the limit), on the client's connection and on an accepted one alike. The error tells
    // 10060, and the bytes the peer never acknowledged can still be counted.
    void aSilentPeerIsFoundDead_data()
    {
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<bool>("busy");
        QTest::newRow("client, idle") << false << false;
        QTest::newRow("client, bytes in flight") << false << true;
        QTest::newRow("accepted, idle") << true << false;
        QTest::newRow("accepted, bytes in flight") << true << true;
    }
    void aSilentPeerIsFoundDead()
    {
        if (!vsptest::IsRoot()) QSKIP("needs root: builds network namespaces of its own");
        VSPTEST_IN_PRIVATE_NETWORK();
        QFETCH(bool, accepted);
        QFETCH(bool, busy);
        vsptest::NamespacePair net;
        QVERIFY2(net.Build(), qPrintable(net.Error()));
        const QByteArray addressA = net.AddressA().toLatin1(), addressB = net.AddressB().toLatin1();
        vsptest::NamespaceScope inA(net.NameA());
        QVERIFY(inA.Ok());

        const TPeerWatch watch { 1, 1, 2, 1000, 100 }; // idle: 3 s; busy: 1 s
        Log log;
        int unacknowledged = -1;
        const auto onError = [&](TCustomWinSocket* s, int code) {
            log.events << QStringLiteral("error %1").arg(code);
            unacknowledged = s->UnacknowledgedBytes();
        };
        TClientSocket client;
        TServerSocket server;
        Fd listener, peer;
        TCustomWinSocket* connection = nullptr;
        if (accepted) {
            log.attach(&server);
            server.OnClientError = onError;
            server.PeerWatch = watch;
            server.OnClientConnect = [&](TCustomWinSocket* s) { connection = s; };
            QCOMPARE(server.Open(), 0);
            {
                vsptest::NamespaceScope inB(net.NameB());
                QVERIFY(inB.Ok());
                peer = ConnectRawTo(addressA.constData(), server.LocalPort());
            }
            QVERIFY(peer.fd >= 0);
            QTRY_VERIFY(connection);
        } else {
            {
                vsptest::NamespaceScope inB(net.NameB());
                QVERIFY(inB.Ok());
                listener = ListeningOn(addressB.constData());
            }
            QVERIFY(listener.fd >= 0);
            log.attach(&client);
            client.OnError = onError;
            client.PeerWatch = watch;
            client.Host = net.AddressB();
            client.Port = PortOf(listener.fd);
            client.Open();
            peer = AcceptWithin(listener.fd, 5000);
            QVERIFY(peer.fd >= 0);
            QTRY_VERIFY(client.Connected());
            connection = client.Socket();
        }
        QCOMPARE(connection->SendBuf("seen", 4), 4);
        QByteArray got;
        QCOMPARE(PeerRead(peer.fd, 2000, &got), 4);
        QTRY_COMPARE(connection->UnacknowledgedBytes(), 0);

        QVERIFY2(net.SetLinkB(false), qPrintable(net.Error()));
        QElapsedTimer timer;
        timer.start();
        if (busy) QCOMPARE(connection->SendBuf("lost", 4), 4);
        QTRY_VERIFY_WITH_TIMEOUT(!log.errors().isEmpty(), 15000);
        qInfo("found dead after %lld ms", timer.elapsed());
        QCOMPARE(log.errors(), QStringList({ "error 10060" }));
        QCOMPARE(unacknowledged, busy ? 4 : 0);
        QTest::qWait(200);
        QCOMPARE(log.errors().size(), 1);
    }

    void aFailedSendRaisesTheErrorBeforeReturning()
    {
        ClientPair p;
        QVERIFY(p.open());
        p.log.events.clear();
        ResetClose(p.peer);
        QThread::msleep(50); // the reset has arrived; the event loop has not seen it
        bool inSend = true;
        int codeInSend = 0;
        p.client->OnError = [&](TCustomWinSocket*, int code) {
            p.log.events << QStringLiteral("error %1").arg(code);
            if (inSend) codeInSend = code;
        };
        const char b = 'x';
        QCOMPARE(p.client->Socket()->SendBuf(&b, 1), -1);
        inSend = false;
        QCOMPARE(codeInSend, 10054);
        QTest::qWait(100);
        QCOMPARE(p.log.events, QStringList({ "error 10054" })); // reported once
        p.client->Close();
        QCOMPARE(p.log.events, QStringList({ "error 10054", "disconnect" }));
    }

    void handlersMayCloseAndReopen()
    {
        // Closing in the read handler: the disconnect comes from inside Close, no read event
        // follows although bytes were left, and the peer sees a clean end of stream.
        {
            ClientPair p;
            QVERIFY(p.open());
            p.log.events.clear();
            p.client->OnRead = [&](TCustomWinSocket* s) {
                p.log.read(s);
                s->Close();
                p.log.events << QStringLiteral("closed");
            };
            SendAll(p.peer.fd, Pattern(10000));
            QTRY_COMPARE(p.log.count("closed"), 1);
            QTest::qWait(100);
            QCOMPARE(p.log.events, QStringList({ "read 512", "disconnect", "closed" }));
            QCOMPARE(PeerRead(p.peer.fd, 2000), 0);
        }
        // Closing in the connect handler: no write event.
        {
            ClientPair p;
            p.log.attach(p.client.get());
            p.client->OnConnect = [&](TCustomWinSocket* s) {
                p.log.events << QStringLiteral("connect");
                s->Close();
            };
            p.client->Host = QStringLiteral("127.0.0.1");
            p.client->Port = PortOf(p.listener.fd);
            p.client->Open();
            QTRY_COMPARE(p.log.count("disconnect"), 1);
            QTest::qWait(50);
            QCOMPARE(p.log.events, QStringList({ "connecting", "connect", "disconnect" }));
        }
        // Closing in the error handler of a refused attempt: silent, nothing left active.
        {
            Fd bound = Bound(false);
            TClientSocket client;
            Log log;
            log.attach(&client);
            client.OnError = [&](TCustomWinSocket* s, int code) {
                log.events << QStringLiteral("error %1").arg(code);
                s->Close();
            };
            client.Host = QStringLiteral("127.0.0.1");
            client.Port = PortOf(bound.fd);
            client.Open();
            QTRY_COMPARE(log.errors().size(), 1);
            QVERIFY(!client.Active());
            QCOMPARE(log.events, QStringList({ "connecting", "error 10061" }));
        }
        // Closing in the error handler of a reset connection: the disconnect comes from there.
        {
            ClientPair p;
            QVERIFY(p.open());
            p.log.events.clear();
            p.client->OnError = [&](TCustomWinSocket* s, int code) {
                p.log.events << QStringLiteral("error %1").arg(code);
                s->Close();
                p.log.events << QStringLiteral("closed");
            };
            ResetClose(p.peer);
            QTRY_COMPARE(p.log.count("closed"), 1);
            QCOMPARE(p.log.events, QStringList({ "error 10054", "disconnect", "closed" }));
        }
        // Reopening in the disconnect handler: a fresh connection comes up.
        {
            ClientPair p;
            QVERIFY(p.open());
            p.log.events.clear();
            TClientSocket* client = p.client.get();
            p.client->OnDisconnect = [&, client](TCustomWinSocket*) {
                p.log.events << QStringLiteral("disconnect");
                client->Open();
            };
            p.peer.reset();
            QTRY_COMPARE(p.log.count("connect"), 1);
            Fd second = AcceptWithin(p.listener.fd, 5000);
            QVERIFY(second.fd >= 0);
            QCOMPARE(p.log.events, QStringList({ "disconnect", "connecting", "connect", "write" }));
            SendAll(second.fd, "again");
            QTRY_COMPARE(p.log.data, QByteArray("again"));
        }
    }

    void serverAcceptsAndClosesConnections()
    {
        TServerSocket server;
        Log log;
        log.attach(&server);
        QList<TCustomWinSocket*> accepted;
        server.OnClientConnect = [&](TCustomWinSocket* s) {
            log.events << QStringLiteral("accept");
            accepted << s;
            QVERIFY(NoDelay(s->Handle()));
        };
        QCOMPARE(server.Open(), 0);
        QVERIFY(server.Active());
        QCOMPARE(server.Open(), 0); // already listening
        const int port = server.LocalPort();
        QVERIFY(port > 0);

        Fd a = ConnectRaw(port);
        Fd b = ConnectRaw(port);
        QVERIFY(a.fd >= 0 && b.fd >= 0);
        QTRY_COMPARE(server.ActiveConnections(), 2);
        QCOMPARE(log.events, QStringList({ "accept", "write", "accept", "write" }));
        QVERIFY(accepted[0]->Connected() && accepted[1]->Connected());
        QCOMPARE(server.Connections(0), accepted[0]);
        QCOMPARE(accepted[0]->RemoteAddress(), QStringLiteral("127.0.0.1"));
        QCOMPARE(accepted[0]->RemotePort(), PortOf(a.fd));

        // Data from each reaches the read handler with its own connection.
        SendAll(b.fd, "from b");
        QTRY_COMPARE(log.data, QByteArray("from b"));
        QCOMPARE(accepted[1]->SendBuf("to b", 4), 4);
        QByteArray got;
        QCOMPARE(PeerRead(b.fd, 2000, &got), 4);
        QCOMPARE(got, QByteArray("to b"));

        // Closing one: its disconnect before Close returns, and it leaves Connections.
        log.events.clear();
        QPointer<TCustomWinSocket> first = accepted[0];
        first->Close();
        QCOMPARE(log.events, QStringList({ "disconnect" }));
        QCOMPARE(server.ActiveConnections(), 1);
        QCOMPARE(server.Connections(0), accepted[1]);
        QCOMPARE(PeerRead(a.fd, 2000), 0);
        Settle();
        QVERIFY(first.isNull()); // released from the event loop

        // Closing the server: the rest go without disconnect events.
        server.Close();
        QVERIFY(!server.Active());
        QCOMPARE(server.ActiveConnections(), 0);
        QCOMPARE(PeerRead(b.fd, 2000), 0);
        QTest::qWait(50);
        QCOMPARE(log.events, QStringList({ "disconnect" }));
        QVERIFY(ConnectRaw(port).fd < 0); // no longer listening
    }

    void serverRefusesASecondClientFromTheAcceptHandler()
    {
        TServerSocket server;
        Log log;
        log.attach(&server);
        TCustomWinSocket* current = nullptr;
        server.OnClientConnect = [&](TCustomWinSocket* s) {
            log.events << QStringLiteral("accept");
            if (current) {
                s->Close();
                log.events << QStringLiteral("refused");
            } else {
                current = s;
            }
        };
        QCOMPARE(server.Open(), 0);
        Fd a = ConnectRaw(server.LocalPort());
        QTRY_COMPARE(server.ActiveConnections(), 1);
        Fd b = ConnectRaw(server.LocalPort());
        QTRY_COMPARE(log.count("refused"), 1);
        QCOMPARE(log.events, QStringList({ "accept", "write", "accept", "disconnect", "refused" }));
        QCOMPARE(server.ActiveConnections(), 1);
        QCOMPARE(server.Connections(0), current);
        QCOMPARE(PeerRead(b.fd, 2000), 0);
        QCOMPARE(current->SendBuf("still", 5), 5);
    }

    void acceptedConnectionsEndByPeerCloseOrError()
    {
        TServerSocket server;
        Log log;
        log.attach(&server);
        QPointer<TCustomWinSocket> conn;
        server.OnClientConnect = [&](TCustomWinSocket* s) { conn = s; };
        QCOMPARE(server.Open(), 0);

        // Clean close: the data, then the disconnect.
        {
            Fd a = ConnectRaw(server.LocalPort());
            QTRY_VERIFY(conn);
            SendAll(a.fd, Pattern(3000));
            a.reset();
            QTRY_COMPARE(log.count("disconnect"), 1);
            QCOMPARE(log.data, Pattern(3000));
            QCOMPARE(log.events.last(), QStringLiteral("disconnect"));
            QCOMPARE(server.ActiveConnections(), 0);
            Settle();
            QVERIFY(conn.isNull());
        }
        // Reset: the error, then the connection is released quietly, never a disconnect.
        int handleSeenByHandler = -1;
        {
            log.events.clear();
            const qsizetype before = OpenDescriptors().size();
            Fd a = ConnectRaw(server.LocalPort());
            QTRY_VERIFY(conn);
            server.OnClientError = [&](TCustomWinSocket* s, int code) {
                log.events << QStringLiteral("error %1").arg(code);
                QVERIFY(s->Connected());
                handleSeenByHandler = s->Handle();
            };
            ResetClose(a);
            QTRY_COMPARE(log.errors(), QStringList({ "error 10054" }));
            QVERIFY(handleSeenByHandler >= 0);
            QCOMPARE(server.ActiveConnections(), 0);
            Settle();
            QVERIFY(conn.isNull());
            QTest::qWait(50);
            QCOMPARE(log.count("disconnect"), 0);
            QCOMPARE(OpenDescriptors().size(), before);
        }
        // A send on a reset accepted connection: the error inside SendBuf, then released.
        {
            log.events.clear();
            Fd a = ConnectRaw(server.LocalPort());
            QTRY_VERIFY(conn);
            ResetClose(a);
            QThread::msleep(50);
            TCustomWinSocket* s = conn;
            QCOMPARE(s->SendBuf("x", 1), -1);
            QCOMPARE(log.errors(), QStringList({ "error 10054" }));
            QCOMPARE(server.ActiveConnections(), 0);
            QCOMPARE(s->Handle(), -1); // still a valid object until the event loop runs
            Settle();
            QVERIFY(conn.isNull());
            QCOMPARE(log.count("disconnect"), 0);
        }
    }

    void serverOpenReportsFailures()
    {
        Fd taken = Bound(true);
        TServerSocket server;
        // Windows Sockets wording for "someone listens there already".
        server.Port = PortOf(taken.fd);
        // The other socket is bound to 127.0.0.1 only; 0.0.0.0 on the same port clashes.
        QCOMPARE(server.Open(), 10048);
        QVERIFY(!server.Active());
        QCOMPARE(server.LocalPort(), 0);
        server.Port = 70000;
        QCOMPARE(server.Open(), 10022);
        server.Port = -5;
        QCOMPARE(server.Open(), 10022);
        server.Port = 0;
        QCOMPARE(server.Open(), 0);
        server.Close();
        server.Close(); // twice: harmless
    }

    void destroyingEndpointsRaisesNothing()
    {
        const qsizetype before = OpenDescriptors().size();
        Log log;
        Fd listener = Bound(true);
        auto* client = new TClientSocket;
        log.attach(client);
        client->Host = QStringLiteral("127.0.0.1");
        client->Port = PortOf(listener.fd);
        client->Open();
        Fd clientPeer = AcceptWithin(listener.fd, 5000);
        QTRY_VERIFY(client->Connected());

        auto* server = new TServerSocket;
        log.attach(server);
        QCOMPARE(server->Open(), 0);
        Fd a = ConnectRaw(server->LocalPort());
        Fd b = ConnectRaw(server->LocalPort());
        QTRY_COMPARE(server->ActiveConnections(), 2);
        log.readChunk = 0; // left unread: the close must still be a clean one
        SendAll(a.fd, "pending");
        QTest::qWait(20);

        log.events.clear();
        delete client;
        delete server;
        QTest::qWait(50);
        QVERIFY2(log.events.isEmpty(), qPrintable(log.events.join(',')));
        QCOMPARE(PeerRead(clientPeer.fd, 2000), 0);
        QCOMPARE(PeerRead(a.fd, 2000), 0);
        QCOMPARE(PeerRead(b.fd, 2000), 0);
        clientPeer.reset();
        listener.reset();
        a.reset();
        b.reset();
        QCOMPARE(OpenDescriptors().size(), before);
    }

    void noDescriptorOutlivesItsUse()
    {
        TServerSocket server;
        Log serverLog;
        serverLog.attach(&server);
        QCOMPARE(server.Open(), 0);
        Fd listener = Bound(true);
        Fd refusing = Bound(false);
        auto round = [&] {
            // Connect and close.
            TClientSocket client;
            Log log;
            log.attach(&client);
            client.Host = QStringLiteral("127.0.0.1");
            client.Port = PortOf(listener.fd);
            client.Open();
            Fd peer = AcceptWithin(listener.fd, 5000);
            QTRY_VERIFY(client.Connected());
            client.Close();
            // Reset by the peer, then closed by the owner.
            client.Open();
            Fd peer2 = AcceptWithin(listener.fd, 5000);
            QTRY_VERIFY(client.Connected());
            ResetClose(peer2);
            QTRY_COMPARE(log.errors().size(), 1);
            client.Close();
            // Refused, then reopened while failed.
            client.Port = PortOf(refusing.fd);
            client.Open();
            QTRY_COMPARE(log.errors().size(), 2);
            client.Open();
            QTRY_COMPARE(log.errors().size(), 3);
            // Accepted and closed by either side, or reset.
            Fd a = ConnectRaw(server.LocalPort());
            Fd b = ConnectRaw(server.LocalPort());
            Fd c = ConnectRaw(server.LocalPort());
            QTRY_COMPARE(server.ActiveConnections(), 3);
            a.reset();
            ResetClose(b);
            server.Connections(server.ActiveConnections() - 1)->Close();
            QTRY_COMPARE(server.ActiveConnections(), 0);
        };
        round(); // the first round may set up things that stay (event loop internals)
        Settle();
        const qsizetype before = OpenDescriptors().size();
        for (int i = 0; i < 10; ++i) {
            round();
            if (QTest::currentTestFailed()) return;
        }
        Settle();
        QCOMPARE(OpenDescriptors().size(), before);
    }
};

QTEST_MAIN(TstSockets)
#include "tst_sockets.moc"
