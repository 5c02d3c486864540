// The real program as users and scripts start it: exit codes, the start-up refusals, and
// a clean end on SIGTERM. It runs headless (offscreen), where message boxes go to stderr.

#include "tests/support/FormState.h"
#include "tests/support/PtyClient.h"
#include "tests/support/TempStore.h"
#include "tests/support/TestSupport.h"
#include "tests/support/VirtualDisplay.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <csignal>

namespace {

// A sanitizer build beside the rest of the suite can take long to show its first window; a
// window that never shows fails all the same, with the program's own words.
constexpr int ShowLimitMs = 60000;

struct Program {
    QTemporaryDir dir;
    QProcess process;

    Program()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("VSP_PORT_DIR"), dir.filePath(QStringLiteral("ports")));
        env.insert(QStringLiteral("VSP_STORE"), dir.filePath(QStringLiteral("settings.reg")));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("VSP_LOG_STDERR"), QStringLiteral("1"));
        env.insert(QStringLiteral("VSP_DISCOVERY_ADDR"), QStringLiteral("127.255.255.255"));
        process.setProcessEnvironment(env);
    }
    void Start(const QStringList& args)
    {
        process.start(vsptest::BinaryPath(QStringLiteral("vsp")), args);
    }
    // Started in a network namespace of its own (needs root), after the shell commands in
    // setup have made it what the case needs.
    void StartInOwnNetwork(const QString& setup, const QStringList& args)
    {
        process.start(QStringLiteral("unshare"),
            QStringList { QStringLiteral("-n"), QStringLiteral("sh"), QStringLiteral("-c"),
                QStringLiteral("ip link set lo up && %1 && exec \"$0\" \"$@\"").arg(setup),
                vsptest::BinaryPath(QStringLiteral("vsp")) }
                + args);
    }
    QString Err() { return QString::fromLocal8Bit(process.readAllStandardError()); }
    QString Link(const QString& name) const
    {
        return dir.filePath(QStringLiteral("ports/") + name);
    }
    QString Store() const { return dir.filePath(QStringLiteral("settings.reg")); }
    // On a display of its own, as on a desktop: real message boxes, real window closes.
    void OnDisplay(const vsptest::VirtualDisplay& display)
    {
        QProcessEnvironment env = process.processEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("DISPLAY"), display.Name());
        process.setProcessEnvironment(env);
    }
    void WriteStore(const QByteArray& text) const
    {
        QFile f(Store());
        if (f.open(QIODevice::WriteOnly)) f.write(text);
    }
    QByteArray ReadStore() const
    {
        QFile f(Store());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QStringList PortFiles() const
    {
        return QDir(dir.filePath(QStringLiteral("ports")))
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }
};

const QString MainTitle = QStringLiteral("Kelmar Virtual port manager");

// A complete store (nothing in it fails to load) that creates COM9 at start, aimed at a
// module on loopback that does not answer.
QByteArray CreatingStore(bool hide)
{
    using vsp::TRegValue;
    vsptest::SettingsList values = vsptest::FullSettings(false);
    for (auto& [name, value] : values) {
        if (name == "IP") value = TRegValue::String("127.0.0.1");
        if (name == "Port") value = TRegValue::String("1");
        if (name == "ServerPort") value = TRegValue::String("0");
        if (name == "COM name") value = TRegValue::String("COM9");
        if (name == "Startup create") value = TRegValue::Integer(1);
        if (name == "Startup hide") value = TRegValue::Integer(hide ? 1 : 0);
    }
    // A comment is not kept: a save, were there one, would show in the file.
    return vsptest::SettingsText(values) + "; edited by hand\n";
}

} // namespace

