// The discovery worker on loopback. The test moves itself into a network namespace of
// its own first, so the discovery ports are free for it alone and nothing it sends can
// leave the machine; the search is aimed at 127.255.255.255, which a socket bound to
// 0.0.0.0 hears. The simulated modules answer from 0.0.0.0:9999, so the worker under test
// binds 9998 there: that is the fallback at work, and it still sends to 9999.

#include "app/Dialogs.h"
#include "app/Messages.h"
#include "setup/Discovery.h"
#include "setup/Udpthread.h"
#include "tests/support/PrivateNet.h"
#include "tests/support/SimModule.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UdpPeer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QMutex>

#include <QtTest>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace vsp;
using vsptest::SimModule;

namespace {

using vsptest::LoopbackBroadcast;

// Records the window messages posted to it, as the main window would receive them.
class MessageSink : public QObject {
public:
    int Found = 0;
    bool OnOwnThread = true;

protected:
    bool event(QEvent* e) override
    {
        if (!TWinMessage::IsWinMessage(e)) return QObject::event(e);
        const auto* m = static_cast<const TWinMessage*>(e);
        if (m->Msg == WM_UDPMODULEFOUND && m->WParam == 0 && m->LParam == 0) ++Found;
        OnOwnThread = OnOwnThread && QThread::currentThread() == thread();
        return true;
    }
};

// The message boxes asked for, in order. They arrive through the event loop; the handler
// stays for the whole run, so a late box is recorded (or dropped with the worker's owner),
// never shown.
struct BoxRecorder {
    QList<MessageBoxRequest> Shown;
    // What a worker is given so that its boxes come here; its search stays on loopback.
    TPlatform Platform()
    {
        TPlatform platform;
        platform.DiscoveryAddress = QByteArray(LoopbackBroadcast);
        platform.MessageBox = [this](const MessageBoxRequest& r) {
            Shown << r;
            return MsgResult::Ok;
        };
        return platform;
    }
    QStringList Texts() const
    {
        QStringList t;
        for (const auto& r : Shown)
            t << r.Text;
        return t;
    }
};

// A plain UDP socket of the test's own.
using Udp = vsptest::UdpPeer;

QByteArray RequestBytes()
{
    const auto r = SearchRequest();
    return QByteArray(reinterpret_cast<const char*>(r.data()), int(r.size()));
}

QByteArray Reply(uint8_t id, uint8_t flags = ReplyFlagNvt, uint16_t port = 8000, uint8_t ipLast = 0)
{
    const auto r = MakeModuleReply({ 0x02, 0x00, 0x5E, 0x10, 0x20, id },
        { 127, 0, 1, ipLast ? ipLast : id }, { 255, 255, 255, 0 }, { 127, 0, 1, 254 }, flags, port);
    return QByteArray(reinterpret_cast<const char*>(r.data()), int(r.size()));
}

QString MacOf(uint8_t id)
{
    return QStringLiteral("02:00:5e:10:20:%1").arg(id, 2, 16, QLatin1Char('0'));
}

QJsonObject Module(uint8_t id, const QString& kind = QStringLiteral("normal"), int delayMs = 0)
{
    return { { QStringLiteral("mac"), MacOf(id) },
        { QStringLiteral("ip"), QStringLiteral("127.0.2.%1").arg(id) },
        { QStringLiteral("mask"), QStringLiteral("255.255.0.0") },
        { QStringLiteral("gateway"), QStringLiteral("127.0.0.254") },
        { QStringLiteral("flags"), id % 4 }, { QStringLiteral("port"), 7000 + id },
        { QStringLiteral("kind"), kind }, { QStringLiteral("delay_ms"), delayMs } };
}

QByteArray EntryBytes(TUDPThread& t, int i)
{
    return QByteArray(reinterpret_cast<const char*>(t.ModuleTable[i].Reply), ModuleReplySize);
}

int CountOf(TUDPThread& t)
{
    QMutexLocker lock(&t.Lock);
    return t.ModuleCount;
}

// Waits for the table to reach n entries without running the event loop: the worker
// needs none, and the messages it posts stay queued meanwhile.
bool WaitForCount(TUDPThread& t, int n, int timeoutMs = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (CountOf(t) < n) {
        if (timer.elapsed() > timeoutMs) return false;
        QThread::usleep(200);
    }
    return true;
}

bool WaitForPort(TUDPThread& t, int timeoutMs = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (t.BoundPort() == 0 && !t.isFinished() && timer.elapsed() < timeoutMs)
        QThread::usleep(200);
    return t.BoundPort() != 0;
}

void Search(TUDPThread& t)
{
    {
        QMutexLocker lock(&t.Lock);
        t.ModuleCount = 0;
    }
    t.PostThreadMessage(WM_UDPSEARCH);
}

// CPU time of the worker's system thread so far, in nanoseconds, or -1 if it is not found.
qint64 WorkerCpuNs()
{
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(tid + QStringLiteral("/comm")));
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != "TUDPThread") continue;
        QFile stat(tasks.filePath(tid + QStringLiteral("/schedstat")));
        if (!stat.open(QIODevice::ReadOnly)) return -1;
        return stat.readAll().split(' ').value(0).toLongLong();
    }
    return -1;
}

