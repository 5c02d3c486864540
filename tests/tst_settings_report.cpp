// "Show settings" through the main window: which control feeds which line of the report,
// the log copied as the memo holds it, and one report per press. The read-out that ends
// the report talks to the simulated module's console on loopback.

#include "app/Controls.h"
#include "tests/support/FormHarness.h"
#include "tests/support/ReportLines.h"
#include "tests/support/SetupConsole.h"
#include "vport/PtyPort.h"
#include "vport/SettingsReport.h"
#include "vport/Usettingsf.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QtTest>
#include <memory>

using namespace vsp;
using vsptest::FormHarness;
using vsptest::SimModule;
using namespace vsptest::report;

namespace {

// What the test sets on the window before pressing the button.
struct Controls {
    QString ip, port, serverPort, com;
    bool nvt = false, filter = false, portSetup = false, keep = false, tea = false;
    QString key1, key2, key3, key4;
    bool log = false, server = false, create = false, hide = false, pingFail = false,
         connectClosed = false;
};

const QString Connecting = QStringLiteral("Connecting to module, please wait");

} // namespace

Q_DECLARE_METATYPE(Controls)

class TstSettingsReport : public QObject {
    Q_OBJECT

    SimModule sim;
    std::unique_ptr<FormHarness> w;
    TSettingsForm* report = nullptr;

    QStringList ReportLines() const
    {
        return report->SettingsRichEdit->toPlainText().split(QLatin1Char('\n'));
    }
    void Press() { (*w)->ShowSettingsBitBtn->click(); }

private Q_SLOTS:
    void initTestCase()
    {
        QString why;
        QVERIFY2(vsptest::StartSetupConsole(sim, {}, &why), qPrintable(why));
    }

    void init()
    {
        w = std::make_unique<FormHarness>(QStringList {}, vsptest::AtConsoleOf(sim),
            FormHarness::Options { .otherWindows = true });
        report = w->report.get();
        (*w)->IPAddressComboBox->setEditText(QStringLiteral("127.0.0.1"));
    }

    void cleanup()
    {
        w.reset();
        report = nullptr;
    }

    void reportFollowsTheControls_data()
    {
        QTest::addColumn<Controls>("controls");
        QTest::addColumn<QStringList>("head"); // lines 1 to 22 (the port link may be left out)

        Controls a;
        a.ip = QStringLiteral("127.0.0.1");
        a.port = QStringLiteral("4001");
        a.serverPort = QStringLiteral("0023");
        a.com = QStringLiteral("COM7");
        a.nvt = true;
        a.portSetup = true;
        a.tea = true;
        // Lower case, short and empty key words are shown as typed.
        a.key1 = QStringLiteral("3a7f19c2");
        a.key2 = QStringLiteral("b04e");
        a.key3 = QString();
        a.key4 = QStringLiteral("0F63D7B4");
        a.log = true;
        a.create = true;
        a.pingFail = true;
        const QStringList alternating {
            "Parameter list:",
            "---------- Virtual SP ----------------",
            "IP          : 127.0.0.1",
            "Port        : 4001",
            "Server port : 0023",
            "Serial name : COM7",
            "--------------- NVT ------------------",
            "NVT enable  : on",
            "NVT filter  : off",
            "NVT port setup : on",
            "Keep connection: off",
            "--------------- TEA ------------------",
            "Use TEA auth. : on",
            "TEA Key:3a7f19c2:b04e::0F63D7B4",
            "--------------- Settings -------------",
            "Log enabled : on",
            "TCP server mode : off",
            "Create port on start VSP : on",
            "Hide on startup : off",
            "Don't create if ping fail : on",
            "Connect closed : off",
        };
        QTest::newRow("alternating switches") << a << alternating;

        Controls b;
        b.ip = QStringLiteral("127.0.0.1");
        b.port = QString();
        b.serverPort = QStringLiteral("23");
        b.com = QStringLiteral("com12");
        b.nvt = true;
        b.filter = true;
        b.keep = true;
        b.key1 = QStringLiteral("ffffffff");
        b.key2 = QStringLiteral("1");
        b.key3 = QStringLiteral("22");
        b.key4 = QStringLiteral("333");
        b.server = true;
        b.hide = true;
        b.connectClosed = true;
        const QStringList other {
            "Parameter list:",
            "---------- Virtual SP ----------------",
            "IP          : 127.0.0.1",
            "Port        : ",
            "Server port : 23",
            "Serial name : com12",
            "--------------- NVT ------------------",
            "NVT enable  : on",
            "NVT filter  : on",
            "NVT port setup : off",
            "Keep connection: on",
            "--------------- TEA ------------------",
            "Use TEA auth. : off",
            "TEA Key:ffffffff:1:22:333",
            "--------------- Settings -------------",
            "Log enabled : off",
            "TCP server mode : on",
            "Create port on start VSP : off",
            "Hide on startup : on",
            "Don't create if ping fail : off",
            "Connect closed : on",
        };
        QTest::newRow("the other switches") << b << other;

        QTest::newRow("all off, empty fields") << Controls {} << AllOffHead;
    }