class TstProgram : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void commandLineErrorEndsWithoutPort_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("position");
        QTest::newRow("unknown letter") << QStringList { "-x" } << 1;
        QTest::newRow("third bad") << QStringList { "-P1", "-c3", "-F2" } << 3;
        QTest::newRow("lone dash") << QStringList { "-S1", "-" } << 2;
        // Only as the sole parameter are they answered; anywhere else they are wrong.
        QTest::newRow("help after another") << QStringList { "-S1", "--help" } << 2;
        QTest::newRow("version before another") << QStringList { "--version", "-S1" } << 1;
    }

    void helpAndVersionAnswerOnStdout_data()
    {
        QTest::addColumn<QString>("param");
        QTest::addColumn<QString>("out");
        QTest::newRow("help") << "--help"
                              << "Usage: vsp [-R] [-F0|-F1]";
        QTest::newRow("version") << "--version"
                                 << "vsp 2.1.8\n";
    }
    void helpAndVersionAnswerOnStdout()
    {
        QFETCH(QString, param);
        QFETCH(QString, out);
        Program p;
        // No display at all: they are answered before the window system is needed.
        QProcessEnvironment env = p.process.processEnvironment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        p.process.setProcessEnvironment(env);
        p.Start({ param });
        QVERIFY(p.process.waitForFinished(15000));
        QCOMPARE(p.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.process.exitCode(), 0);
        const QString text = QString::fromLocal8Bit(p.process.readAllStandardOutput());
        QVERIFY2(
            out.endsWith(QLatin1Char('\n')) ? text == out : text.startsWith(out), qPrintable(text));
        QCOMPARE(p.Err(), QString());
        QVERIFY(!QFileInfo::exists(p.dir.filePath(QStringLiteral("settings.reg"))));
    }
    void commandLineErrorEndsWithoutPort()
    {
        QFETCH(QStringList, args);
        QFETCH(int, position);
        Program p;
        p.Start(args);
        QVERIFY(p.process.waitForFinished(15000));
        const QString err = p.Err();
        QVERIFY2(
            err.contains(QStringLiteral("Orvane Virtual Com: Error in command line parameter (%1)")
                             .arg(position)),
            qPrintable(err));
        // How the parameters are written follows, for whoever typed them.
        QVERIFY2(err.contains(QStringLiteral("Usage: vsp [-R]")), qPrintable(err));
        QVERIFY(p.process.readAllStandardOutput().isEmpty());
        QCOMPARE(p.process.exitCode(), 2); // scripts can tell it failed
        QVERIFY(!QFileInfo::exists(p.Link(QStringLiteral("COM3"))));
        QVERIFY(!QFileInfo::exists(p.dir.filePath(QStringLiteral("settings.reg"))));
        QVERIFY(!err.contains(QStringLiteral("created")));
    }

    void refusesToStartWithoutDriver()
    {
        Program p;
        p.Start({});
        QVERIFY(p.process.waitForFinished(15000));
        const QString err = p.Err();
        QVERIFY2(err.contains(QStringLiteral(
                     "Kelmar VSP: VSP driver not installed. Run VSP Driver Install")),
            qPrintable(err));
        QVERIFY(p.process.exitCode() != 0);
    }

    // Without a display, a port that cannot be made at start ends the program with 1, so a
    // service manager sees it fail instead of a program that runs on without its port; the
    // last thing it said tells why.
    void startPortRefusedEndsWithOne_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("said"); // a line of standard error
        QTest::addColumn<bool>("foreign"); // a file not ours where the link goes
        QTest::newRow("a foreign file in the way")
            << QStringList { "-P1", "-H1", "-i127.0.0.1:1", "-s0", "-c4" }
            << "Can't create serial portCOM4" << true;
        const QString port = "vsp: '%1' is out of range for \"Port\": a TCP port is 1 to 65535";
        for (const char* number : { "99999", "70020", "0" })
            QTest::addRow("client port %s", number)
                << QStringList { "-P1", QStringLiteral("-i127.0.0.1:") + number, "-s0", "-c4" }
                << port.arg(number) << false;
        QTest::newRow("server port 70000")
            << QStringList { "-P1", "-S1", "-i127.0.0.1:1", "-s70000", "-c4" }
            << "vsp: '70000' is out of range for \"Server port\": a TCP port is 1 to 65535"
            << false;
    }
    void startPortRefusedEndsWithOne()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, said);
        QFETCH(bool, foreign);
        Program p;
        if (foreign) {
            QVERIFY(QDir().mkpath(p.dir.filePath(QStringLiteral("ports"))));
            QFile file(p.Link(QStringLiteral("COM4")));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("not a port");
        }
        p.Start(args);
        QVERIFY(p.process.waitForFinished(15000));
        QCOMPARE(p.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.process.exitCode(), 1);
        const QString err = p.Err();
        const QStringList lines = err.split(QLatin1Char('\n'));
        int at = -1;
        for (int i = 0; i < lines.size(); ++i)
            if (lines.at(i).endsWith(said)) at = i;
        QVERIFY2(at >= 0, qPrintable(err));
        if (!foreign) {
            // Refused before anything is tried: no echo check, no port.
            QVERIFY2(!err.contains(QStringLiteral("ping")), qPrintable(err));
            QVERIFY(p.PortFiles().isEmpty());
            return;
        }
        // The refusal is followed by a line that gives its reason.
        QVERIFY2(at + 1 < lines.size() && !lines.at(at + 1).trimmed().isEmpty(), qPrintable(err));
        QFile check(p.Link(QStringLiteral("COM4")));
        QVERIFY(check.open(QIODevice::ReadOnly));
        QCOMPARE(check.readAll(), QByteArray("not a port")); // never replaced
    }

    // A signal ends the program whatever is shown or open: no close question, no save, the
    // port link and its lock gone, exit code 0. Also while a message box is up on a desktop,
    // at start-up (before the window is shown) or at the close.
    void endsCleanlyOnSignals_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("fromStore"); // else started with parameters
        QTest::addColumn<bool>("hidden");
        QTest::addColumn<bool>("portHeld");
        QTest::addColumn<QString>("box"); // on a display: the box up when the signal comes
        // What the link is doing when the signal comes; a state that would take seconds to
        // end by itself must not delay the end.
        QTest::addColumn<QString>("busy");
        QTest::newRow("SIGTERM, hidden, parameters")
            << int(SIGTERM) << false << true << false << QString() << QString();
        // Shown, a close would ask about the held port and, headless, be answered No.
        QTest::newRow("SIGTERM, shown, port held")
            << int(SIGTERM) << true << false << true << QString() << QString();
        QTest::newRow("SIGINT, shown, port held")
            << int(SIGINT) << true << false << true << QString() << QString();
        QTest::newRow("SIGHUP, shown, port held")
            << int(SIGHUP) << true << false << true << QString() << QString();
        QTest::newRow("SIGHUP, hidden, port held")
            << int(SIGHUP) << true << true << true << QString() << QString();
        // Without the question, a close would save: a valid store is not rewritten either.
        QTest::newRow("SIGTERM, shown, nothing open")
            << int(SIGTERM) << true << false << false << QString() << QString();
        QTest::newRow("SIGTERM, port field box at the first show")
            << int(SIGTERM) << false << false << false << "port field" << QString();
        QTest::newRow("SIGTERM, command-line box")
            << int(SIGTERM) << false << false << false << "command line" << QString();
        QTest::newRow("SIGTERM, driver box")
            << int(SIGTERM) << true << false << false << "driver" << QString();
        QTest::newRow("SIGINT, unreadable value box")
            << int(SIGINT) << true << false << false << "unreadable value" << QString();
        QTest::newRow("SIGTERM, close question")
            << int(SIGTERM) << true << false << true << "close question" << QString();
        QTest::newRow("SIGTERM, an echo check without answer in flight")
            << int(SIGTERM) << false << true << true << QString() << "echo check";
        QTest::newRow("SIGTERM, a connect without answer in flight")
            << int(SIGTERM) << false << true << true << QString() << "connect";
        QTest::newRow("SIGTERM, the store full, the module refusing")
            << int(SIGTERM) << false << true << true << QString() << "full store";
    }
    void endsCleanlyOnSignals()
    {
        QFETCH(int, signal);
        QFETCH(bool, fromStore);
        QFETCH(bool, hidden);
        QFETCH(bool, portHeld);
        QFETCH(QString, box);
        QFETCH(QString, busy);
        Program p;
        vsptest::VirtualDisplay display;
        if (!box.isEmpty()) {
            QString why;
            QVERIFY2(display.Start(&why), qPrintable(why));
            p.OnDisplay(display);
        }
        qint64 storedAt = 0;
        QByteArray stored;
        // The echo check gets no answer in its network, and 10.9.9.2 takes nothing at all.
        const QString silentNetwork = QStringLiteral(
            "echo 1 > /proc/sys/net/ipv4/icmp_echo_ignore_all && ip route add 10.9.9.0/24 dev lo");
        if (!busy.isEmpty()) {
            if (!vsptest::IsRoot()) QSKIP("needs root: runs the program in a network of its own");
            const QString module = busy == "connect" ? QStringLiteral("-i10.9.9.2:4000")
                                                     : QStringLiteral("-i127.0.0.1:1");
            p.StartInOwnNetwork(busy == "full store" ? QStringLiteral("true") : silentNetwork,
                { "-P1", "-H1", module, "-s0", "-c9", "-F0" });
        } else if (fromStore) {
            QByteArray text = CreatingStore(hidden);
            if (box == "driver") text.replace("\"DriverInstalled\"=dword:00000001", "");
            if (box == "unreadable value")
                text.replace("\"Port\"=\"1\"", "\"Port\"=dword:00000001");
            p.WriteStore(text);
            storedAt = vsptest::Backdate(p.Store());
            stored = p.ReadStore();
            p.Start({});
        } else if (box == "port field") {
            // No port after the address: the port text stays empty, which Create COM refuses.
            p.Start({ "-P1", "-i127.0.0.1", "-s0", "-c9" });
        } else if (box == "command line") {
            p.Start({ "-P1", "-c9", "-x" });
        } else {
            // The port is created at start even though the module does not answer (no -F1).
            p.Start({ "-P1", hidden ? "-H1" : "-H0", "-i127.0.0.1:1", "-s0", "-c9" });
        }
        const QString link = p.Link(QStringLiteral("COM9"));
        QString err;
        const bool portMade = box.isEmpty() || box == "close question";
        if (portMade) {
            QTRY_VERIFY2_WITH_TIMEOUT(
                QFileInfo(link).isSymLink(), qPrintable(err += p.Err()), 15000);
            QVERIFY(QFileInfo(QFileInfo(link).symLinkTarget()).fileName().toInt() >= 0);
        }
        vsptest::PtyClient client;
        if (portHeld) {
            QVERIFY2(client.Ok("open " + QFile::encodeName(link)), qPrintable(client.Error()));
            QTRY_VERIFY_WITH_TIMEOUT(
                (err += p.Err()).contains(QStringLiteral("Port COM9 opened")), 10000);
        }
        if (!box.isEmpty()) {
            if (box == "close question") {
                QVERIFY2(display.WaitShown(MainTitle, p.process, ShowLimitMs),
                    qPrintable(err += p.Err()));
                QCOMPARE(display.CloseWindow(MainTitle), 1);
            }
            const QString caption = box == "command line" ? QStringLiteral("Orvane Virtual Com")
                : box == "driver"                         ? QStringLiteral("Kelmar VSP")
                : box == "unreadable value"               ? QStringLiteral("Error")
                                                          : QStringLiteral("vsp");
            QVERIFY2(
                display.WaitShown(caption, p.process, ShowLimitMs), qPrintable(err += p.Err()));
        }
        if (!busy.isEmpty()) {
            // The state is reached when the log says so (a write stored while the link is down
            // says "Buffer overrun" instead when the store comes close to its bound).
            const QStringList signs = busy == "echo check"
                ? QStringList { QStringLiteral("TCP error 10061") } // its check follows it
                : busy == "connect"
                ? QStringList { QStringLiteral("Port COM9 opened") }
                : QStringList { QStringLiteral("TCP not connected, data stored in buffer"),
                      QStringLiteral("Buffer overrun") };
            if (busy == "full store") client.Send("writepat 200000 1"); // more than all buffers
            QTRY_VERIFY2_WITH_TIMEOUT(
                [&] {
                    err += p.Err();
                    return std::any_of(signs.begin(), signs.end(),
                        [&](const QString& sign) { return err.contains(sign); });
                }(),
                qPrintable(err), 15000);
            // The program writes at once what the store and the port take; two attempts
            // later they are full.
            const auto refusals = [&] { return (err += p.Err()).count(QStringLiteral("10061")); };
            if (busy == "full store") {
                const qsizetype before = refusals();
                QTRY_VERIFY_WITH_TIMEOUT(refusals() >= before + 2, 15000);
            }
        }
        QElapsedTimer ending;
        ending.start();
        ::kill(pid_t(p.process.processId()), signal);
        QVERIFY2(p.process.waitForFinished(10000), "the program did not end on the signal");
        if (!busy.isEmpty()) {
            // The check and the connect would take seconds more by their own limits.
            qInfo("ended %lld ms after the signal", ending.elapsed());
            QVERIFY2(ending.elapsed() < 2000, qPrintable(QString::number(ending.elapsed())));
        }
        err += p.Err();
        QCOMPARE(p.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.process.exitCode(), 0);
        QVERIFY2(!err.contains(QStringLiteral("Port is opend")), qPrintable(err));
        QVERIFY(!QFileInfo::exists(link));
        QVERIFY(!QFileInfo(link).isSymLink());
        QVERIFY2(p.PortFiles().isEmpty(), qPrintable(p.PortFiles().join(u' ')));
        if (fromStore) {
            QCOMPARE(p.ReadStore(), stored);
            QCOMPARE(vsptest::ModifiedAt(p.Store()), storedAt);
        } else {
            // Started with parameters: nothing written to the store.
            QVERIFY(!QFileInfo::exists(p.Store()));
        }
    }

    // A close of the window on a desktop saves the store, also one with a value that could
    // not be read at start (named then, in one box): the file is whole again afterwards.
    void closeMendsAStoreThatFailedToLoad_data()
    {
        QTest::addColumn<bool>("loadFails");
        QTest::newRow("a number where the port text belongs") << true;
        QTest::newRow("complete store") << false;
    }
    void closeMendsAStoreThatFailedToLoad()
    {
        QFETCH(bool, loadFails);
        vsptest::VirtualDisplay display;
        QString why;
        QVERIFY2(display.Start(&why), qPrintable(why));
        Program p;
        p.OnDisplay(display);
        // Every other value as the window's design state has it.
        vsptest::SettingsList values = vsptest::FullSettings(false);
        for (auto& [name, value] : values) {
            if (name == "Port")
                value = loadFails ? vsp::TRegValue::Integer(1) : vsp::TRegValue::String("4001");
            if (name == "COM name") value = vsp::TRegValue::String("COM5");
        }
        // A comment is not kept, so the save shows in the file.
        p.WriteStore(vsptest::SettingsText(values) + "; edited by hand\n");
        const qint64 storedAt = vsptest::Backdate(p.Store());
        p.Start({});
        const QString error = QStringLiteral("Error");
        if (loadFails) {
            // The start-up box that names the value, then the window.
            QVERIFY2(display.WaitShown(error, p.process, ShowLimitMs), qPrintable(p.Err()));
            QCOMPARE(display.CloseWindow(error), 1);
        }
        QVERIFY2(display.WaitShown(MainTitle, p.process, ShowLimitMs), qPrintable(p.Err()));
        QCOMPARE(display.CloseWindow(MainTitle), 1);
        QVERIFY2(p.process.waitForFinished(15000), qPrintable(p.Err()));
        QCOMPARE(p.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.process.exitCode(), 0);
        QVERIFY(vsptest::ModifiedAt(p.Store()) != storedAt);
        const QByteArray saved = p.ReadStore();
        QVERIFY(!saved.contains("edited by hand"));
        QVERIFY2(saved.contains("\"COM name\"=\"COM5\""), saved.constData());
        // The unreadable value is now the text its box held: the design's empty port.
        QVERIFY2(
            saved.contains(loadFails ? "\"Port\"=\"\"" : "\"Port\"=\"4001\""), saved.constData());
    }

    // On a desktop without a notification area, "Hide on startup" minimises the window
    // rather than withdraw it with no icon to bring it back; the log says why once.
    void hideWithoutATrayKeepsTheWindowReachable()
    {
        vsptest::VirtualDisplay display;
        QString why;
        QVERIFY2(display.Start(&why), qPrintable(why));
        Program p;
        p.OnDisplay(display);
        p.Start({ "-H1", "-S0" });
        QString err;
        const QString reason = QStringLiteral("No notification area to hide the window in");
        QTRY_VERIFY2_WITH_TIMEOUT((err += p.Err()).contains(reason), qPrintable(err), 15000);
        QTest::qWait(200);
        QCOMPARE(display.WindowState(MainTitle), QStringLiteral("viewable"));
        QCOMPARE(display.CloseWindow(MainTitle), 1);
        QVERIFY2(p.process.waitForFinished(15000), qPrintable(err));
        err += p.Err();
        QCOMPARE(err.count(reason), 1);
        QCOMPARE(p.process.exitCode(), 0);
    }
};

QTEST_MAIN(TstProgram)
#include "tst_program.moc"
