// The real program as users and scripts start it: exit codes, the start-up refusals, and
// a clean end on SIGTERM. It runs headless (offscreen), where message boxes go to stderr.

#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

namespace {

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
    void Start(const QStringList& args) { process.start(vsptest::BinaryPath(QStringLiteral("vsp")), args); }
    QString Err() { return QString::fromLocal8Bit(process.readAllStandardError()); }
    QString Link(const QString& name) const { return dir.filePath(QStringLiteral("ports/") + name); }
};

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
        QTest::newRow("help") << "--help" << "Usage: vsp [-R] [-F0|-F1]";
        QTest::newRow("version") << "--version" << "vsp 2.1.8\n";
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
        QVERIFY2(out.endsWith(QLatin1Char('\n')) ? text == out : text.startsWith(out), qPrintable(text));
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
        QVERIFY2(err.contains(QStringLiteral("Orvane Virtual Com: Error in command line parameter (%1)").arg(position)),
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
        QVERIFY2(err.contains(QStringLiteral("Kelmar VSP: VSP driver not installed. Run VSP Driver Install")), qPrintable(err));
        QVERIFY(p.process.exitCode() != 0);
    }

    void portRefusedOverAForeignFileSaysWhy()
    {
        Program p;
        QVERIFY(QDir().mkpath(p.dir.filePath(QStringLiteral("ports"))));
        QFile foreign(p.Link(QStringLiteral("COM4")));
        QVERIFY(foreign.open(QIODevice::WriteOnly));
        foreign.write("not a port");
        foreign.close();
        p.Start({ "-P1", "-H1", "-i127.0.0.1:1", "-s0", "-c4" });
        // Without a display, a port that cannot be made at start ends the program, so a
        // service manager sees it fail instead of a program that runs on without its port.
        QVERIFY(p.process.waitForFinished(15000));
        QCOMPARE(p.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.process.exitCode(), 1);
        const QString err = p.Err();
        // The refusal is followed by a line that gives its reason.
        const QStringList lines = err.split(QLatin1Char('\n'));
        int at = -1;
        for (int i = 0; i < lines.size(); ++i)
            if (lines.at(i).endsWith(QStringLiteral("Can't create serial portCOM4")))
                at = i;
        QVERIFY2(at >= 0 && at + 1 < lines.size() && !lines.at(at + 1).trimmed().isEmpty(), qPrintable(err));
        QFile check(p.Link(QStringLiteral("COM4")));
        QVERIFY(check.open(QIODevice::ReadOnly));
        QCOMPARE(check.readAll(), QByteArray("not a port")); // never replaced
    }

    void endsCleanlyOnSigterm()
    {
        Program p;
        // The port is created at start even though the module does not answer (no -F1).
        p.Start({ "-P1", "-H1", "-i127.0.0.1:1", "-s0", "-c9" });
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(p.Link(QStringLiteral("COM9"))).isSymLink(), 15000);
        QVERIFY(QFileInfo(QFileInfo(p.Link(QStringLiteral("COM9"))).symLinkTarget()).fileName().toInt() >= 0);
        // The log says where programs open it, right after the creation line.
        QString err;
        QTRY_VERIFY_WITH_TIMEOUT((err += p.Err()).contains(QStringLiteral("Port link ")), 10000);
        const QString created = QStringLiteral("Serial port COM9 created\n");
        const qsizetype at = err.indexOf(created);
        QVERIFY2(at >= 0, qPrintable(err));
        const QString next = err.mid(at + created.size()).section(QLatin1Char('\n'), 0, 0);
        QVERIFY2(next.endsWith(QStringLiteral(" Port link ") + p.Link(QStringLiteral("COM9"))), qPrintable(err));
        ::kill(pid_t(p.process.processId()), SIGTERM);
        QVERIFY(p.process.waitForFinished(10000));
        QCOMPARE(p.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.process.exitCode(), 0);
        QVERIFY(!QFileInfo::exists(p.Link(QStringLiteral("COM9"))));
        QVERIFY(!QFileInfo(p.Link(QStringLiteral("COM9"))).isSymLink());
        QVERIFY(QDir(p.dir.filePath(QStringLiteral("ports"))).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).isEmpty());
        // Started with parameters: nothing written to the store.
        QVERIFY(!QFileInfo::exists(p.dir.filePath(QStringLiteral("settings.reg"))));
    }
};

QTEST_MAIN(TstProgram)
#include "tst_program.moc"