qint64 ProcessCpuNs()
{
    rusage u {};
    ::getrusage(RUSAGE_SELF, &u);
    return (qint64(u.ru_utime.tv_sec) + u.ru_stime.tv_sec) * 1000000000
        + (qint64(u.ru_utime.tv_usec) + u.ru_stime.tv_usec) * 1000;
}

// ---- Stand-ins for the socket calls, to make each of them fail ----

std::atomic<int> sendCalls { 0 };
std::atomic<int> sendErrno { 0 }; // the next send fails with this, once
QMutex sendMutex;
QList<QPair<QString, int>> sendTargets;

int FailingSocket(int, int, int)
{
    errno = EMFILE;
    return -1;
}
int FailingSetSockOpt(int, int, int, const void*, socklen_t)
{
    errno = ENOPROTOOPT;
    return -1;
}
int FailingBind(int, const sockaddr*, socklen_t)
{
    errno = EADDRINUSE;
    return -1;
}
ssize_t RecordingSendTo(
    int fd, const void* data, size_t length, int flags, const sockaddr* to, socklen_t toLength)
{
    ++sendCalls;
    {
        const auto* in = reinterpret_cast<const sockaddr_in*>(to);
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        QMutexLocker lock(&sendMutex);
        sendTargets.append({ QString::fromLatin1(text), ntohs(in->sin_port) });
    }
    if (const int e = sendErrno.exchange(0)) {
        errno = e;
        return -1;
    }
    // Never onto a real network: anything but loopback stops here.
    const auto* in = reinterpret_cast<const sockaddr_in*>(to);
    if ((ntohl(in->sin_addr.s_addr) >> 24) != 127) {
        errno = ENETUNREACH;
        return -1;
    }
    return ::sendto(fd, data, length, flags, to, toLength);
}

void ResetSendRecord()
{
    sendCalls = 0;
    sendErrno = 0;
    QMutexLocker lock(&sendMutex);
    sendTargets.clear();
}

QList<QPair<QString, int>> SendTargets()
{
    QMutexLocker lock(&sendMutex);
    return sendTargets;
}

} // namespace

class TstUdpThread : public QObject {
    Q_OBJECT

    // Starts the simulated modules on 0.0.0.0:9999, where they hear the loopback broadcast.
    static bool StartSim(SimModule& sim, const QJsonArray& modules)
    {
        if (!sim.Start({ QStringLiteral("--udp-bind"), QStringLiteral("0.0.0.0"),
                QStringLiteral("--udp-port"), QString::number(DiscoveryPort) }))
            return false;
        return sim.Ok({ { QStringLiteral("cmd"), QStringLiteral("modules") },
            { QStringLiteral("modules"), modules } });
    }

    // The datagrams the simulated modules sent, in order, from event index `from`.
    BoxRecorder boxes;

    static QList<QByteArray> Replied(const SimModule& sim, qsizetype from = 0)
    {
        QList<QByteArray> out;
        for (const QJsonObject& e : sim.EventsNamed(QStringLiteral("replied"), from))
            out << QByteArray::fromHex(e.value(QStringLiteral("hex")).toString().toLatin1());
        return out;
    }

private Q_SLOTS:
    void init()
    {
        ResetSendRecord();
        QCoreApplication::processEvents();
        boxes.Shown.clear();
    }

