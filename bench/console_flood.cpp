// The window under a hostile set-up console and under a log flood, in one process: the
// window as the tests build it (an in-memory port, message boxes answered), the module's
// data link and its set-up console played by QTcpServer on 127.0.0.1 in a thread of their
// own, so that they keep their pace while the window's thread is busy.
//
//   console_flood              three rounds of every case, each in a fresh process; a table
//   console_flood --one CASE   one case, figures as "R key|label|value" lines
//
// Cases: readout-line (one 1 MiB piece without a line break, then "Reboot"), readout-lines
// (up to 20 MB of short lines, never "Reboot"), both pressed back to back for 2 s, and the
// same as 30 single read-outs (readout-line-once, readout-lines-once), and 30 of a console
// that prints three short lines and "Reboot", for comparison (readout-plain-once); drop-log-on /
// drop-log-off (100 MiB in 512-byte blocks into a closed port), relay-open (the same into an open
// port), log-rss.
//
// Run it only inside scripts/private-netns: the window pings and searches for modules.

#include "app/Controls.h"
#include "app/Dialogs.h"
#include "app/Platform.h"
#include "app/Umainf.h"
#include "link/Sockets.h"
#include "setup/Umodulesetupf.h"
#include "tests/support/FakePort.h"
#include "vport/Usettingsf.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMap>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextEdit>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <mutex>
#include <sys/resource.h>
#include <vector>

namespace {

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t ThreadCpuNs()
{
    timespec ts {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double ProcessCpuSeconds()
{
    rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec)
        + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A field of /proc/self/status in MB (10^6 bytes).
double StatusMB(const char* field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(strlen(field))).trimmed().split(' ').value(0).toDouble() * 1024
                / 1e6;
    return -1;
}

QByteArray LoadAverage()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed() : QByteArray("?");
}

void Figure(const char* key, const char* label, double value)
{
    std::printf("R %s|%s|%.6g\n", key, label, value);
    std::fflush(stdout);
}

// Runs the event loop (no sleeping, which would hold the window's thread) until pred holds.
bool WaitFor(const std::function<bool()>& pred, int timeoutMs, int pollMs = 2)
{
    if (pred()) return true;
    QEventLoop loop;
    QTimer poll;
    QElapsedTimer t;
    t.start();
    bool ok = false;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (pred()) {
            ok = true;
            loop.quit();
        } else if (t.elapsed() > timeoutMs) {
            loop.quit();
        }
    });
    poll.start(pollMs);
    loop.exec();
    return ok;
}

void Pause(int ms)
{
    QElapsedTimer t;
    t.start();
    WaitFor([&] { return t.elapsed() >= ms; }, ms + 1000, 5);
}

// What the two threads both touch.
struct Shared {
    std::mutex m;
    std::vector<int64_t> upSent, upGot; // module→program: module wrote, port took
    std::vector<int64_t> downSent, downGot; // program→module: program wrote, module read
    std::atomic<bool> dataConnected { false };
    std::atomic<int> consoleClosed { 0 }; // console connections the window hung up
    std::atomic<qint64> consoleSent { 0 };
};

constexpr char UpProbe = 'M';
constexpr char DownProbe = 'P';

// The in-memory port of the tests, which also notes when a probe byte reaches the program,
// or takes a flood without keeping it.
class StampedPort : public vsptest::FakePort {
public:
    Shared* Sh = nullptr;
    bool Discard = false;
    qint64 Taken = 0;
    int32_t Write(const uint8_t* buffer, int32_t count) override
    {
        if (Discard) {
            if (!IsOpened() || !buffer || count <= 0) return 0;
            Taken += count;
            return count;
        }
        const int32_t n = FakePort::Write(buffer, count);
        if (n > 0 && Sh) {
            const int64_t t = NowNs();
            std::lock_guard lock(Sh->m);
            for (int32_t i = 0; i < n; ++i)
                if (buffer[i] == uint8_t(UpProbe)) Sh->upGot.push_back(t);
        }
        Output.clear();
        return n;
    }
};

// The module: its data port and its set-up console, in the thread it is moved to.
class Peer : public QObject {
public:
    enum class Console { None, Plain, OneLongLine, ManyLines };
    Shared* Sh = nullptr;
    Console Mode = Console::None;
    qint64 ConsoleLimit = 20'000'000;
    StampedPort* Port = nullptr; // only ever touched on the window's thread
    QObject* Window = nullptr; // a QObject of the window's thread