    void reportFollowsTheControls()
    {
        QFETCH(Controls, controls);
        QFETCH(QStringList, head);
        TMainForm* f = w->form.get();
        f->IPAddressComboBox->setEditText(controls.ip);
        f->PortLabeledEdit->setText(controls.port);
        f->ServerPortLabeledEdit->setText(controls.serverPort);
        f->ComPortComboBox->setEditText(controls.com);
        // NVT enable first: its own rule clears and locks the three options below it.
        f->NVTEnabledCheckBox->setChecked(controls.nvt);
        f->NVTFilterCheckBox->setChecked(controls.filter);
        f->NVTPortSetupCheckBox->setChecked(controls.portSetup);
        f->NVTKeepCheckBox->setChecked(controls.keep);
        f->TEAEnabledCheckBox->setChecked(controls.tea);
        f->UKEdit1->setText(controls.key1);
        f->UKEdit2->setText(controls.key2);
        f->UKEdit3->setText(controls.key3);
        f->UKEdit4->setText(controls.key4);
        f->LogEnabledCheckBox->setChecked(controls.log);
        f->TCPServerModeCheckBox->setChecked(controls.server);
        f->StartupCreateCheckBox->setChecked(controls.create);
        f->StartupHideCheckBox->setChecked(controls.hide);
        f->PingFailCheckBox->setChecked(controls.pingFail);
        f->ConnectClosedCheckBox->setChecked(controls.connectClosed);
        f->ClearAllMessagesClickClick();
        // The premise: the window holds what the row says.
        QCOMPARE(f->NVTFilterCheckBox->isChecked(), controls.filter);
        QCOMPARE(f->NVTPortSetupCheckBox->isChecked(), controls.portSetup);
        QCOMPARE(f->NVTKeepCheckBox->isChecked(), controls.keep);
        QCOMPARE(f->IPAddressComboBox->currentText(), controls.ip);

        QVERIFY(report->isHidden());
        Press();
        QVERIFY(report->isVisible());
        QCOMPARE(report->windowModality(), Qt::NonModal);
        QVERIFY(!QApplication::activeModalWidget());

        QStringList expected = head;
        // A fake port makes no link: the report names where the port name puts one.
        const qsizetype at = expected.indexOf(QStringLiteral("Serial name : ") + controls.com) + 1;
        if (expected.value(at).startsWith(QStringLiteral("Port link"))) expected.removeAt(at);
        expected.insert(at,
            QStringLiteral("Port link   : ") + PortLinkPath(controls.com, f->Platform.PortFolders));
        expected << OsSeparator;
        expected << OperatingSystemLines();
        expected << LogSeparator << ModuleSeparator;
        // The read-out starts at once; the rest of it comes from the event loop.
        expected << Connecting;
        QCOMPARE(ReportLines(), expected);
    }

    void logSectionIsTheMemoWhateverLogEnabledSays()
    {
        TMainForm* f = w->form.get();
        f->ClearAllMessagesClickClick();
        f->Log(QStringLiteral("Port COM2 created"));
        f->Log(QStringLiteral("Second line"));
        const QStringList memo = f->LogMessagesMemo->toPlainText().split(QLatin1Char('\n'));
        QCOMPARE(memo.size(), 2);
        f->LogEnabledCheckBox->setChecked(false);
        f->Log(QStringLiteral("not written"));

        Press();
        const QStringList lines = ReportLines();
        QVERIFY(lines.contains(QStringLiteral("Log enabled : off")));
        const qsizetype from = lines.indexOf(LogSeparator);
        const qsizetype to = lines.indexOf(ModuleSeparator);
        QVERIFY(from > 0 && to > from);
        QCOMPARE(lines.mid(from + 1, to - from - 1), memo);
        QVERIFY(memo[0].endsWith(QStringLiteral(": Port COM2 created")));
    }

    void emptyLogGivesNoLogLines()
    {
        w->form->ClearAllMessagesClickClick();
        Press();
        const QStringList lines = ReportLines();
        const qsizetype from = lines.indexOf(LogSeparator);
        QVERIFY(from > 0);
        QCOMPARE(lines.value(from + 1), ModuleSeparator);
    }

    void eachPressGivesOneReport()
    {
        Press();
        // The first read-out runs to its end, the next two presses follow each other.
        QTRY_VERIFY_WITH_TIMEOUT(
            report->SettingsRichEdit->toPlainText().contains(QStringLiteral("Save and Reboot")),
            10000);
        Press();
        Press();
        QCOMPARE(ReportLines().count(QStringLiteral("Parameter list:")), 1);
        QCOMPARE(ReportLines().count(Connecting), 1);
        QTRY_VERIFY_WITH_TIMEOUT(
            report->SettingsRichEdit->toPlainText().contains(QStringLiteral("Save and Reboot")),
            10000);
        QTest::qWait(200); // nothing of the earlier read-outs may follow
        const QString text = report->SettingsRichEdit->toPlainText();
        QCOMPARE(text.count(QStringLiteral("Parameter list:")), 1);
        QCOMPARE(text.count(QStringLiteral("Successfully connected to TCP setup")), 1);
        QCOMPARE(text.count(QStringLiteral("Save and Reboot")), 1);
        QVERIFY(!text.contains(QStringLiteral("Error opening TCP setup")));
        QVERIFY(report->isVisible());
    }
};

QTEST_MAIN(TstSettingsReport)
#include "tst_settings_report.moc"
