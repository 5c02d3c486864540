// The read-out of a module's set-up console at the end of the settings report, against the
// simulated module's console on loopback: what is answered, what is copied, when the
// connection ends, and what a second press does. One case runs against the console's own
// port 99, in a network namespace the test makes for itself.

#include "link/Sockets.h"
#include "setup/ConsoleReadout.h"
#include "setup/Udpthread.h"
#include "setup/Umodulesetupf.h"
#include "tests/support/FormHarness.h"
#include "tests/support/SetupConsole.h"
#include "tests/support/TestSupport.h"
#include "vport/Usettingsf.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QPushButton>
#include <QTextEdit>
#include <QtTest>
#include <memory>
#include <unistd.h>
#include <vector>

using namespace vsp;
using vsptest::FormHarness;
using vsptest::SimModule;

namespace {

constexpr char CHILD_FLAG[] = "--in-own-netns";
constexpr char PARENT_NS_VAR[] = "VSP_READOUT_PARENT_NS";

const QString ModuleSeparator = QStringLiteral("---------- Module settings -------------");
const QString Connecting = QStringLiteral("Connecting to module, please wait");
const QString Connected = QStringLiteral("Successfully connected to TCP setup");
const QString ErrorLine = QStringLiteral("Error opening TCP setup");

QByteArray NetNamespaceId()
{
    char target[128] = {};
    const ssize_t n = ::readlink("/proc/self/ns/net", target, sizeof target - 1);
    return QByteArray(target, n > 0 ? int(n) : 0);
}

// The report is plain text; the console's CR LF shows as one line break.
QString Shown(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

QJsonArray Texts(const QStringList& texts)
{
    QJsonArray a;
    for (const QString& t : texts)
        a.append(t);
    return a;
}

// A window with its report, pointed at the console of a simulated module.
struct Readout {
    SimModule sim;
    FormHarness w;
    TSettingsForm& report;

    explicit Readout(const QStringList& simArgs = {})
        : w({}, vsptest::AtConsoleOf(sim, {}, simArgs), { .otherWindows = true })
        , report(*w.report)
    {
        w->IPAddressComboBox->setEditText(QStringLiteral("127.0.0.1"));
    }

    void Press() { w->ShowSettingsBitBtn->click(); }
    QString Text() const { return report.SettingsRichEdit->toPlainText(); }
    // What follows the "Module settings" line.
    QString Tail() const
    {
        const QString text = Text();
        const qsizetype at = text.indexOf(ModuleSeparator);
        return at < 0 ? QString() : text.mid(at + ModuleSeparator.size() + 1);
    }
};

} // namespace

class TstReadout : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Greeting and key prompts are stepped past with one CR each and never copied; the
    // print-out is copied; the piece with "Reboot" ends the read-out.
    void consoleAnsweredAndCopied_data()
    {
        QTest::addColumn<QString>("greeting");
        QTest::addColumn<QStringList>("keyPrompts");
        QTest::addColumn<QStringList>("printout");
        const QStringList printout { "\r\n*** Basic parameters\r\nIP addr 127.0.0.1, netmask "
                                     "255.0.0.0\r\n\r\nChange setting: 9 Save and Reboot\r\n" };
        QTest::newRow("greeting and one key prompt")
            << "QBX77 remote setup\r\n"
            << QStringList { "\r\nPress <Enter> to show\r\n" } << printout;
        QTest::newRow("two key prompts")
            << "QBX77 remote setup\r\n"
            << QStringList { "\r\nPress <Enter> to show\r\n", "<Enter>" } << printout;
        QTest::newRow("no key prompt") << "QBX77 remote setup\r\n" << QStringList {} << printout;
        // The greeting wins over the end marker: answered, not copied, and the connection
        // stays open for what follows.
        QTest::newRow("greeting holding Reboot")
            << "QBX77 remote setup (Reboot to leave)\r\n"
            << QStringList { "\r\nPress <Enter>\r\n" } << printout;
        // So does the key prompt.
        QTest::newRow("key prompt holding Reboot")
            << "QBX77 remote setup\r\n"
            << QStringList { "\r\n<Enter> or Reboot\r\n" } << printout;
    }