    QTcpServer* Data = nullptr;
    QTcpServer* Setup = nullptr;
    QTcpSocket* DataSock = nullptr;
    QTimer* Probe = nullptr;
    bool ProbeUp = true;
    qint64 FloodLeft = 0, FloodUnacked = 0;

    void Start()
    {
        Data = new QTcpServer(this);
        Setup = new QTcpServer(this);
        Data->listen(QHostAddress::LocalHost);
        Setup->listen(QHostAddress::LocalHost);
        connect(Data, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = Data->nextPendingConnection()) {
                DataSock = s;
                connect(s, &QTcpSocket::readyRead, this, [this, s] {
                    const QByteArray b = s->readAll();
                    const int64_t t = NowNs();
                    std::lock_guard lock(Sh->m);
                    for (char c : b)
                        if (c == DownProbe) Sh->downGot.push_back(t);
                });
                connect(s, &QTcpSocket::bytesWritten, this, [this](qint64 n) {
                    FloodUnacked -= n;
                    Flood();
                });
                Sh->dataConnected = true;
            }
        });
        connect(Setup, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = Setup->nextPendingConnection())
                ServeConsole(s);
        });
        Probe = new QTimer(this);
        Probe->setTimerType(Qt::PreciseTimer);
        connect(Probe, &QTimer::timeout, this, [this] { SendProbe(); });
    }

    // One byte every 20 ms each way, the two directions 10 ms apart.
    void StartProbes() { Probe->start(10); }
    void StopProbes() { Probe->stop(); }

    void SendProbe()
    {
        if (!DataSock) return;
        if (ProbeUp) {
            {
                std::lock_guard lock(Sh->m);
                Sh->upSent.push_back(NowNs());
            }
            DataSock->write(&UpProbe, 1);
            DataSock->flush();
        } else {
            {
                std::lock_guard lock(Sh->m);
                Sh->downSent.push_back(NowNs());
            }
            // The program writes into the port whenever it likes; the window learns of it
            // through its own event loop, as it does from the pty.
            StampedPort* port = Port;
            QMetaObject::invokeMethod(
                Window, [port] { port->ProgramWrites(QByteArray(1, DownProbe)); },
                Qt::QueuedConnection);
        }
        ProbeUp = !ProbeUp;
    }

    void StartFlood(qint64 bytes)
    {
        FloodLeft = bytes;
        Flood();
    }

    void Flood()
    {
        static const QByteArray block(512, 'd');
        while (DataSock && FloodLeft > 0 && FloodUnacked < 64 * 1024) {
            DataSock->write(block);
            FloodLeft -= block.size();
            FloodUnacked += block.size();
        }
    }

    void ServeConsole(QTcpSocket* s)
    {
        connect(s, &QTcpSocket::readyRead, s, [s] { s->readAll(); });
        connect(s, &QTcpSocket::disconnected, this, [this] { ++Sh->consoleClosed; });
        auto queued = std::make_shared<qint64>(0);
        auto ended = std::make_shared<bool>(false);
        if (Mode == Console::Plain)
            s->write("*** Channel 1\r\nBaudrate 9600, I/F Mode 8N1\r\n"
                     "Change setting: 9 Save and Reboot\r\n");
        if (Mode == Console::OneLongLine) {
            s->write(QByteArray(1 << 20, 'x'));
            *queued = 1 << 20;
        }
        static const QByteArray lines = [] {
            QByteArray b;
            for (int i = 0; b.size() < 64 * 1024; ++i)
                b += "Channel " + QByteArray::number(i % 10000) + ": 9600 8N1\r\n";
            return b;
        }();
        auto refill = [this, s, queued, ended] {
            if (Mode == Console::ManyLines) {
                while (s->state() == QAbstractSocket::ConnectedState
                    && s->bytesToWrite() < 256 * 1024 && *queued < ConsoleLimit) {
                    s->write(
                        lines.left(int(std::min<qint64>(lines.size(), ConsoleLimit - *queued))));
                    *queued += lines.size();
                }
            } else if (Mode == Console::OneLongLine && !*ended && s->bytesToWrite() == 0) {
                *ended = true;
                s->write("\r\nChange setting: 9 Save and Reboot\r\n");
            }
        };
        connect(s, &QTcpSocket::bytesWritten, this, [this, refill](qint64 n) {
            Sh->consoleSent += n;
            refill();
        });
        refill();
    }
};