    // The worker takes 9999 when it is free and then sleeps: no CPU while nothing happens.
    void bindsDiscoveryPortAndSleepsWhenIdle()
    {
        MessageSink sink;
        TUDPThread thread(&sink, boxes.Platform());
        QVERIFY(WaitForPort(thread));
        QCOMPARE(thread.BoundPort(), 9999);
        QTest::qWait(100); // settle after start-up

        const qint64 worker0 = WorkerCpuNs();
        QVERIFY2(worker0 >= 0, "the worker's system thread (named TUDPThread) was not found");
        const qint64 process0 = ProcessCpuNs();
        QElapsedTimer wall;
        wall.start();
        QThread::sleep(3);
        const qint64 workerNs = WorkerCpuNs() - worker0;
        const qint64 processNs = ProcessCpuNs() - process0;
        const double seconds = double(wall.nsecsElapsed()) / 1e9;
        qInfo("idle for %.2f s: worker thread %.3f ms CPU, whole process %.3f ms CPU (%.4f%%)",
            seconds, double(workerNs) / 1e6, double(processNs) / 1e6,
            double(processNs) / 1e7 / seconds);
        // A polling loop with a 200 us wait would spend tens of milliseconds here.
        QVERIFY2(workerNs < 2000000, qPrintable(QStringLiteral("%1 ns").arg(workerNs)));
        QVERIFY(thread.isRunning());
        QVERIFY(boxes.Shown.isEmpty());
    }

    // Commands wake the worker at once and are served in the order posted; so are
    // datagrams. Stop ends it, and what is posted afterwards is dropped.
    void servesCommandsPromptlyInOrder()
    {
        MessageSink sink;
        Udp listener; // plays the modules' port
        QVERIFY(listener.Bind(DiscoveryPort));
        TUDPThread thread(&sink, boxes.Platform());
        QVERIFY(WaitForPort(thread));
        QCOMPARE(thread.BoundPort(), 9998);

        std::vector<qint64> latencies;
        for (int i = 0; i < 20; ++i) {
            QElapsedTimer timer;
            timer.start();
            thread.PostThreadMessage(WM_UDPSEARCH);
            const auto d = listener.Receive(2000);
            QVERIFY2(d, "no search request arrived");
            latencies.push_back(timer.nsecsElapsed());
            QCOMPARE(d->Bytes, RequestBytes());
            QCOMPARE(d->FromPort, 9998);
            QTest::qWait(5);
        }
        std::sort(latencies.begin(), latencies.end());
        qInfo("post to request received: median %.3f ms, max %.3f ms",
            double(latencies[latencies.size() / 2]) / 1e6, double(latencies.back()) / 1e6);
        QVERIFY(latencies[latencies.size() / 2] < 5000000);
        QVERIFY(latencies.back() < 100000000);

        // A reply wakes it as promptly.
        Udp module;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(module.SendTo(9998, Reply(1)));
        QVERIFY(WaitForCount(thread, 1, 2000));
        qInfo("reply sent to stored: %.3f ms", double(timer.nsecsElapsed()) / 1e6);
        QVERIFY(timer.elapsed() < 100);

        // Two searches, stop, a third search: two requests, then the worker is gone.
        thread.PostThreadMessage(WM_UDPSEARCH);
        thread.PostThreadMessage(WM_UDPSEARCH);
        thread.PostThreadMessage(12345); // unknown: dropped
        thread.PostThreadMessage(WM_UDPSTOP);
        thread.PostThreadMessage(WM_UDPSEARCH);
        QVERIFY(listener.Receive(2000));
        QVERIFY(listener.Receive(2000));
        QVERIFY(thread.wait(2000));
        QVERIFY(!listener.Receive(300));
        QCOMPARE(thread.BoundPort(), 0);
        thread.PostThreadMessage(WM_UDPSEARCH);
        QVERIFY(!listener.Receive(200));
        QVERIFY(boxes.Shown.isEmpty());
    }