    void consoleAnsweredAndCopied()
    {
        QFETCH(QString, greeting);
        QFETCH(QStringList, keyPrompts);
        QFETCH(QStringList, printout);
        Readout r;
        QString why;
        QVERIFY2(vsptest::StartSetupConsole(r.sim,
                     { { "greeting", greeting }, { "key_prompts", Texts(keyPrompts) },
                         { "printout", Texts(printout) } },
                     &why),
            qPrintable(why));
        r.Press();
        QVERIFY2(r.sim.WaitForEvent(QStringLiteral("console_done")), qPrintable(r.sim.Describe()));
        const int conn = r.sim.LatestConn(QStringLiteral("setup"));
        QJsonObject end;
        QVERIFY2(vsptest::WaitForConsoleEnd(r.sim, conn, &end), qPrintable(r.sim.Describe()));
        // We hung up, the module did not.
        QCOMPARE(end.value(QStringLiteral("by")).toString(), QStringLiteral("peer"));

        const int answers = 1 + int(keyPrompts.size());
        QCOMPARE(vsptest::ConsoleBytes(r.sim, conn), QByteArray(answers, '\r'));
        QCOMPARE(r.Tail(), Connecting + "\n" + Connected + "\n" + Shown(printout.join(QString())));
        QVERIFY(!r.Text().contains(QStringLiteral("QBX77")));
        QVERIFY(!r.Text().contains(QStringLiteral("<Enter>")));
        QVERIFY(!r.w->TCPSetupClientSocket->Active());
    }

    // Each piece is its own line; the connection lasts until the piece with "Reboot".
    void printoutInPieces()
    {
        Readout r;
        QString why;
        const QStringList printout { "*** Channel 1\r\n", "Baudrate 9600, I/F Mode 8N1\r\n",
            "Change setting: 9 Save and Reboot\r\n" };
        QVERIFY2(vsptest::StartSetupConsole(r.sim,
                     { { "printout", Texts(printout) }, { "printout_split", "lines" },
                         { "piece_delay_ms", 150 } },
                     &why),
            qPrintable(why));
        r.Press();
        QTRY_VERIFY_WITH_TIMEOUT(r.Tail().contains(QStringLiteral("*** Channel 1")), 10000);
        // Still connected after a piece without the end marker.
        QVERIFY(r.w->TCPSetupClientSocket->Connected());
        const int conn = r.sim.LatestConn(QStringLiteral("setup"));
        QVERIFY2(vsptest::WaitForConsoleEnd(r.sim, conn), qPrintable(r.sim.Describe()));
        QStringList pieces;
        for (const QString& p : printout)
            pieces << Shown(p);
        QCOMPARE(r.Tail(), Connecting + "\n" + Connected + "\n" + pieces.join(QLatin1Char('\n')));
        QVERIFY(!r.w->TCPSetupClientSocket->Active());
    }

    void refusedConnection()
    {
        Readout r;
        QString why;
        QVERIFY2(vsptest::StartSetupConsole(r.sim, {}, &why), qPrintable(why));
        QVERIFY(r.sim.Refuse(QStringLiteral("setup")));
        r.Press();
        QTRY_VERIFY_WITH_TIMEOUT(r.Tail().contains(ErrorLine), 10000);
        QCOMPARE(r.Tail(), Connecting + "\n" + ErrorLine);
        QVERIFY(!r.w->TCPSetupClientSocket->Active());
        QVERIFY(r.w.boxes.isEmpty());
        // Nothing of it reaches the data link's log.
        QVERIFY(r.w.LogLines().isEmpty());
    }

    // Reset by the module after part of the print-out: what came stays, the error ends it.
    void brokenConnection()
    {
        Readout r;
        QString why;
        QVERIFY2(
            vsptest::StartSetupConsole(r.sim,
                { { "printout", Texts({ "*** Channel 1\r\n" }) }, { "after_printout", "reset" } },
                &why),
            qPrintable(why));
        r.Press();
        QTRY_VERIFY_WITH_TIMEOUT(r.Tail().contains(ErrorLine), 10000);
        QCOMPARE(r.Tail(), Connecting + "\n" + Connected + "\n*** Channel 1\n\n" + ErrorLine);
        QVERIFY(!r.w->TCPSetupClientSocket->Active());
        QVERIFY(r.w.boxes.isEmpty());
    }

