// The settings report, line by line, and the operating-system lines that stand in its
// "OS type" section.

#include "tests/support/ReportLines.h"
#include "vport/SettingsReport.h"

#include <QtTest>

using namespace vsp;
using namespace vsptest::report;

namespace {

SettingsSnapshot AllOn()
{
    SettingsSnapshot s;
    s.IPAddressComboBox = QStringLiteral("192.168.1.50");
    s.PortLabeledEdit = QStringLiteral("4001");
    s.ServerPortLabeledEdit = QStringLiteral("23");
    s.ComPortComboBox = QStringLiteral("COM2");
    s.PortLink = QStringLiteral("/run/user/1000/vsp/COM2");
    s.NVTEnabledCheckBox = s.NVTFilterCheckBox = s.NVTPortSetupCheckBox = s.NVTKeepCheckBox = true;
    s.TEAEnabledCheckBox = true;
    s.UKEdit1 = QStringLiteral("3A7F19C2");
    s.UKEdit2 = QStringLiteral("B04E6D15");
    s.UKEdit3 = QStringLiteral("5C92E8A1");
    s.UKEdit4 = QStringLiteral("0F63D7B4");
    s.LogEnabledCheckBox = s.TCPServerModeCheckBox = s.StartupCreateCheckBox = s.StartupHideCheckBox
        = s.PingFailCheckBox = s.ConnectClosedCheckBox = true;
    s.LogMessagesMemo = QStringList { "12:00:01: Port COM2 created", "12:00:02: TCP connected" };
    return s;
}

const QStringList OsLines { "Linux 6.1.0-18-amd64", "Debian GNU/Linux 12 (bookworm)" };

} // namespace