    // Only authentic 48-byte replies are stored; a module's first reply wins.
    void storesOnlyAuthenticReplies()
    {
        SimModule sim;
        QJsonArray modules { Module(1), Module(2, QStringLiteral("forged")),
            Module(3, QStringLiteral("oversized")), Module(4, QStringLiteral("short")),
            Module(5, QStringLiteral("duplicate")) };
        QJsonObject big = Module(6, QStringLiteral("oversized"));
        big[QStringLiteral("size")] = 200; // beyond the receive buffer as well
        modules << big;
        QJsonObject oneByte = Module(7, QStringLiteral("short"));
        oneByte[QStringLiteral("size")] = 1;
        modules << oneByte;
        QJsonObject justShort = Module(8, QStringLiteral("short"));
        justShort[QStringLiteral("size")] = 47;
        modules << justShort;
        // Same MAC as module 1, other address, port and flags, a little later.
        QJsonObject sameMac = Module(1, QStringLiteral("normal"), 50);
        sameMac[QStringLiteral("ip")] = QStringLiteral("127.0.9.9");
        sameMac[QStringLiteral("port")] = 1;
        sameMac[QStringLiteral("flags")] = 0;
        modules << sameMac;
        modules << Module(9, QStringLiteral("normal"), 250); // last: all before it are handled
        QVERIFY2(StartSim(sim, modules), qPrintable(sim.Describe()));
        QCOMPARE(sim.ReadyEvent().value(QStringLiteral("key_source")).toString(),
            QStringLiteral("file"));

        MessageSink sink;
        TUDPThread thread(&sink, boxes.Platform());
        QVERIFY(WaitForPort(thread));
        QCOMPARE(thread.BoundPort(), 9998);
        Search(thread);

        const auto search = sim.WaitForEvent(QStringLiteral("search"), 5000);
        QVERIFY2(search, qPrintable(sim.Describe()));
        QCOMPARE(
            search->value(QStringLiteral("from")).toString(), QStringLiteral("127.0.0.1:9998"));
        QVERIFY(search->value(QStringLiteral("tag_ok")).toBool());
        QTRY_COMPARE_WITH_TIMEOUT(sink.Found, 3, 5000);
        QVERIFY(sim.WaitForEvent(
            QStringLiteral("replied"), { { QStringLiteral("mac"), MacOf(9) } }, 5000));
        QTest::qWait(100);

        // The sim's own record of what it sent: module 1, the two of module 5, module 9.
        QList<QByteArray> valid;
        for (const QJsonObject& e : sim.EventsNamed(QStringLiteral("replied"))) {
            const QString kind = e.value(QStringLiteral("kind")).toString();
            if (kind == QStringLiteral("normal") || kind == QStringLiteral("duplicate"))
                valid << QByteArray::fromHex(e.value(QStringLiteral("hex")).toString().toLatin1());
        }
        QCOMPARE(valid.size(), 5); // 1, 5, 5 again, 1 again, 9
        QCOMPARE(CountOf(thread), 3);
        QCOMPARE(EntryBytes(thread, 0), valid[0]);
        QCOMPARE(EntryBytes(thread, 1), valid[1]); // the first of module 5's two
        QVERIFY(valid[2] != valid[1]);
        QCOMPARE(EntryBytes(thread, 2), valid[4]);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(thread.ModuleTable[i].Listed, uint8_t(0));
        QCOMPARE(sink.Found, 3);
        QVERIFY(sink.OnOwnThread);
        QVERIFY(boxes.Shown.isEmpty());
    }

    // The request itself, heard back on the worker's own socket, is not a reply; nor is a
    // short datagram that repeats the start of a reply stored earlier.
    void requestAndShortCopiesAreNotStored()
    {
        MessageSink sink;
        TUDPThread thread(&sink, boxes.Platform()); // on 9999: it hears its own broadcast
        QVERIFY(WaitForPort(thread));
        QCOMPARE(thread.BoundPort(), 9999);
        Search(thread);
        QTest::qWait(100);
        QCOMPARE(CountOf(thread), 0);
        // The same bytes from another socket, then a reply behind them.
        Udp peer;
        QVERIFY(peer.SendTo(9999, RequestBytes()));
        QVERIFY(peer.SendTo(9999, Reply(1)));
        QVERIFY(WaitForCount(thread, 1, 2000));
        QCOMPARE(EntryBytes(thread, 0), Reply(1));

        // Emptied as a search does, but with no request of ours in between: the last
        // datagram received is still the full reply. Its first 47 bytes must not bring it
        // back from whatever a receive buffer still holds.
        {
            QMutexLocker lock(&thread.Lock);
            thread.ModuleCount = 0;
        }
        QVERIFY(peer.SendTo(9999, Reply(1).left(47)));
        QVERIFY(peer.SendTo(9999, Reply(1).left(40)));
        QVERIFY(peer.SendTo(9999, Reply(2)));
        QVERIFY(WaitForCount(thread, 1, 2000));
        QTest::qWait(100);
        QCOMPARE(CountOf(thread), 1);
        QCOMPARE(EntryBytes(thread, 0), Reply(2));
        QTRY_COMPARE(sink.Found, 2);
    }