    // A console that prints without end, or without a line break, must neither freeze the
    // window nor fill the memory: lines are cut to a few kilobytes with a visible marker,
    // and a report that holds 2,000 console lines or 256 KB ends the read-out itself.
    void hostileConsoleIsCutShort_data()
    {
        QTest::addColumn<QStringList>("printout");
        QTest::addColumn<bool>("cut"); // the read-out ends itself, with a line saying so
        QTest::newRow("one 1 MiB line, then Reboot")
            << QStringList { QString(1 << 20, u'x') + "\r\nChange setting: 9 Save and Reboot\r\n" }
            << false;
        QString lines;
        for (int i = 0; i < 3000; ++i)
            lines += QStringLiteral("Channel %1: 9600 8N1\r\n").arg(i);
        QTest::newRow("3,000 lines, no Reboot") << QStringList { lines } << true;
        QString wide;
        for (int i = 0; i < 1000; ++i)
            wide += QString(400, QLatin1Char('a' + i % 26)) + "\r\n";
        QTest::newRow("400 KB of lines, no Reboot") << QStringList { wide } << true;
    }
    void hostileConsoleIsCutShort()
    {
        QFETCH(QStringList, printout);
        QFETCH(bool, cut);
        Readout r;
        QString why;
        // Line by line, a little apart: the end marker comes in a piece of its own.
        QVERIFY2(vsptest::StartSetupConsole(r.sim,
                     { { "printout", Texts(printout) }, { "printout_split", "lines" },
                         { "piece_delay_ms", cut ? 0 : 300 } },
                     &why),
            qPrintable(why));
        r.Press();
        // Cut short, the read-out may hang up before the console has written the rest, and
        // then the console never gets to say it is done.
        if (!cut)
            QVERIFY2(r.sim.WaitForEvent(QStringLiteral("console_done"), 30000),
                qPrintable(r.sim.Describe()));
        else
            QVERIFY2(r.sim.WaitForEvent(QStringLiteral("connected"), 30000),
                qPrintable(r.sim.Describe()));
        const int conn = r.sim.LatestConn(QStringLiteral("setup"));
        QJsonObject end;
        QVERIFY2(
            vsptest::WaitForConsoleEnd(r.sim, conn, &end, 30000), qPrintable(r.sim.Describe()));
        // We hung up: on "Reboot", or because the report was full.
        QCOMPARE(end.value(QStringLiteral("by")).toString(), QStringLiteral("peer"));
        QTRY_VERIFY_WITH_TIMEOUT(!r.w->TCPSetupClientSocket->Active(), 5000);
        const QStringList tail = r.Tail().split(QLatin1Char('\n'));
        const QString cutLine = QString::fromLatin1(ReadoutCutLine);
        QCOMPARE(tail.last() == cutLine, cut);
        QCOMPARE(tail.count(cutLine), cut ? 1 : 0);
        QVERIFY2(tail.size() <= 2 + ReadoutLineLimit + 1, qPrintable(QString::number(tail.size())));
        qsizetype shown = 0;
        for (const QString& line : tail) {
            QVERIFY2(line.size() <= ConsoleLineLimit + qsizetype(sizeof ConsoleCutMarker),
                qPrintable(QString::number(line.size())));
            shown += line.size() + 1;
        }
        QVERIFY2(shown <= ReadoutByteLimit + 4096, qPrintable(QString::number(shown)));
        if (!cut) {
            QVERIFY(r.Tail().contains(QString::fromLatin1(ConsoleCutMarker)));
            QCOMPARE(tail.at(tail.size() - 2), QStringLiteral("Change setting: 9 Save and Reboot"));
        }
        // The report itself is whole before the module's part.
        QCOMPARE(r.Text().count(QStringLiteral("Parameter list:")), 1);
    }

    // A module that hangs up without "Reboot" is no error.
    void moduleClosesWithoutReboot()
    {
        Readout r;
        QString why;
        QVERIFY2(
            vsptest::StartSetupConsole(r.sim,
                { { "printout", Texts({ "*** Channel 1\r\n" }) }, { "after_printout", "close" } },
                &why),
            qPrintable(why));
        r.Press();
        QVERIFY2(r.sim.WaitForEvent(QStringLiteral("disconnected")), qPrintable(r.sim.Describe()));
        QTRY_VERIFY_WITH_TIMEOUT(!r.w->TCPSetupClientSocket->Active(), 5000);
        QCOMPARE(r.Tail(), Connecting + "\n" + Connected + "\n*** Channel 1\n");
    }

