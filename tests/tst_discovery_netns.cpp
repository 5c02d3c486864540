// Discovery across a real broadcast. Two network namespaces joined by a veth pair stand
// for a network segment: the simulated modules listen on 0.0.0.0:9999 in one, and the
// window runs in the other, where its search goes to 255.255.255.255 as it does for users
// (the address set to it explicitly). The broadcast cannot leave the pair.
//
// The window side is this same program started again inside its namespace with
// --discovery-window; it drives the "UDP Setup" page and prints what the page shows as
// lines "RESULT {json}" for the test to check.

#include "app/Controls.h"
#include "setup/Udpthread.h"
#include "tests/support/FormHarness.h"
#include "tests/support/PrivateNet.h"
#include "tests/support/SimModule.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace vsp;
using vsptest::SimModule;

namespace {

constexpr char WindowFlag[] = "--discovery-window";
constexpr char HoldFlag[] = "--hold-discovery-port";

QByteArray NetNamespaceOf(const char* pid)
{
    char target[128] = {};
    const ssize_t n = ::readlink(
        QByteArray("/proc/").append(pid).append("/ns/net").constData(), target, sizeof target - 1);
    return n > 0 ? QByteArray(target, int(n)) : QByteArray();
}

// ---- The window side -------------------------------------------------------------------

void Print(const QJsonObject& o)
{
    std::printf("RESULT %s\n", QJsonDocument(o).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
}

QJsonObject PageState(TMainForm* f)
{
    QJsonArray lines, dropDown, params;
    for (int i = 0; i < f->UDPMACListBox->count(); ++i) {
        lines << f->UDPMACListBox->item(i)->text();
        f->UDPMACListBox->setCurrentRow(i);
        f->UDPMACListBoxClick();
        params << QJsonArray { f->UDPIPAddressEdit->text(), f->UDPMaskEdit->text(),
            f->UDPGatewayEdit->text(), f->UDPPortEdit->text(), f->TEALabel->text(),
            f->NVTLabel->text() };
    }
    for (int i = 0; i < f->IPAddressComboBox->count(); ++i)
        dropDown << f->IPAddressComboBox->itemText(i);
    return { { QStringLiteral("bound"), f->UDPThread->BoundPort() },
        { QStringLiteral("lines"), lines }, { QStringLiteral("dropDown"), dropDown },
        { QStringLiteral("ipText"), f->IPAddressComboBox->currentText() },
        { QStringLiteral("params"), params } };
}

// Lets the page take what arrives until `expect` lines are listed, then a little longer
// for anything that should not be there.
void Collect(TMainForm* f, int expect)
{
    QElapsedTimer timer;
    timer.start();
    while (f->UDPMACListBox->count() < expect && timer.elapsed() < 5000)
        QTest::qWait(10);
    QTest::qWait(500);
}

int RunWindow(const QStringList& args)
{
    // Only inside the namespace the test built: never broadcast on the real network.
    if (NetNamespaceOf("self") == NetNamespaceOf("1") || NetNamespaceOf("self").isEmpty()) {
        std::fprintf(stderr, "%s: not inside a private network namespace; refusing\n", WindowFlag);
        return 3;
    }
    int held = -1;
    if (args.contains(QLatin1String(HoldFlag))) {
        // Another program's socket on the discovery port.
        held = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(DiscoveryPort);
        if (::bind(held, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            std::perror("bind 9999");
            return 3;
        }
    }
    const int expect = args.value(args.indexOf(QStringLiteral("--expect")) + 1).toInt();

    // The search as a user's machine sends it, to the limited broadcast.
    vsp::TPlatform broadcast;
    broadcast.DiscoveryAddress = QByteArray("255.255.255.255");
    vsptest::FormHarness h({}, broadcast);
    h->IPAddressComboBox->setEditText(QStringLiteral("172.30.213.99"));
    h->show(); // every show searches
    Collect(h.form.get(), expect);
    QJsonObject first = PageState(h.form.get());
    first[QStringLiteral("round")] = 1;
    Print(first);

    h->UDPSearchBitBtn->click();
    Print({ { QStringLiteral("round"), QStringLiteral("cleared") },
        { QStringLiteral("lines"), h->UDPMACListBox->count() },
        { QStringLiteral("dropDown"), h->IPAddressComboBox->count() },
        { QStringLiteral("ipText"), h->IPAddressComboBox->currentText() } });
    Collect(h.form.get(), expect);
    QJsonObject second = PageState(h.form.get());
    second[QStringLiteral("round")] = 2;
    QJsonArray boxes;
    for (const auto& b : h.boxes)
        boxes << b.Text;
    second[QStringLiteral("boxes")] = boxes;
    Print(second);
    if (held >= 0) ::close(held);
    return 0;
}

// ---- The modules -----------------------------------------------------------------------

struct Mod {
    int Id;
    QString Kind;
    int Flags;
    int Port;
    int DelayMs;
};

// In the order they answer (the delays fix it); the bad ones interleaved.
const QList<Mod> Modules {
    { 1, "normal", 3, 4001, 0 },
    { 2, "forged", 3, 4002, 30 },
    { 3, "normal", 0, 0, 60 },
    { 4, "oversized", 3, 4004, 90 },
    { 5, "normal", 1, 65535, 120 },
    { 6, "duplicate", 2, 23, 150 }, // two valid replies, same MAC, other fields
    { 7, "short", 3, 4007, 170 },
    { 8, "normal", 2, 10001, 200 },
};

QJsonObject ModuleJson(const Mod& m)
{
    return { { QStringLiteral("mac"),
                 QStringLiteral("00:1a:2b:3c:00:%1").arg(m.Id, 2, 10, QLatin1Char('0')) },
        { QStringLiteral("ip"), QStringLiteral("172.30.213.%1").arg(10 + m.Id) },
        { QStringLiteral("mask"), QStringLiteral("255.255.255.0") },
        { QStringLiteral("gateway"), QStringLiteral("172.30.213.1") },
        { QStringLiteral("flags"), m.Flags }, { QStringLiteral("port"), m.Port },
        { QStringLiteral("kind"), m.Kind }, { QStringLiteral("delay_ms"), m.DelayMs } };
}

// What the page must show for the valid modules, in arrival order.
QJsonArray ExpectedLines()
{
    QJsonArray a;
    for (const Mod& m : Modules)
        if (m.Kind == "normal" || m.Kind == "duplicate")
            a << QStringLiteral("00 1A 2B 3C 00 %1").arg(m.Id, 2, 10, QLatin1Char('0'));
    return a;
}

QJsonArray ExpectedDropDown()
{
    QJsonArray a;
    for (const Mod& m : Modules)
        if (m.Kind == "normal" || m.Kind == "duplicate")
            a << QStringLiteral("172.30.213.%1").arg(10 + m.Id);
    return a;
}

QJsonArray ExpectedParams()
{
    QJsonArray a;
    for (const Mod& m : Modules)
        if (m.Kind == "normal" || m.Kind == "duplicate")
            a << QJsonArray { QStringLiteral("172.30.213.%1").arg(10 + m.Id),
                QStringLiteral("255.255.255.0"), QStringLiteral("172.30.213.1"),
                QString::number(m.Port),
                (m.Flags & 1) ? QStringLiteral("TEA Auth. enabled")
                              : QStringLiteral("TEA Auth. disabled"),
                (m.Flags & 2) ? QStringLiteral("NVT enabled") : QStringLiteral("NVT disabled") };
    return a;
}

} // namespace

class TstDiscoveryNetns : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void acrossBroadcast_data()
    {
        QTest::addColumn<bool>("holdPort");
        QTest::addColumn<int>("bound");
        QTest::newRow("port 9999 free") << false << 9999;
        QTest::newRow("port 9999 taken") << true << 9998;
    }
    void acrossBroadcast()
    {
        QFETCH(bool, holdPort);
        QFETCH(int, bound);
        if (!vsptest::IsRoot())
            QSKIP("needs root: builds two network namespaces joined by a veth pair");
        vsptest::NamespacePair net;
        QVERIFY2(net.Build(), qPrintable(net.Error()));

        SimModule sim;
        sim.SetPrefix(net.ExecA());
        QVERIFY2(sim.Start({ QStringLiteral("--udp-bind"), QStringLiteral("0.0.0.0"),
                     QStringLiteral("--udp-port"), QString::number(DiscoveryPort) }),
            qPrintable(sim.ErrorString()));
        QVERIFY(sim.ReadyEvent().value(QStringLiteral("private_netns")).toBool());
        QJsonArray modules;
        for (const Mod& m : Modules)
            modules << ModuleJson(m);
        QVERIFY2(sim.Ok({ { QStringLiteral("cmd"), QStringLiteral("modules") },
                     { QStringLiteral("modules"), modules } }),
            qPrintable(sim.Describe()));

        QProcess window;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        window.setProcessEnvironment(env);
        QStringList command = net.ExecB();
        command << QCoreApplication::applicationFilePath() << QLatin1String(WindowFlag)
                << QStringLiteral("--expect") << QString::number(ExpectedLines().size());
        if (holdPort) command << QLatin1String(HoldFlag);
        window.start(command.first(), command.mid(1));
        QVERIFY(window.waitForStarted(5000));
        // The sim's events are read while the window side runs.
        QElapsedTimer timer;
        timer.start();
        while (window.state() != QProcess::NotRunning && timer.elapsed() < 30000) {
            window.waitForFinished(20);
            QCoreApplication::processEvents();
        }
        if (window.state() != QProcess::NotRunning) {
            window.kill();
            window.waitForFinished(2000);
        }
        const QByteArray out = window.readAllStandardOutput();
        const QByteArray err = window.readAllStandardError();
        QVERIFY2(window.exitStatus() == QProcess::NormalExit && window.exitCode() == 0,
            (out + err).constData());

        QList<QJsonObject> results;
        for (const QByteArray& line : out.split('\n'))
            if (line.startsWith("RESULT "))
                results << QJsonDocument::fromJson(line.mid(7)).object();
        QCOMPARE(results.size(), 3);
        const QJsonObject& first = results[0];
        const QJsonObject& cleared = results[1];
        const QJsonObject& second = results[2];

        QCOMPARE(first.value(QStringLiteral("bound")).toInt(), bound);
        for (const QJsonObject& r : { first, second }) {
            QCOMPARE(r.value(QStringLiteral("lines")).toArray(), ExpectedLines());
            QCOMPARE(r.value(QStringLiteral("dropDown")).toArray(), ExpectedDropDown());
            QCOMPARE(r.value(QStringLiteral("params")).toArray(), ExpectedParams());
            QCOMPARE(r.value(QStringLiteral("ipText")).toString(), QStringLiteral("172.30.213.99"));
        }
        QCOMPARE(cleared.value(QStringLiteral("lines")).toInt(), 0);
        QCOMPARE(cleared.value(QStringLiteral("dropDown")).toInt(), 0);
        QCOMPARE(
            cleared.value(QStringLiteral("ipText")).toString(), QStringLiteral("172.30.213.99"));
        QCOMPARE(second.value(QStringLiteral("boxes")).toArray(), QJsonArray());

        // Both searches crossed the veth from the window's namespace, from the port the
        // worker bound, to the modules' port; every module answered both.
        const QList<QJsonObject> searches = sim.EventsNamed(QStringLiteral("search"));
        QCOMPARE(searches.size(), 2);
        for (const QJsonObject& s : searches) {
            QCOMPARE(s.value(QStringLiteral("from")).toString(),
                QStringLiteral("%1:%2").arg(net.AddressB()).arg(bound));
            QVERIFY(s.value(QStringLiteral("tag_ok")).toBool());
        }
        QCOMPARE(sim.EventsNamed(QStringLiteral("replied")).size(), 2 * (Modules.size() + 1));
    }
};

int main(int argc, char** argv)
{
    if (argc > 1 && qstrcmp(argv[1], WindowFlag) == 0) {
        QApplication app(argc, argv);
        return RunWindow(QCoreApplication::arguments().mid(2));
    }
    QApplication app(argc, argv);
    TstDiscoveryNetns test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_discovery_netns.moc"