class TstReport : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void everySwitchOn()
    {
        const QStringList expected {
            "Parameter list:",
            "---------- Virtual SP ----------------",
            "IP          : 192.168.1.50",
            "Port        : 4001",
            "Server port : 23",
            "Serial name : COM2",
            "Port link   : /run/user/1000/vsp/COM2",
            "--------------- NVT ------------------",
            "NVT enable  : on",
            "NVT filter  : on",
            "NVT port setup : on",
            "Keep connection: on",
            "--------------- TEA ------------------",
            "Use TEA auth. : on",
            "TEA Key:3A7F19C2:B04E6D15:5C92E8A1:0F63D7B4",
            "--------------- Settings -------------",
            "Log enabled : on",
            "TCP server mode : on",
            "Create port on start VSP : on",
            "Hide on startup : on",
            "Don't create if ping fail : on",
            "Connect closed : on",
            OsSeparator,
            "Linux 6.1.0-18-amd64",
            "Debian GNU/Linux 12 (bookworm)",
            LogSeparator,
            "12:00:01: Port COM2 created",
            "12:00:02: TCP connected",
            ModuleSeparator,
        };
        const QStringList report = BuildSettingsReport(AllOn(), OsLines);
        for (qsizetype i = 0; i < qMin(report.size(), expected.size()); ++i)
            QCOMPARE(report[i], expected[i]);
        QCOMPARE(report.size(), expected.size());
    }

    void everySwitchOffAndEmptyFields()
    {
        const SettingsSnapshot empty;
        const QStringList report = BuildSettingsReport(empty, OsLines);
        // An empty log: the two separators follow each other.
        const QStringList expected = AllOffHead + QStringList { OsSeparator } + OsLines
            + QStringList { LogSeparator, ModuleSeparator };
        QCOMPARE(report, expected);
    }

    void eachSwitchIsItsOwnBox_data()
    {
        QTest::addColumn<int>("box");
        QTest::addColumn<int>("line"); // 0-based line of the report
        QTest::newRow("NVT enable") << 0 << 8;
        QTest::newRow("NVT filter") << 1 << 9;
        QTest::newRow("NVT port setup") << 2 << 10;
        QTest::newRow("Keep connection") << 3 << 11;
        QTest::newRow("Use TEA auth.") << 4 << 13;
        QTest::newRow("Log enabled") << 5 << 16;
        QTest::newRow("TCP server mode") << 6 << 17;
        QTest::newRow("Create port on start") << 7 << 18;
        QTest::newRow("Hide on startup") << 8 << 19;
        QTest::newRow("Don't create if ping fail") << 9 << 20;
        QTest::newRow("Connect closed") << 10 << 21;
    }
    void eachSwitchIsItsOwnBox()
    {
        QFETCH(int, box);
        QFETCH(int, line);
        SettingsSnapshot s;
        bool* boxes[] = { &s.NVTEnabledCheckBox, &s.NVTFilterCheckBox, &s.NVTPortSetupCheckBox,
            &s.NVTKeepCheckBox, &s.TEAEnabledCheckBox, &s.LogEnabledCheckBox,
            &s.TCPServerModeCheckBox, &s.StartupCreateCheckBox, &s.StartupHideCheckBox,
            &s.PingFailCheckBox, &s.ConnectClosedCheckBox };
        *boxes[box] = true;
        const QStringList report = BuildSettingsReport(s, {});
        for (int i = 0; i < 23; ++i) {
            QCOMPARE(report[i].endsWith(QStringLiteral(": on")), i == line);
        }
    }

    void keyLineAsTyped()
    {
        SettingsSnapshot s;
        s.UKEdit1 = QStringLiteral("3a7f19c2");
        s.UKEdit2 = QStringLiteral("1");
        s.UKEdit3 = QString();
        s.UKEdit4 = QStringLiteral("xyz");
        QCOMPARE(BuildSettingsReport(s, {})[14], QStringLiteral("TEA Key:3a7f19c2:1::xyz"));
    }

    void logCopiedAsItIs()
    {
        SettingsSnapshot s;
        s.LogEnabledCheckBox = false; // the memo is copied whatever the option says
        s.LogMessagesMemo = QStringList { "", "  indented", "last" };
        const QStringList report = BuildSettingsReport(s, {});
        const qsizetype log = report.indexOf(LogSeparator);
        QCOMPARE(report.mid(log + 1), QStringList({ "", "  indented", "last", ModuleSeparator }));
    }

    void osLinesStandBetweenTheirSeparators()
    {
        const QStringList three { "a", "", "c" };
        const QStringList report = BuildSettingsReport(SettingsSnapshot {}, three);
        QCOMPARE(report.mid(22, 5), QStringList({ OsSeparator, "a", "", "c", LogSeparator }));
        const QStringList none = BuildSettingsReport(SettingsSnapshot {}, {});
        QCOMPARE(none[23], LogSeparator);
    }

    void separatorLengths()
    {
        const QStringList report = BuildSettingsReport(SettingsSnapshot {}, {});
        for (const QString& line : report) {
            if (!line.startsWith(QStringLiteral("-----"))) continue;
            const bool long40 = line.contains(QStringLiteral(" OS type "))
                || line.contains(QStringLiteral(" Module settings "));
            QVERIFY2(line.size() == (long40 ? 40 : 38), qPrintable(line));
        }
    }

    void operatingSystemLines_data()
    {
        QTest::addColumn<QString>("sysname");
        QTest::addColumn<QString>("release");
        QTest::addColumn<QString>("osRelease");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("debian") << "Linux"
                                << "6.1.0-18-amd64"
                                << "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
                                   "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n"
                                << QStringList { "Linux 6.1.0-18-amd64",
                                       "Debian GNU/Linux 12 (bookworm)" };
        QTest::newRow("bare value") << "Linux"
                                    << "5.15.0"
                                    << "ID=alpine\nPRETTY_NAME=Alpine\n"
                                    << QStringList { "Linux 5.15.0", "Alpine" };
        QTest::newRow("single quotes") << "Linux"
                                       << "6.6.1"
                                       << "PRETTY_NAME='Arch Linux'\n"
                                       << QStringList { "Linux 6.6.1", "Arch Linux" };
        QTest::newRow("escapes in double quotes")
            << "Linux"
            << "6.6.1"
            << "PRETTY_NAME=\"My \\\"Box\\\" \\\\ 1\"\n"
            << QStringList { "Linux 6.6.1", "My \"Box\" \\ 1" };
        QTest::newRow("comments, blanks and the last assignment")
            << "Linux"
            << "6.6.1"
            << "# PRETTY_NAME=\"commented\"\n\n  PRETTY_NAME=\"first\"\nPRETTY_NAME=\"second\"\n"
            << QStringList { "Linux 6.6.1", "second" };
        QTest::newRow("similar key is not it") << "Linux"
                                               << "6.6.1"
                                               << "XPRETTY_NAME=\"no\"\nPRETTY_NAMES=\"no\"\n"
                                               << QStringList { "Linux 6.6.1", "" };
        QTest::newRow("no os-release") << "Linux"
                                       << "6.6.1"
                                       << "" << QStringList { "Linux 6.6.1", "" };
        QTest::newRow("CR LF lines") << "Linux"
                                     << "6.6.1"
                                     << "PRETTY_NAME=\"Win-edited\"\r\n"
                                     << QStringList { "Linux 6.6.1", "Win-edited" };
        QTest::newRow("uname failed") << ""
                                      << ""
                                      << "" << QStringList { "", "" };
    }
    void operatingSystemLines()
    {
        QFETCH(QString, sysname);
        QFETCH(QString, release);
        QFETCH(QString, osRelease);
        QFETCH(QStringList, lines);
        QCOMPARE(FormatOperatingSystemLines(sysname, release, osRelease), lines);
    }

    void operatingSystemLinesOfThisMachine()
    {
        const QStringList lines = OperatingSystemLines();
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines[0].startsWith(QStringLiteral("Linux ")), qPrintable(lines[0]));
    }
};

QTEST_GUILESS_MAIN(TstReport)
#include "tst_report.moc"