    // Modules that answer between searches are stored and reported all the same.
    void unaskedRepliesAreStored()
    {
        SimModule sim;
        QVERIFY2(StartSim(sim, { Module(1) }), qPrintable(sim.Describe()));
        MessageSink sink;
        TUDPThread thread(&sink, boxes.Platform());
        QVERIFY(WaitForPort(thread));
        const QString to = QStringLiteral("127.0.0.1:%1").arg(thread.BoundPort());
        for (int id : { 3, 4 })
            QVERIFY(sim.Ok({ { QStringLiteral("cmd"), QStringLiteral("udp_reply") },
                { QStringLiteral("to"), to }, { QStringLiteral("module"), Module(uint8_t(id)) } }));
        QTRY_COMPARE_WITH_TIMEOUT(sink.Found, 2, 5000);
        QCOMPARE(CountOf(thread), 2);
        QCOMPARE(EntryBytes(thread, 0), Replied(sim).value(0));
        QCOMPARE(EntryBytes(thread, 1), Replied(sim).value(1));
    }

    // A second search empties the table; the same modules are stored and reported again.
    void secondSearchEmptiesAndRefills()
    {
        SimModule sim;
        // Both answer late enough that the emptied table is seen before a reply refills it,
        // even on a loaded machine.
        QVERIFY2(StartSim(sim,
                     { Module(1, QStringLiteral("normal"), 300),
                         Module(2, QStringLiteral("normal"), 330) }),
            qPrintable(sim.Describe()));
        MessageSink sink;
        TUDPThread thread(&sink, boxes.Platform());
        QVERIFY(WaitForPort(thread));
        Search(thread);
        QTRY_COMPARE_WITH_TIMEOUT(sink.Found, 2, 5000);
        const QByteArray first0 = EntryBytes(thread, 0), first1 = EntryBytes(thread, 1);
        thread.ModuleTable[0].Listed = thread.ModuleTable[1].Listed = 1; // as the window does

        Search(thread);
        QCOMPARE(CountOf(thread), 0);
        QTRY_COMPARE_WITH_TIMEOUT(sink.Found, 4, 5000);
        QCOMPARE(CountOf(thread), 2);
        QCOMPARE(EntryBytes(thread, 0), first0);
        QCOMPARE(EntryBytes(thread, 1), first1);
        QCOMPARE(thread.ModuleTable[0].Listed, uint8_t(0));
        QCOMPARE(thread.ModuleTable[1].Listed, uint8_t(0));
        QCOMPARE(sim.EventsNamed(QStringLiteral("search")).size(), 2);
    }

    // Taken ports are skipped from 9999 downwards; the search still goes to 9999.
    void bindsFirstFreePortBelow()
    {
        std::vector<std::unique_ptr<Udp>> held;
        for (int port = 9999; port >= 9990; --port) {
            held.push_back(std::make_unique<Udp>());
            QVERIFY(held.back()->Bind(port));
        }
        MessageSink sink;
        TUDPThread thread(&sink, boxes.Platform());
        QVERIFY(WaitForPort(thread));
        QCOMPARE(thread.BoundPort(), 9989);
        thread.PostThreadMessage(WM_UDPSEARCH);
        const auto d = held.front()->Receive(2000);
        QVERIFY(d);
        QCOMPARE(d->FromPort, 9989);
        QCOMPARE(d->Bytes, RequestBytes());
    }