// The window as tests/support/FormHarness builds it, with the stamping port.
struct Window {
    StampedPort* port = nullptr;
    vsp::TSettingsForm report;
    std::unique_ptr<vsp::TMainForm> form;
    explicit Window(Shared* sh)
    {
        vsp::TPlatform platform;
        platform.MakePort = [this, sh]() -> std::unique_ptr<vsp::TVSPort> {
            auto p = std::make_unique<StampedPort>();
            p->Sh = sh;
            port = p.get();
            return p;
        };
        platform.MessageBox = [](const vsp::MessageBoxRequest&) { return vsp::MsgResult::Ok; };
        platform.PingNow = [](const QString&) { return 1; };
        form = std::make_unique<vsp::TMainForm>(
            QStringList { QStringLiteral("-S0") }, platform, vsp::TOtherWindows { &report });
        form->LogEnabledCheckBox->setChecked(true);
        // Plain bytes both ways: no negotiation to tell apart from the probes.
        form->NVTEnabledCheckBox->setChecked(false);
        form->NVTPortSetupCheckBox->setChecked(false);
        form->TEAEnabledCheckBox->setChecked(false);
    }
    ~Window() { form.reset(); }
    void Aim(int port)
    {
        form->IPAddressComboBox->setEditText(QStringLiteral("127.0.0.1"));
        form->PortLabeledEdit->setText(QString::number(port));
        form->ServerPortLabeledEdit->setText(QStringLiteral("0"));
    }
};

struct PeerThread {
    Shared sh;
    QThread thread;
    Peer* peer = new Peer;
    PeerThread()
    {
        peer->Sh = &sh;
        peer->moveToThread(&thread);
        thread.start();
    }
    ~PeerThread()
    {
        QMetaObject::invokeMethod(
            peer, [this] { delete peer; }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }
    template <class F> void Run(F f)
    {
        QMetaObject::invokeMethod(peer, f, Qt::BlockingQueuedConnection);
    }
};

double Quantile(std::vector<double> v, double q)
{
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, size_t(q * double(v.size() - 1) + 0.5));
    return v[i];
}

using Spans = std::vector<std::pair<int64_t, int64_t>>;

// Latencies (ms) of the probes sent within the spans, in order; *lost: those that never came.
std::vector<double> Latencies(const std::vector<int64_t>& sent, const std::vector<int64_t>& got,
    const Spans& spans, int* lost)
{
    std::vector<double> out;
    *lost = 0;
    for (size_t i = 0; i < sent.size(); ++i) {
        if (std::none_of(spans.begin(), spans.end(),
                [&](const auto& s) { return sent[i] >= s.first && sent[i] <= s.second; }))
            continue;
        if (i < got.size())
            out.push_back(double(got[i] - sent[i]) / 1e6);
        else
            ++*lost;
    }
    return out;
}