    // A second press while a read-out is connected: the first one ends before the new
    // report starts, so the report holds one read-out.
    void secondPressWhileConnected()
    {
        Readout r;
        QString why;
        // A console that never says "Reboot" and stays open.
        QVERIFY2(vsptest::StartSetupConsole(
                     r.sim, { { "printout", Texts({ "Channel 1: 8N1\r\n" }) } }, &why),
            qPrintable(why));
        r.Press();
        QTRY_VERIFY_WITH_TIMEOUT(r.Tail().contains(QStringLiteral("Channel 1")), 10000);
        const int first = r.sim.LatestConn(QStringLiteral("setup"));
        QVERIFY(r.w->TCPSetupClientSocket->Connected());

        const qsizetype mark = r.sim.Mark();
        r.Press();
        QJsonObject end;
        QVERIFY2(vsptest::WaitForConsoleEnd(r.sim, first, &end), qPrintable(r.sim.Describe()));
        QCOMPARE(end.value(QStringLiteral("by")).toString(), QStringLiteral("peer"));
        QVERIFY2(r.sim.WaitForEvent(QStringLiteral("console_done"), 10000, mark),
            qPrintable(r.sim.Describe()));
        const int second = r.sim.LatestConn(QStringLiteral("setup"));
        QVERIFY(second != first);
        QTRY_VERIFY_WITH_TIMEOUT(r.Tail().contains(QStringLiteral("Channel 1")), 10000);
        // The new read-out goes on: more text from the module still arrives.
        QVERIFY(r.sim.Ok({ { "cmd", "send" }, { "conn", second }, { "text", "Port 23\r\n" } }));
        QTRY_VERIFY_WITH_TIMEOUT(r.Tail().contains(QStringLiteral("Port 23")), 10000);
        QCOMPARE(r.Tail(), Connecting + "\n" + Connected + "\nChannel 1: 8N1\n\nPort 23\n");
        QCOMPARE(r.Text().count(QStringLiteral("Parameter list:")), 1);
    }

    // Presses against a console that greets and then says nothing more: each ends the
    // read-out before it and nothing of it stays behind, so over a hundred of them the
    // program holds as many descriptors as after the first (its read-out still connected).
    void manyPressesLeaveNoDescriptorBehind()
    {
        Readout r;
        QString why;
        QVERIFY2(vsptest::StartSetupConsole(r.sim,
                     { { "key_prompts", QJsonArray() }, { "printout", QJsonArray() } }, &why),
            qPrintable(why));
        const auto press = [&r] {
            const qsizetype mark = r.sim.Mark();
            r.Press();
            return r.sim.WaitForEvent(QStringLiteral("console_done"), 10000, mark).has_value();
        };
        QVERIFY2(press(), qPrintable(r.sim.Describe()));
        QVERIFY(r.w->TCPSetupClientSocket->Connected());
        // The discovery worker opens its socket when its thread gets to run, which on a busy
        // machine can be after the first read-out: it must be in the count from the start.
        QTRY_VERIFY2_WITH_TIMEOUT(
            r.w->UDPThread->BoundPort() != 0, "the discovery worker did not start", 10000);
        const QStringList first = vsptest::OpenDescriptors();
        for (int i = 0; i < 100; ++i)
            QVERIFY2(press(), qPrintable(r.sim.Describe()));
        QVERIFY(r.w->TCPSetupClientSocket->Connected());
        QStringList now;
        const bool flat = QTest::qWaitFor(
            [&] { return (now = vsptest::OpenDescriptors()).size() == first.size(); }, 5000);
        QVERIFY2(flat,
            qPrintable(
                QStringLiteral("after the first read-out:\n  %1\nafter 100 more:\n  %2")
                    .arg(first.join(QStringLiteral("\n  ")), now.join(QStringLiteral("\n  ")))));
        QCOMPARE(r.Tail(), Connecting + "\n" + Connected);
    }