    // With every port from 9999 to 9900 taken the worker reports it and ends; searches
    // asked for afterwards do nothing.
    void noPortLeftEndsTheWorker()
    {
        std::vector<std::unique_ptr<Udp>> held;
        for (int port = 9999; port >= 9900; --port) {
            held.push_back(std::make_unique<Udp>());
            QVERIFY(held.back()->Bind(port));
        }
        MessageSink sink;
        TUDPThread thread(&sink, boxes.Platform());
        QVERIFY(thread.wait(5000));
        QCOMPARE(thread.BoundPort(), 0);
        QTRY_COMPARE(boxes.Shown.size(), 1);
        const MessageBoxRequest& box = boxes.Shown[0];
        QCOMPARE(box.Text, QStringLiteral("Error bind socket"));
        QCOMPARE(box.Caption, QStringLiteral("UDP Setup"));
        QCOMPARE(box.Icon, MsgIcon::Error);
        QCOMPARE(box.Buttons, MsgButtons::Ok);
        QVERIFY(box.Owner == nullptr);
        Search(thread);
        QVERIFY(!held.front()->Receive(300));
        QCOMPARE(boxes.Shown.size(), 1);
    }

    // The table holds 64 modules; the 65th is dropped and the first 64 stay as they came.
    void fullTableDropsTheRest()
    {
        SimModule sim;
        QJsonArray modules;
        for (int id = 1; id <= 65; ++id)
            modules << Module(uint8_t(id));
        QVERIFY2(StartSim(sim, modules), qPrintable(sim.Describe()));
        MessageSink sink;
        TUDPThread thread(&sink, boxes.Platform());
        QVERIFY(WaitForPort(thread));
        Search(thread);
        QTRY_COMPARE_WITH_TIMEOUT(sim.EventsNamed(QStringLiteral("replied")).size(), 65, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(sink.Found, 64, 5000);
        QTest::qWait(200);
        QCOMPARE(sink.Found, 64);
        QCOMPARE(CountOf(thread), 64);
        const QList<QByteArray> sent = Replied(sim);
        for (int i = 0; i < 64; ++i)
            QCOMPARE(EntryBytes(thread, i), sent[i]);
        // A new search makes room again.
        Search(thread);
        QTRY_COMPARE_WITH_TIMEOUT(sink.Found, 128, 5000);
    }

    // Each start-up step that fails is reported once; the worker then ends and later
    // searches send nothing.
    void startFailures_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<QString>("text");
        QTest::newRow("socket") << 0 << "Can't create socket";
        QTest::newRow("broadcast option") << 1 << "Socket option setup error";
        QTest::newRow("bind") << 2 << "Error bind socket";
    }
    void startFailures()
    {
        QFETCH(int, step);
        QFETCH(QString, text);
        TPlatform platform = boxes.Platform();
        TUDPSocketCalls& calls = platform.UDPSocketCalls;
        calls.SendTo = RecordingSendTo;
        if (step == 0) calls.Socket = FailingSocket;
        if (step == 1) calls.SetSockOpt = FailingSetSockOpt;
        if (step == 2) calls.Bind = FailingBind;
        MessageSink sink;
        TUDPThread thread(&sink, platform);
        QVERIFY(thread.wait(5000));
        QTRY_COMPARE(boxes.Texts(), QStringList { text });
        QCOMPARE(boxes.Shown[0].Caption, QStringLiteral("UDP Setup"));
        QCOMPARE(boxes.Shown[0].Icon, MsgIcon::Error);
        QVERIFY(boxes.Shown[0].Owner == nullptr);
        Search(thread);
        QTest::qWait(100);
        QCOMPARE(sendCalls.load(), 0);
        QCOMPARE(boxes.Shown.size(), 1);
    }

    // A send refused with access denied is reported and the worker goes on; other send
    // errors pass without a word.
    void sendErrors()
    {
        TPlatform platform = boxes.Platform();
        platform.UDPSocketCalls.SendTo = RecordingSendTo;
        Udp listener;
        QVERIFY(listener.Bind(DiscoveryPort));
        MessageSink sink;
        TUDPThread thread(&sink, platform);
        QVERIFY(WaitForPort(thread));

        sendErrno = EACCES;
        thread.PostThreadMessage(WM_UDPSEARCH);
        QTRY_COMPARE(
            boxes.Texts(), QStringList { QStringLiteral("Broadcast address not allowed") });
        QCOMPARE(boxes.Shown[0].Caption, QStringLiteral("UDP Setup"));
        QCOMPARE(boxes.Shown[0].Icon, MsgIcon::Error);
        QVERIFY(boxes.Shown[0].Owner == nullptr);

        sendErrno = ENETUNREACH;
        thread.PostThreadMessage(WM_UDPSEARCH);
        QTRY_COMPARE(sendCalls.load(), 2);
        thread.PostThreadMessage(WM_UDPSEARCH);
        QVERIFY(listener.Receive(2000));
        QTest::qWait(50);
        QCOMPARE(boxes.Shown.size(), 1);
        QVERIFY(thread.isRunning());
    }