int RunReadout(Peer::Console mode, bool spaced, const char* prefix)
{
    PeerThread pt;
    pt.peer->Mode = mode;
    int dataPort = 0, setupPort = 0;
    pt.Run([&] {
        pt.peer->Start();
        dataPort = pt.peer->Data->serverPort();
        setupPort = pt.peer->Setup->serverPort();
    });
    qputenv(vsp::SetupPortVariable, QByteArray::number(setupPort));
    Window w(&pt.sh);
    pt.peer->Port = w.port;
    pt.peer->Window = w.form.get();
    w.Aim(dataPort);
    w.form->CreateCOMBitBtnClick();
    w.port->Open();
    if (!WaitFor(
            [&] { return w.form->Link->DataConnection() && pt.sh.dataConnected.load(); }, 10000)) {
        std::fprintf(stderr, "the data link did not come up\n");
        return 1;
    }
    vsp::TSettingsForm& report = w.report;
    Pause(300);
    const double rssBefore = StatusMB("VmRSS:");

    int64_t lastTick = 0, longestGap = 0;
    bool stallOn = false;
    QTimer stall;
    stall.setTimerType(Qt::PreciseTimer);
    QObject::connect(&stall, &QTimer::timeout, [&] {
        const int64_t t = NowNs();
        if (stallOn && lastTick) longestGap = std::max(longestGap, t - lastTick);
        lastTick = t;
    });
    stall.start(1);
    pt.Run([&] { pt.peer->StartProbes(); });
    Pause(200);

    // The quiet link first, for comparison.
    stallOn = true;
    lastTick = NowNs();
    const int64_t quietFrom = NowNs();
    Pause(1000);
    const int64_t quietTo = NowNs();
    const int64_t quietGap = longestGap;

    // Then the read-outs: back to back for 2 s (each press starts a new one as soon as the
    // window has hung up the last, so the window's thread does little else), or 30 single
    // ones 200 ms apart, where only the probes sent during a read-out count.
    longestGap = 0;
    Spans spans;
    int presses = 0;
    bool ended = true;
    int64_t readoutNs = 0, longestReadout = 0;
    const int64_t pressed = NowNs();
    while (ended && (spaced ? presses < 30 : NowNs() - pressed < 2'000'000'000LL)) {
        stallOn = true;
        lastTick = NowNs();
        const int64_t t = NowNs();
        w.form->ShowSettingsBitBtn->click();
        ++presses;
        ended = WaitFor(
            [&] {
                return pt.sh.consoleClosed.load() >= presses
                    && !w.form->TCPSetupClientSocket->Active();
            },
            60000, 1);
        const int64_t t1 = NowNs();
        readoutNs += t1 - t;
        longestReadout = std::max(longestReadout, t1 - t);
        if (spaced) {
            spans.push_back({ t, t1 });
            stallOn = false;
            Pause(200);
        }
    }
    stallOn = false;
    if (!spaced) spans.push_back({ pressed, NowNs() });
    pt.Run([&] { pt.peer->StopProbes(); });
    Pause(300); // the last probes arrive
    stall.stop();
    const double rssAfter = StatusMB("VmRSS:");

    int lostUp = 0, lostDown = 0;
    std::vector<double> up, down, quietUp, quietDown;
    {
        std::lock_guard lock(pt.sh.m);
        up = Latencies(pt.sh.upSent, pt.sh.upGot, spans, &lostUp);
        down = Latencies(pt.sh.downSent, pt.sh.downGot, spans, &lostDown);
        int none = 0;
        quietUp = Latencies(pt.sh.upSent, pt.sh.upGot, { { quietFrom, quietTo } }, &none);
        quietDown = Latencies(pt.sh.downSent, pt.sh.downGot, { { quietFrom, quietTo } }, &none);
    }
    auto key = [&](const char* k) { return (std::string(prefix) + "." + k); };
    auto fig
        = [&](const char* k, const char* label, double v) { Figure(key(k).c_str(), label, v); };
    fig("ended", "read-out ended by the window (1 yes)", ended ? 1 : 0);
    fig("presses", spaced ? "read-outs, 200 ms apart" : "read-outs in the 2 s window", presses);
    fig("dur", "read-out, press to hang-up, mean (ms)", double(readoutNs) / 1e6 / presses);
    fig("durmax", "read-out, press to hang-up, longest (ms)", double(longestReadout) / 1e6);
    fig("sent", "console bytes the kernel took per read-out (KB)",
        double(pt.sh.consoleSent.load()) / 1e3 / presses);
    fig("report", "last report's length (thousand characters)",
        double(report.SettingsRichEdit->toPlainText().size()) / 1e3);
    fig("n", "probes each way during read-outs", double(std::min(up.size(), down.size())));
    fig("lost", "probes not arrived 300 ms after the window", double(lostUp + lostDown));
    fig("up.med", "module→program latency median (ms)", Quantile(up, 0.5));
    fig("up.p99", "module→program latency p99 (ms)", Quantile(up, 0.99));
    fig("up.max", "module→program latency max (ms)", Quantile(up, 1.0));
    fig("down.med", "program→module latency median (ms)", Quantile(down, 0.5));
    fig("down.p99", "program→module latency p99 (ms)", Quantile(down, 0.99));
    fig("down.max", "program→module latency max (ms)", Quantile(down, 1.0));
    fig("stall", "longest gap between 1 ms timer runs (ms)", double(longestGap) / 1e6);
    fig("quiet.up.med", "quiet link before the read-outs: module→program median (ms)",
        Quantile(quietUp, 0.5));
    fig("quiet.down.med", "quiet link before the read-outs: program→module median (ms)",
        Quantile(quietDown, 0.5));
    fig("quiet.up.max", "quiet link before the read-outs: module→program max (ms)",
        Quantile(quietUp, 1.0));
    fig("quiet.down.max", "quiet link before the read-outs: program→module max (ms)",
        Quantile(quietDown, 1.0));
    fig("quiet.stall", "quiet link before the read-outs: longest timer gap (ms)",
        double(quietGap) / 1e6);
    fig("rss0", "VmRSS before (MB)", rssBefore);
    fig("rss1", "VmRSS after (MB)", rssAfter);
    fig("hwm", "VmHWM at the end (MB)", StatusMB("VmHWM:"));
    return ended ? 0 : 1;
}

constexpr qint64 FloodBytes = 100LL * 1024 * 1024; // 204,800 blocks of 512 bytes

int RunFlood(bool portOpen, bool logOn, const char* prefix)
{
    PeerThread pt;
    int dataPort = 0;
    pt.Run([&] {
        pt.peer->Start();
        dataPort = pt.peer->Data->serverPort();
    });
    Window w(&pt.sh);
    w.port->Sh = nullptr;
    w.port->Discard = true;
    w.Aim(dataPort);
    w.form->LogEnabledCheckBox->setChecked(logOn);
    w.form->ConnectClosedCheckBox->setChecked(!portOpen);
    w.form->CreateCOMBitBtnClick();
    if (portOpen) w.port->Open();
    if (!WaitFor(
            [&] { return w.form->Link->DataConnection() && pt.sh.dataConnected.load(); }, 10000)) {
        std::fprintf(stderr, "the data link did not come up\n");
        return 1;
    }
    Pause(300);
    const qint64 rx0 = w.form->Link->LanRxCount();
    int64_t peer0 = 0, peer1 = 0;
    const double cpu0 = ProcessCpuSeconds();
    const int64_t t0 = NowNs();
    pt.Run([&] {
        peer0 = ThreadCpuNs();
        pt.peer->StartFlood(FloodBytes);
    });
    const bool done
        = WaitFor([&] { return w.form->Link->LanRxCount() - rx0 >= FloodBytes; }, 600000, 10);
    const int64_t t1 = NowNs();
    const double cpu1 = ProcessCpuSeconds();
    pt.Run([&] { peer1 = ThreadCpuNs(); });
    const double scale
        = double(FloodBytes) / double(std::max<qint64>(1, w.form->Link->LanRxCount() - rx0));
    auto key = [&](const char* k) { return (std::string(prefix) + "." + k); };
    auto fig
        = [&](const char* k, const char* label, double v) { Figure(key(k).c_str(), label, v); };
    fig("done", "all 100 MiB taken (1 yes)", done ? 1 : 0);
    fig("cpu", "CPU per 100 MiB, whole process (s)", (cpu1 - cpu0) * scale);
    fig("cpuwin", "CPU per 100 MiB, without the module's thread (s)",
        ((cpu1 - cpu0) - double(peer1 - peer0) / 1e9) * scale);
    fig("wall", "wall time per 100 MiB (s)", double(t1 - t0) / 1e9 * scale);
    if (portOpen) fig("taken", "bytes the port took (MiB)", double(w.port->Taken) / 1048576.0);
    if (logOn) {
        const QString memo = w.form->LogMessagesMemo->toPlainText();
        fig("droplines", "drop lines in the memo (at most 30)",
            double(memo.count(QStringLiteral("data dropped out"))));
    }
    return done ? 0 : 1;
}

int RunLogRss()
{
    Shared sh;
    Window w(&sh);
    const QString message = QStringLiteral("Serial port closed, data dropped out");
    auto logLines = [&](int n) {
        for (int i = 0; i < n; ++i) {
            w.form->Log(message);
            if (i % 1000 == 999) QCoreApplication::processEvents();
        }
        Pause(vsp::TMainForm::LogWindowMs + 100);
    };
    Pause(200);
    const double rss0 = StatusMB("VmRSS:");
    logLines(1000);
    const double rss1k = StatusMB("VmRSS:");
    const double cpu0 = ProcessCpuSeconds();
    logLines(999000);
    const double cpu1 = ProcessCpuSeconds();
    const double rss1m = StatusMB("VmRSS:");
    Figure("log.rss0", "VmRSS before any line (MB)", rss0);
    Figure("log.rss1k", "VmRSS after 1,000 lines (MB)", rss1k);
    Figure("log.rss1m", "VmRSS after 1,000,000 lines (MB)", rss1m);
    Figure("log.grow", "growth from 1,000 to 1,000,000 lines (MB)", rss1m - rss1k);
    Figure("log.hwm", "VmHWM at the end (MB)", StatusMB("VmHWM:"));
    Figure("log.cpu", "CPU for the 999,000 lines (s)", cpu1 - cpu0);
    return 0;
}

int RunOne(const QString& name)
{
    if (name == QLatin1String("readout-line"))
        return RunReadout(Peer::Console::OneLongLine, false, "line");
    if (name == QLatin1String("readout-lines"))
        return RunReadout(Peer::Console::ManyLines, false, "lines");
    if (name == QLatin1String("readout-plain-once"))
        return RunReadout(Peer::Console::Plain, true, "plain1");
    if (name == QLatin1String("readout-line-once"))
        return RunReadout(Peer::Console::OneLongLine, true, "line1");
    if (name == QLatin1String("readout-lines-once"))
        return RunReadout(Peer::Console::ManyLines, true, "lines1");
    if (name == QLatin1String("drop-log-on")) return RunFlood(false, true, "dropon");
    if (name == QLatin1String("drop-log-off")) return RunFlood(false, false, "dropoff");
    if (name == QLatin1String("relay-open")) return RunFlood(true, false, "relay");
    if (name == QLatin1String("log-rss")) return RunLogRss();
    std::fprintf(stderr, "unknown case %s\n", qPrintable(name));
    return 2;
}

struct Row {
    QString label;
    std::vector<double> values;
};

int RunAll(const QStringList& cases, int rounds)
{
    QList<QString> order;
    QMap<QString, Row> rows;
    QStringList loads;
    int failures = 0;
    for (int r = 0; r < rounds; ++r) {
        loads << QString::fromLatin1(LoadAverage());
        std::printf("round %d, load average %s\n", r + 1, qPrintable(loads.last()));
        std::fflush(stdout);
        for (int i = 0; i < cases.size(); ++i) {
            // The order turns by one each round, so load elsewhere does not always fall on
            // the same case.
            const QString name = cases.at((i + r) % cases.size());
            QProcess child;
            child.setProcessChannelMode(QProcess::SeparateChannels);
            child.start(QCoreApplication::applicationFilePath(), { QStringLiteral("--one"), name });
            if (!child.waitForFinished(15 * 60 * 1000)) child.kill(), child.waitForFinished();
            const QByteArray err = child.readAllStandardError();
            if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0) {
                ++failures;
                std::printf("  %s failed (exit %d): %s\n", qPrintable(name), child.exitCode(),
                    err.constData());
            }
            for (const QByteArray& line : child.readAllStandardOutput().split('\n')) {
                if (!line.startsWith("R ")) continue;
                const QList<QByteArray> f = line.mid(2).split('|');
                if (f.size() != 3) continue;
                const QString key = QString::fromUtf8(f[0]);
                if (!rows.contains(key)) order << key;
                rows[key].label = QString::fromUtf8(f[1]);
                rows[key].values.push_back(f[2].toDouble());
            }
            std::printf("  %s done\n", qPrintable(name));
            std::fflush(stdout);
        }
    }
    std::printf("\nload average at the rounds' starts: %s\n\n",
        qPrintable(loads.join(QStringLiteral("; "))));
    std::printf("| case | figure | median [min–max] | rounds |\n|---|---|---|---|\n");
    for (const QString& key : order) {
        const Row& row = rows[key];
        std::vector<double> v = row.values;
        std::sort(v.begin(), v.end());
        std::printf("| %s | %s | %.3g [%.3g–%.3g] | %s |\n",
            qPrintable(key.section(QLatin1Char('.'), 0, 0)), qPrintable(row.label),
            Quantile(v, 0.5), v.front(), v.back(), qPrintable([&] {
                QStringList s;
                for (double x : row.values)
                    s << QString::number(x, 'g', 4);
                return s.join(QStringLiteral(", "));
            }()));
    }
    return failures ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qunsetenv("VSP_LOG_STDERR");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int one = int(args.indexOf(QStringLiteral("--one")));
    if (one > 0 && one + 1 < args.size()) return RunOne(args.at(one + 1));
    int rounds = 3;
    const int r = int(args.indexOf(QStringLiteral("--rounds")));
    if (r > 0 && r + 1 < args.size()) rounds = std::max(1, args.at(r + 1).toInt());
    return RunAll({ QStringLiteral("readout-line"), QStringLiteral("readout-lines"),
                      QStringLiteral("readout-line-once"), QStringLiteral("readout-lines-once"),
                      QStringLiteral("readout-plain-once"), QStringLiteral("drop-log-on"),
                      QStringLiteral("drop-log-off"), QStringLiteral("relay-open"),
                      QStringLiteral("log-rss") },
        rounds);
}