    // VSP_SETUP_PORT only moves the console for tests; a value that is no port is said
    // and the console's own port is used.
    void setupPortVariable_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("warned");
        QTest::newRow("unset") << QByteArray() << 99 << false;
        QTest::newRow("a port") << QByteArray("4099") << 4099 << false;
        QTest::newRow("letters") << QByteArray("console") << 99 << true;
        QTest::newRow("too big") << QByteArray("65536") << 99 << true;
        QTest::newRow("zero") << QByteArray("0") << 99 << true;
        QTest::newRow("negative") << QByteArray("-5") << 99 << true;
    }

    void setupPortVariable()
    {
        QFETCH(QByteArray, value);
        QFETCH(int, port);
        QFETCH(bool, warned);
        QString problem;
        TPlatform platform;
        platform.SetupPort = ParseSetupPort(value, &problem);
        QCOMPARE(problem.isEmpty(), !warned);
        if (warned)
            QVERIFY2(problem.startsWith(QStringLiteral("VSP_SETUP_PORT=\"%1\" is not a TCP port")
                                            .arg(QString::fromLatin1(value))),
                qPrintable(problem));
        QCOMPARE(SetupConsolePortInUse(platform), port);
        // The read-out and the dialog take the same port.
        FormHarness w({}, platform, { .otherWindows = true });
        w->IPAddressComboBox->setEditText(QStringLiteral("127.0.0.1"));
        w->ShowSettingsBitBtn->click();
        QCOMPARE(w->TCPSetupClientSocket->Port, port);
        w->TCPSetupClientSocket->Close();
    }

    // The console's own port, which needs privileges: in a namespace of the test's own,
    // where it is root and port 99 is free.
    void consolePort99()
    {
        if (!vsptest::IsRoot())
            QSKIP("needs root: runs a console on port 99 inside a network namespace of its "
                  "own (unshare -n); the other cases cover the read-out on other ports");
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QLatin1String(PARENT_NS_VAR), QString::fromLatin1(NetNamespaceId()));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QStringLiteral("unshare"),
            { QStringLiteral("-n"), QStringLiteral("sh"), QStringLiteral("-c"),
                QStringLiteral("ip link set lo up && exec \"$0\" %1")
                    .arg(QLatin1String(CHILD_FLAG)),
                QCoreApplication::applicationFilePath() });
        const bool finished = child.waitForFinished(60000);
        if (!finished) child.kill();
        child.waitForFinished(5000);
        const QByteArray output = child.readAll();
        QVERIFY2(finished, "the child did not end within 60 s");
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
            output.constData());
        QVERIFY2(
            output.contains("PASS   : TstReadoutPort99::readoutOnPort99()"), output.constData());
    }
};

// Runs only inside the namespace the parent made (it checks): binds port 99 on loopback.
class TstReadoutPort99 : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        const QByteArray parent = qgetenv(PARENT_NS_VAR);
        QVERIFY2(!parent.isEmpty() && parent != NetNamespaceId(),
            "refusing to bind port 99 outside a network namespace of our own");
    }

    void readoutOnPort99()
    {
        Readout r({ QStringLiteral("--setup-port"), QStringLiteral("99") });
        QVERIFY2(r.sim.IsRunning(), qPrintable(r.sim.ErrorString()));
        QCOMPARE(int(r.sim.SetupPort()), 99);
        r.Press();
        QCOMPARE(r.w->TCPSetupClientSocket->Port, 99);
        QVERIFY2(r.sim.WaitForEvent(QStringLiteral("console_done")), qPrintable(r.sim.Describe()));
        const int conn = r.sim.LatestConn(QStringLiteral("setup"));
        QVERIFY2(vsptest::WaitForConsoleEnd(r.sim, conn), qPrintable(r.sim.Describe()));
        QCOMPARE(vsptest::ConsoleBytes(r.sim, conn), QByteArray("\r\r"));
        const QString tail = r.Tail();
        QVERIFY2(tail.startsWith(Connecting + "\n" + Connected + "\n"), qPrintable(tail));
        QVERIFY2(tail.contains(QStringLiteral("Save and Reboot")), qPrintable(tail));
        QVERIFY(!tail.contains(ErrorLine));
    }
};

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], CHILD_FLAG) == 0) {
        std::vector<char*> args { argv[0] };
        args.insert(args.end(), argv + 2, argv + argc);
        TstReadoutPort99 test;
        return QTest::qExec(&test, int(args.size()), args.data());
    }
    TstReadout test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_readout.moc"