    // Without the variable the search goes to the limited broadcast; the variable moves
    // it; a value that is not an IPv4 address stops searches instead of falling back.
    void discoveryAddress_data()
    {
        QTest::addColumn<bool>("set");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("target"); // empty: nothing may be sent
        QTest::newRow("unset") << false << QByteArray() << "255.255.255.255";
        QTest::newRow("loopback broadcast")
            << true << QByteArray("127.255.255.255") << "127.255.255.255";
        QTest::newRow("host") << true << QByteArray("127.0.0.1") << "127.0.0.1";
        QTest::newRow("empty") << true << QByteArray() << "";
        QTest::newRow("name") << true << QByteArray("localhost") << "";
        QTest::newRow("out of range") << true << QByteArray("127.0.0.256") << "";
        QTest::newRow("short form") << true << QByteArray("127.1") << "";
        QTest::newRow("trailing blank") << true << QByteArray("127.0.0.1 ") << "";
    }
    void discoveryAddress()
    {
        QFETCH(bool, set);
        QFETCH(QByteArray, value);
        QFETCH(QString, target);
        TPlatform platform = boxes.Platform();
        if (set)
            platform.DiscoveryAddress = value;
        else
            platform.DiscoveryAddress.reset();
        platform.UDPSocketCalls.SendTo = RecordingSendTo; // stops anything that is not loopback
        MessageSink sink;
        TUDPThread thread(&sink, platform);
        QVERIFY(WaitForPort(thread));
        thread.PostThreadMessage(WM_UDPSEARCH);
        Udp peer;
        QVERIFY(peer.SendTo(thread.BoundPort(), Reply(1)));
        QVERIFY(WaitForCount(thread, 1, 2000)); // it works on in every case
        QTest::qWait(100);
        if (target.isEmpty()) {
            QCOMPARE(sendCalls.load(), 0);
            QCOMPARE(boxes.Shown.size(), 1);
            QVERIFY(boxes.Shown[0].Text.startsWith(QStringLiteral("VSP_DISCOVERY_ADDR")));
            QVERIFY(boxes.Shown[0].Text.contains(QString::fromLatin1(value)));
            QCOMPARE(boxes.Shown[0].Caption, QStringLiteral("UDP Setup"));
        } else {
            QCOMPARE(SendTargets(), (QList<QPair<QString, int>> { { target, 9999 } }));
            QVERIFY(boxes.Shown.isEmpty());
        }
    }

    // The destructor ends and joins the worker promptly, whatever it was doing.
    void destructionIsPrompt()
    {
        MessageSink sink;
        Udp flood;
        for (int i = 0; i < 20; ++i) {
            auto thread = std::make_unique<TUDPThread>(&sink, boxes.Platform());
            if (i % 2) {
                QVERIFY(WaitForPort(*thread));
                for (int k = 0; k < 50; ++k)
                    flood.SendTo(thread->BoundPort(), Reply(uint8_t(k)));
                thread->PostThreadMessage(WM_UDPSEARCH);
            }
            QElapsedTimer timer;
            timer.start();
            thread.reset();
            QVERIFY2(timer.elapsed() < 500, qPrintable(QString::number(timer.elapsed())));
        }
        QCoreApplication::processEvents(); // messages to a live sink only
    }
};

int main(int argc, char** argv)
{
    // Before Qt starts any thread: the namespace is the process's own only if taken now.
    QString why;
    const bool isolated = vsptest::EnterPrivateNetwork(&why);
    QCoreApplication app(argc, argv);
    if (!isolated) {
        qCritical("tst_udpthread: cannot make a private network namespace (%s); the discovery "
                  "worker is not run outside one",
            qPrintable(why));
        return 1;
    }
    TstUdpThread test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_udpthread.moc"
