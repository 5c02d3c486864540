// The "Setup Module" dialog against the simulated module's set-up console on loopback:
// the commands in the order the console asks for them, prompts split, doubled or repeated,
// the reset confirmed before it goes out, lost and refused connections, what may happen
// while the reset box is up, and the double click in the module list that opens the dialog.

#include "app/Controls.h"
#include "app/Dialogs.h"
#include "link/Sockets.h"
#include "setup/ConsoleReadout.h"
#include "setup/Discovery.h"
#include "setup/SetupDialogue.h"
#include "setup/Udpthread.h"
#include "setup/Umodulesetupf.h"
#include "tests/support/FormHarness.h"
#include "tests/support/SetupConsole.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QJsonArray>
#include <QListWidget>
#include <QPushButton>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>
#include <algorithm>
#include <functional>

using namespace vsp;
using vsptest::SimModule;

using FieldChange = std::function<void(vsp::TModuleSetupForm&)>;
Q_DECLARE_METATYPE(FieldChange)

namespace {

const QStringList DefaultCommands { "J23", "M255.255.255.0", "G192.168.1.26", "V0", "K0", "E0",
    "W0.0.0.0", "N0.0.0.0", "S192.168.0.9", "U23", "T0", "%K0:3A:7F:19:C2", "%K1:B0:4E:6D:15",
    "%K2:5C:92:E8:A1", "%K3:0F:63:D7:B4", "&B9600", "&D8", "&P1", "&V0", "&S1", "&C1", "&R0", "&T0",
    "&G0", "&H0", "&O0", "#T255", "#A0", "#B255", "#C0", "#X0", "#Y255", "#Z0", "I127.0.0.1", "R" };

const QString ResetBoxText = QStringLiteral("Setup complete. Sending reset to module");
const QString DoneBoxText = QStringLiteral("Setup complete");

// Prompts the test can predict: the module's text is "\r\nP<n> >" for prompt n.
const QString Greeting = QStringLiteral("Console ready\r\n");
const QString PromptFormat = QStringLiteral("\r\nP{n} >");

QByteArray Wire(const QStringList& commands)
{
    QByteArray bytes;
    for (const QString& c : commands)
        bytes += c.toLatin1() + "\r\n";
    return bytes;
}

QString Shown(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

// The log view's text by colour, line breaks left out.
struct LogColours {
    QString green, black, other;
};

LogColours ByColour(const QTextEdit* log)
{
    LogColours c;
    for (QTextBlock b = log->document()->begin(); b.isValid(); b = b.next()) {
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextFragment f = it.fragment();
            const QColor colour = f.charFormat().foreground().color();
            if (colour == QColor(0, 128, 0))
                c.green += f.text();
            else if (colour == QColor(0, 0, 0))
                c.black += f.text();
            else
                c.other += f.text();
        }
    }
    return c;
}

// A shown dialog pointed at 127.0.0.1, its boxes recorded (and answered by a hook that
// may do what a user or the module could do meanwhile).
struct Dialog {
    SimModule sim;
    TModuleSetupForm dlg { vsptest::AtConsoleOf(sim, Recording()) };
    QList<MessageBoxRequest> boxes;
    std::function<void(const MessageBoxRequest&)> onBox;

    TPlatform Recording()
    {
        TPlatform platform;
        platform.MessageBox = [this](const MessageBoxRequest& r) {
            boxes << r;
            if (onBox) onBox(r);
            return MsgResult::Ok;
        };
        return platform;
    }

    Dialog()
    {
        dlg.TCPIPEdit->setText(QStringLiteral("127.0.0.1"));
        dlg.show();
    }

    // A prompting console; `more` adds or overrides console settings.
    bool Start(const QJsonObject& more = {})
    {
        QJsonObject console { { "mode", "prompt" }, { "greeting", Greeting },
            { "prompt_format", PromptFormat } };
        for (auto it = more.begin(); it != more.end(); ++it)
            console.insert(it.key(), it.value());
        QString why;
        if (!vsptest::StartSetupConsole(sim, console, &why)) {
            qWarning("%s", qPrintable(why));
            return false;
        }
        return true;
    }
    void Write() { QTest::mouseClick(dlg.BitBtn1, Qt::LeftButton); }
    bool WaitDone(int timeoutMs = 20000)
    {
        return sim.WaitForEvent(QStringLiteral("console_done"), timeoutMs).has_value();
    }
    int Conn() const { return sim.LatestConn(QStringLiteral("setup")); }
    QStringList Sent() const { return vsptest::ConsoleTexts(sim, Conn()); }
    QString Log() const { return dlg.RichEdit1->toPlainText(); }
};

// What the module showed for prompts 0..count-1 after the greeting, as the log shows it.
QString ModuleText(int count, const QSet<int>& doubled = {})
{
    QString text = Greeting;
    for (int n = 0; n < count; ++n) {
        const QString prompt
            = QString(PromptFormat).replace(QStringLiteral("{n}"), QString::number(n));
        text += prompt;
        if (doubled.contains(n)) text += prompt;
    }
    return Shown(text);
}

// The dialog's own text for steps 0..34 of a dialogue with these commands.
QString OwnText(const QStringList& commands)
{
    QString text = QStringLiteral("Connected to module");
    for (int step = 0; step < SetupResetStep; ++step)
        text += SetupDialogueStep(step, ModuleSetupValues {}).LogLabel + commands[step]
            + QStringLiteral(" | ");
    return text + QStringLiteral("Setup completeReset module R | ");
}

} // namespace

class TstModuleSetup : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void showingTheDialog()
    {
        TModuleSetupForm dlg;
        dlg.RichEdit1->show();
        dlg.RichEdit1->setPlainText(QStringLiteral("old"));
        dlg.BitBtn1->setEnabled(false);
        dlg.show();
        QVERIFY(dlg.RichEdit1->isHidden());
        QVERIFY(dlg.RichEdit1->toPlainText().isEmpty());
        QVERIFY(dlg.BitBtn1->isEnabled());
    }

    void defaultFieldsWriteTheWholeConfiguration()
    {
        Dialog d;
        QVERIFY(d.Start());
        int sentWhenAsked = -1;
        bool logShownWhenAsked = false;
        d.onBox = [&](const MessageBoxRequest&) {
            // Let the module's side catch up: the reset must not be out yet.
            QTest::qWait(300);
            sentWhenAsked = int(d.Sent().size());
            logShownWhenAsked = d.dlg.RichEdit1->isVisible();
        };
        d.Write();
        QVERIFY(d.dlg.RichEdit1->isVisible());
        QVERIFY2(d.WaitDone(), qPrintable(d.sim.Describe()));

        QCOMPARE(d.Sent(), DefaultCommands);
        for (const QJsonObject& line : vsptest::ConsoleLines(d.sim, d.Conn()))
            QCOMPARE(line.value(QStringLiteral("end")).toString(), QStringLiteral("\r\n"));
        QCOMPARE(vsptest::ConsoleBytes(d.sim, d.Conn()), Wire(DefaultCommands));

        QCOMPARE(d.boxes.size(), 1);
        const MessageBoxRequest& box = d.boxes.first();
        QCOMPARE(box.Text, ResetBoxText);
        QCOMPARE(box.Caption, QStringLiteral("TCP setup"));
        QCOMPARE(box.Icon, MsgIcon::Information);
        QCOMPARE(box.Buttons, MsgButtons::Ok);
        QCOMPARE(box.Owner, static_cast<QWidget*>(&d.dlg));
        QCOMPARE(sentWhenAsked, 34);
        QVERIFY(logShownWhenAsked);

        QCOMPARE(d.dlg.SetupStep, 35);
        QVERIFY(!d.dlg.BitBtn1->isEnabled());
        QVERIFY(d.dlg.RichEdit1->isVisible());

        // The module's text in green as it came, the dialog's own in black.
        const LogColours c = ByColour(d.dlg.RichEdit1);
        QCOMPARE(c.green, ModuleText(35).remove(QLatin1Char('\n')));
        QCOMPARE(c.black, OwnText(DefaultCommands));
        QVERIFY(c.other.isEmpty());
        const QString log = d.Log();
        QVERIFY2(log.startsWith(QStringLiteral(
                     "Connected to module\nConsole ready\n\nP0 >TCP/IP Port -> J23 | \nP1 >")),
            qPrintable(log));
        QVERIFY2(log.endsWith(QStringLiteral("\nP34 >\nSetup complete\nReset module \nR | ")),
            qPrintable(log));
    }

    // Text without ">" is only logged; the answer goes out when the ">" comes.
    void splitPrompts()
    {
        Dialog d;
        QVERIFY(d.Start({ { "split_prompts", true }, { "piece_delay_ms", 80 } }));
        d.Write();
        QVERIFY2(d.WaitDone(), qPrintable(d.sim.Describe()));
        QCOMPARE(d.Sent(), DefaultCommands);
        // Each answer came for the prompt it belongs to.
        const QList<QJsonObject> lines = vsptest::ConsoleLines(d.sim, d.Conn());
        for (int n = 0; n < lines.size(); ++n)
            QCOMPARE(lines[n].value(QStringLiteral("prompt")).toInt(), n);
        QCOMPARE(ByColour(d.dlg.RichEdit1).green, ModuleText(35).remove(QLatin1Char('\n')));
        QCOMPARE(d.boxes.size(), 1);
    }

    // A piece holding two prompts is one prompt: answered once, the order stays.
    void doubledPrompts()
    {
        Dialog d;
        QVERIFY(d.Start({ { "double_prompts", QJsonArray { 0, 17, 34 } } }));
        d.Write();
        QVERIFY2(d.WaitDone(), qPrintable(d.sim.Describe()));
        QTest::qWait(200); // an answer too many would show now
        QCOMPARE(d.Sent(), DefaultCommands);
        QCOMPARE(vsptest::ConsoleBytes(d.sim, d.Conn()), Wire(DefaultCommands));
        QCOMPARE(d.boxes.size(), 1);
        QCOMPARE(d.dlg.SetupStep, 35);
        QCOMPARE(ByColour(d.dlg.RichEdit1).green,
            ModuleText(35, { 0, 17, 34 }).remove(QLatin1Char('\n')));
    }

    // Prompts after the reset get nothing; each adds a line and a box.
    void extraPromptsAfterTheReset()
    {
        Dialog d;
        QVERIFY(d.Start({ { "extra_prompts", 2 } }));
        d.Write();
        QVERIFY2(d.WaitDone(), qPrintable(d.sim.Describe()));
        QTRY_COMPARE_WITH_TIMEOUT(d.boxes.size(), 3, 5000);
        QCOMPARE(d.boxes[0].Text, ResetBoxText);
        for (int i : { 1, 2 }) {
            QCOMPARE(d.boxes[i].Text, DoneBoxText);
            QCOMPARE(d.boxes[i].Caption, QStringLiteral("TCP setup"));
            QCOMPARE(d.boxes[i].Icon, MsgIcon::Information);
            QCOMPARE(d.boxes[i].Owner, static_cast<QWidget*>(&d.dlg));
        }
        QTest::qWait(200);
        QCOMPARE(d.Sent(), DefaultCommands);
        QCOMPARE(vsptest::ConsoleBytes(d.sim, d.Conn()), Wire(DefaultCommands));
        QCOMPARE(d.dlg.SetupStep, 37);
        QVERIFY2(d.Log().endsWith(QStringLiteral(
                     "Reset module \nR | \nP35 >\nSetup complete\n\nP36 >\nSetup complete\n")),
            qPrintable(d.Log()));
    }

    // Fields as they stand: positions of lists with nothing selected, ticks, typed texts.
    void fieldsAsTheyStand_data()
    {
        QTest::addColumn<FieldChange>("change");
        QTest::addColumn<QStringList>("commands");

        QStringList none = DefaultCommands;
        none[5] = "E-1";
        none[10] = "T-1";
        none[17] = "&P0";
        none[19] = "&S0";
        none[20] = "&C0";
        none[21] = "&R-1";
        none[24] = "&H-1";
        QTest::newRow("nothing selected") << FieldChange([](TModuleSetupForm& f) {
            f.OutEraseOn->SetItemIndex(-1);
            f.IPModeRadio->SetItemIndex(-1);
            for (QComboBox* c :
                { f.SParityCombo, f.SStopCombo, f.SFlowControl, f.SRSControll, f.STxControll })
                c->setCurrentIndex(-1);
        }) << none;

        QStringList ticks = DefaultCommands;
        ticks[0] = "J4001";
        ticks[3] = "V1";
        ticks[4] = "K1";
        ticks[5] = "E3";
        ticks[10] = "T1";
        ticks[11] = "%K0:3a:7f";
        ticks[15] = "&B250000";
        ticks[17] = "&P3";
        ticks[18] = "&V0";
        ticks[19] = "&S2";
        ticks[20] = "&C3";
        ticks[21] = "&R3";
        ticks[24] = "&H1";
        ticks[25] = "&O1";
        ticks[32] = "#Zff";
        QTest::newRow("ticks, positions and typed texts") << FieldChange([](TModuleSetupForm& f) {
            f.TCPPortEdit->setText(QStringLiteral("4001"));
            f.OutNVTCheck->setChecked(true);
            f.OutKeepConnection->setChecked(true);
            f.OutEraseOn->SetItemIndex(3);
            f.IPModeRadio->SetItemIndex(1);
            f.TEA0Edit->setText(QStringLiteral("3a:7f"));
            f.SSpeedCombo->setEditText(QStringLiteral("250000"));
            f.SParityCombo->setCurrentIndex(2);
            f.SStopCombo->setCurrentIndex(1);
            f.SFlowControl->setCurrentIndex(2);
            f.SRSControll->setCurrentIndex(3);
            f.STxControll->setCurrentIndex(1);
            f.SSpaceCommpress->setChecked(true);
            f.IOOr->setText(QStringLiteral("ff"));
        }) << ticks;
    }

    void typedTexts_data()
    {
        QTest::addColumn<FieldChange>("change");
        QTest::addColumn<QStringList>("commands");
        // Typed over the selected item: a text that is no item's is position -1, a text
        // equal to an item's is that item, whatever stays selected underneath.
        QStringList typed = DefaultCommands;
        typed[17] = "&P0";
        typed[19] = "&S2";
        typed[20] = "&C3";
        typed[21] = "&R-1";
        typed[24] = "&H-1";
        QTest::newRow("typed over the selection") << FieldChange([](TModuleSetupForm& f) {
            f.SParityCombo->setEditText(QStringLiteral("even"));
            f.SStopCombo->setEditText(QStringLiteral("2"));
            f.SFlowControl->setEditText(QStringLiteral("XON / XOFF"));
            f.SRSControll->setEditText(QStringLiteral("RTS high"));
            f.STxControll->setEditText(QStringLiteral("half"));
        }) << typed;
        QStringList items = DefaultCommands;
        items[17] = "&P2";
        items[21] = "&R1";
        items[24] = "&H1";
        QTest::newRow("an item's text typed") << FieldChange([](TModuleSetupForm& f) {
            f.SParityCombo->setEditText(QStringLiteral("odd"));
            f.SRSControll->setEditText(QStringLiteral("RTS = High [-8V]"));
            f.STxControll->setEditText(QStringLiteral("HALF duplex (RS485)"));
        }) << items;
        QStringList cased = DefaultCommands;
        cased[17] = "&P0";
        QTest::newRow("case counts") << FieldChange([](TModuleSetupForm& f) {
            f.SParityCombo->setEditText(QStringLiteral("None"));
        }) << cased;
    }
    void typedTexts() { fieldsAsTheyStand(); }

    void fieldsAsTheyStand()
    {
        QFETCH(FieldChange, change);
        QFETCH(QStringList, commands);
        Dialog d;
        QVERIFY(d.Start());
        change(d.dlg);
        d.Write();
        QVERIFY2(d.WaitDone(), qPrintable(d.sim.Describe()));
        QCOMPARE(d.Sent(), commands);
    }

    // A console that prints without end or without a line break: the dialogue goes on as
    // with any console, and the log keeps a bounded tail of short enough lines.
    void hostileConsoleKeepsTheLogBounded_data()
    {
        QTest::addColumn<QString>("greeting");
        QTest::newRow("1 MiB without a line break") << QString(1 << 20, u'x');
        QTest::newRow("20,000 lines before the first prompt")
            << QStringLiteral("Console line\r\n").repeated(20000);
    }
    void hostileConsoleKeepsTheLogBounded()
    {
        QFETCH(QString, greeting);
        Dialog d;
        QVERIFY(d.Start({ { "greeting", greeting } }));
        d.Write();
        QVERIFY2(d.WaitDone(30000), qPrintable(d.sim.Describe()));
        QCOMPARE(d.Sent(), DefaultCommands);
        const QTextDocument* doc = d.dlg.RichEdit1->document();
        QVERIFY2(doc->blockCount() <= TModuleSetupForm::LogLineLimit,
            qPrintable(QString::number(doc->blockCount())));
        for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
            QVERIFY2(b.length() <= ConsoleLineLimit + int(sizeof ConsoleCutMarker) + 100,
                qPrintable(QString::number(b.length())));
        QVERIFY2(d.Log().endsWith(QStringLiteral("\nP34 >\nSetup complete\nReset module \nR | ")),
            qPrintable(d.Log().right(200)));
        if (greeting.size() == 1 << 20)
            QVERIFY(d.Log().contains(QString::fromLatin1(ConsoleCutMarker)));
    }

    // Restored from minimised, the dialog is where it was: only a show by the program opens
    // it anew.
    void restoredFromMinimisedTheDialogueGoesOn()
    {
        Dialog d;
        QVERIFY(d.Start({ { "prompts", 3 } })); // answers three prompts, then stays open
        d.Write();
        QTRY_COMPARE_WITH_TIMEOUT(d.Sent().size(), 3, 10000);
        const QString log = d.Log();
        d.dlg.showMinimized();
        QTRY_VERIFY(d.dlg.isMinimized());
        d.dlg.showNormal();
        QTRY_VERIFY(!d.dlg.isMinimized());
        QVERIFY(d.dlg.RichEdit1->isVisible());
        QVERIFY(!d.dlg.BitBtn1->isEnabled());
        QCOMPARE(d.Log(), log);
        QVERIFY(d.dlg.ClientSocket1->Connected());
    }

    // A console that connects but never prompts is given up: the dialog says the module did
    // not answer, hangs up, and "Write Configuration" works again. The limit holds only until
    // the first prompt: a console that then pauses longer between two prompts (a module
    // writing its flash) is waited for, and the dialogue completes.
    void promptLimitUntilTheFirstPrompt_data()
    {
        QTest::addColumn<QJsonObject>("console");
        QTest::addColumn<bool>("completes");
        QTest::newRow("silent") << QJsonObject { { "mode", "script" } } << false;
        // Greets, then waits for a line end that only the read-out sends.
        QTest::newRow("talks, no prompt") << QJsonObject { { "mode", "readout" } } << false;
        // Pauses of four times the limit before the second prompt and before the reset's.
        QTest::newRow("pauses between prompts")
            << QJsonObject { { "pauses", QJsonObject { { "1", 1200 }, { "34", 1200 } } } } << true;
    }
    void promptLimitUntilTheFirstPrompt()
    {
        QFETCH(QJsonObject, console);
        QFETCH(bool, completes);
        Dialog d;
        QVERIFY(d.Start(console));
        QCOMPARE(d.dlg.PromptTimer->interval(), 10000);
        d.dlg.PromptTimer->setInterval(300); // the test need not wait ten seconds
        d.Write();
        if (completes) {
            QVERIFY2(d.WaitDone(), qPrintable(d.sim.Describe()));
            QCOMPARE(d.Sent(), DefaultCommands);
            QCOMPARE(d.boxes.size(), 1);
            QCOMPARE(d.boxes.first().Text, ResetBoxText);
            QVERIFY(d.dlg.RichEdit1->isVisible());
            QVERIFY(!d.dlg.BitBtn1->isEnabled());
            QVERIFY(!d.Log().contains(QStringLiteral("The module did not answer")));
            QVERIFY(d.dlg.ClientSocket1->Connected());
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(d.dlg.RichEdit1->isHidden(), 10000);
        QVERIFY2(d.Log().startsWith(QStringLiteral("Connected to module\n")), qPrintable(d.Log()));
        QVERIFY2(
            d.Log().endsWith(QStringLiteral("\nThe module did not answer\n")), qPrintable(d.Log()));
        QVERIFY(d.dlg.BitBtn1->isEnabled());
        QVERIFY(d.boxes.isEmpty());
        QJsonObject end;
        QVERIFY2(vsptest::WaitForConsoleEnd(d.sim, d.Conn(), &end), qPrintable(d.sim.Describe()));
        QCOMPARE(end.value(QStringLiteral("by")).toString(), QStringLiteral("peer"));
        QVERIFY(d.Sent().isEmpty());
        // And again: a new connection.
        const int first = d.Conn();
        d.Write();
        QTRY_VERIFY_WITH_TIMEOUT(d.Conn() != first, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(d.dlg.RichEdit1->isHidden(), 10000);
    }

    // The module drops the connection in the middle of the dialogue.
    void droppedConnection_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("logShown");
        // A reset is an error (10054): the log is hidden, quietly.
        QTest::newRow("reset") << "reset" << false;
        // A clean close is no error: the log stays as it was.
        QTest::newRow("close") << "close" << true;
    }

    void droppedConnection()
    {
        QFETCH(QString, how);
        QFETCH(bool, logShown);
        Dialog d;
        QVERIFY(d.Start({ { "drop_after", 5 }, { "drop_how", how } }));
        d.Write();
        QVERIFY2(d.sim.WaitForEvent(QStringLiteral("disconnected")), qPrintable(d.sim.Describe()));
        QTRY_VERIFY_WITH_TIMEOUT(!d.dlg.ClientSocket1->Active(), 5000);
        QCOMPARE(d.dlg.RichEdit1->isVisible(), logShown);
        QCOMPARE(d.Sent(), DefaultCommands.mid(0, 5));
        QVERIFY(d.boxes.isEmpty());
        QVERIFY(!d.Log().contains(QStringLiteral("Connection closed by remote host")));
        // Disabled until the dialog is shown again; then a new dialogue runs in full.
        QVERIFY(!d.dlg.BitBtn1->isEnabled());
        d.dlg.close();
        d.dlg.show();
        QVERIFY(d.dlg.BitBtn1->isEnabled());
        QVERIFY(d.Log().isEmpty());
        QVERIFY(d.sim.ConfigureConsole({ { "drop_after", QJsonValue::Null } }));
        const qsizetype mark = d.sim.Mark();
        d.Write();
        QVERIFY2(d.sim.WaitForEvent(QStringLiteral("console_done"), 20000, mark),
            qPrintable(d.sim.Describe()));
        QCOMPARE(d.Sent(), DefaultCommands);
    }

    // Connection aborted (10053): its own last line, then the fields are seen again.
    void connectionAborted()
    {
        Dialog d;
        QVERIFY(d.Start({ { "prompts", 3 } })); // answers three prompts, then stays open
        d.Write();
        QVERIFY2(d.WaitDone(), qPrintable(d.sim.Describe()));
        QTRY_COMPARE_WITH_TIMEOUT(d.Sent().size(), 3, 5000);
        QVERIFY(d.dlg.ClientSocket1->Connected());
        d.dlg.ClientSocket1Error(d.dlg.ClientSocket1->Socket(), WSAECONNABORTED);
        QVERIFY(d.dlg.RichEdit1->isHidden());
        QVERIFY2(d.Log().endsWith(QStringLiteral("\nConnection closed by remote host\n")),
            qPrintable(d.Log()));
        QVERIFY(d.boxes.isEmpty());
        // The dead connection is let go.
        QJsonObject end;
        QVERIFY2(vsptest::WaitForConsoleEnd(d.sim, d.Conn(), &end), qPrintable(d.sim.Describe()));
        QCOMPARE(end.value(QStringLiteral("by")).toString(), QStringLiteral("peer"));
    }

    void refusedConnection()
    {
        Dialog d;
        QVERIFY(d.Start());
        QVERIFY(d.sim.Refuse(QStringLiteral("setup")));
        d.Write();
        QVERIFY(d.dlg.RichEdit1->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(d.dlg.RichEdit1->isHidden(), 10000);
        QVERIFY(d.boxes.isEmpty());
        QVERIFY(d.dlg.BitBtn1->isEnabled());
        QVERIFY(d.Log().isEmpty());
        // "Write Configuration" can be clicked again.
        QVERIFY(d.sim.Listen(QStringLiteral("setup")));
        d.Write();
        QVERIFY2(d.WaitDone(), qPrintable(d.sim.Describe()));
        QCOMPARE(d.Sent(), DefaultCommands);
    }

    // ---- while the reset box is up (it has an event loop of its own) ----

    void dialogClosedWhileTheResetBoxIsUp()
    {
        Dialog d;
        QVERIFY(d.Start());
        d.onBox = [&](const MessageBoxRequest&) { d.dlg.close(); };
        d.Write();
        QVERIFY2(d.sim.WaitForEvent(QStringLiteral("disconnected")), qPrintable(d.sim.Describe()));
        QTest::qWait(200);
        QCOMPARE(d.Sent(), DefaultCommands.mid(0, 34));
        QCOMPARE(d.boxes.size(), 1);
        QVERIFY(!d.dlg.ClientSocket1->Active());
    }

    // The reset belongs to the connection whose prompt asked for it, never to one opened
    // while its box was up.
    void newDialogueWhileTheResetBoxIsUp()
    {
        Dialog d;
        QVERIFY(d.Start());
        int first = 0;
        d.onBox = [&](const MessageBoxRequest&) {
            if (first) return; // the second dialogue's own box
            first = d.Conn();
            d.dlg.close();
            d.dlg.show();
            const qsizetype mark = d.sim.Mark();
            d.Write();
            QVERIFY(d.sim.WaitForEvent(QStringLiteral("console_done"), 20000, mark));
        };
        d.Write();
        QVERIFY2(d.sim.WaitForEvent(QStringLiteral("disconnected")), qPrintable(d.sim.Describe()));
        QTRY_COMPARE_WITH_TIMEOUT(d.boxes.size(), 2, 20000);
        QTest::qWait(200);
        const int second = d.Conn();
        QVERIFY(first != 0 && second != first);
        QCOMPARE(vsptest::ConsoleTexts(d.sim, first), DefaultCommands.mid(0, 34));
        QCOMPARE(vsptest::ConsoleTexts(d.sim, second), DefaultCommands);
        QCOMPARE(vsptest::ConsoleBytes(d.sim, second), Wire(DefaultCommands));
    }

    void connectionResetWhileTheResetBoxIsUp()
    {
        Dialog d;
        QVERIFY(d.Start());
        d.onBox = [&](const MessageBoxRequest&) {
            QVERIFY(d.sim.Reset(d.Conn()));
            QVERIFY(d.sim.WaitForEvent(QStringLiteral("disconnected")));
            QTest::qWait(100);
        };
        d.Write();
        QVERIFY2(d.sim.WaitForEvent(QStringLiteral("disconnected")), qPrintable(d.sim.Describe()));
        QTRY_VERIFY_WITH_TIMEOUT(d.dlg.RichEdit1->isHidden(), 5000);
        QCOMPARE(d.Sent(), DefaultCommands.mid(0, 34));
        QCOMPARE(d.boxes.size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!d.dlg.ClientSocket1->Active(), 5000);
    }

    // Another prompt handled while the reset box is up is the next step's: "R" still goes
    // out exactly once, after the box.
    void promptWhileTheResetBoxIsUp()
    {
        Dialog d;
        QVERIFY(d.Start());
        d.onBox = [&](const MessageBoxRequest& box) {
            if (box.Text != ResetBoxText) return;
            TCustomWinSocket* s = d.dlg.ClientSocket1->Socket();
            QVERIFY(
                d.sim.Ok({ { "cmd", "send" }, { "conn", d.Conn() }, { "text", "\r\nagain >" } }));
            QTRY_VERIFY_WITH_TIMEOUT(s->ReceiveLength() > 0, 5000);
            // The socket holds its read event back while one is running.
            QVERIFY(!d.Log().contains(QStringLiteral("again")));
            d.dlg.ClientSocket1Read(s);
        };
        d.Write();
        QVERIFY2(d.WaitDone(), qPrintable(d.sim.Describe()));
        QTest::qWait(200);
        QCOMPARE(d.Sent(), DefaultCommands);
        QCOMPARE(d.boxes.size(), 2);
        QCOMPARE(d.boxes[1].Text, DoneBoxText);
        QCOMPARE(d.dlg.SetupStep, 36);
    }

    // ---- how the dialog is reached ----

    void doubleClickOnAModuleOpensTheDialog()
    {
        SimModule sim;
        vsptest::FormHarness w({}, vsptest::AtConsoleOf(sim), { .otherWindows = true });
        TModuleSetupForm& dlg = *w.setupDialog;
        QString why;
        QVERIFY2(vsptest::StartSetupConsole(sim, { { "mode", "prompt" }, { "prompts", 3 } }, &why),
            qPrintable(why));

        // Two modules as the discovery worker keeps them, listed in table order.
        TUDPThread* t = w->UDPThread;
        QVERIFY(t);
        // The worker empties its table as it starts: only then is the table ours to fill.
        QTRY_VERIFY2_WITH_TIMEOUT(t->BoundPort() != 0, "the discovery worker did not start", 10000);
        const uint8_t ips[2][4] = { { 127, 0, 0, 2 }, { 127, 0, 0, 1 } };
        {
            QMutexLocker lock(&t->Lock);
            for (int i = 0; i < 2; ++i) {
                ModuleEntry& e = t->ModuleTable[i];
                e = ModuleEntry {};
                e.Reply[ReplyMacOffset + 5] = uint8_t(i + 1);
                std::copy(ips[i], ips[i] + 4, e.Reply + ReplyIpOffset);
                e.Listed = 1;
            }
            t->ModuleCount = 2;
        }
        for (int i = 0; i < 2; ++i)
            w->UDPMACListBox->addItem(ReplyMacText(t->ModuleTable[i].Reply));

        // Nothing selected: nothing happens.
        w->UDPMACListBox->clearSelection();
        w->UDPMACListBoxDblClick();
        QVERIFY(dlg.isHidden());
        QCOMPARE(dlg.TCPIPEdit->text(), QStringLiteral("192.168.1.1"));

        QListWidgetItem* second = w->UDPMACListBox->item(1);
        w->UDPMACListBox->setCurrentItem(second);
        Q_EMIT w->UDPMACListBox->itemDoubleClicked(second);
        QVERIFY(dlg.isVisible());
        QCOMPARE(dlg.TCPIPEdit->text(), QStringLiteral("127.0.0.1"));
        QVERIFY(dlg.RichEdit1->isHidden());

        // Written to the module it was opened for; while that dialogue is on, another
        // module's double click does not change the address it is writing.
        dlg.BitBtn1->click();
        QVERIFY2(sim.WaitForEvent(QStringLiteral("console_done")), qPrintable(sim.Describe()));
        QTRY_COMPARE_WITH_TIMEOUT(
            vsptest::ConsoleTexts(sim, sim.LatestConn(QStringLiteral("setup"))),
            DefaultCommands.mid(0, 3), 5000);
        QListWidgetItem* first = w->UDPMACListBox->item(0);
        w->UDPMACListBox->setCurrentItem(first);
        Q_EMIT w->UDPMACListBox->itemDoubleClicked(first);
        QCOMPARE(dlg.TCPIPEdit->text(), QStringLiteral("127.0.0.1"));
        dlg.close();

        // Once it is closed, the double click aims it anew.
        Q_EMIT w->UDPMACListBox->itemDoubleClicked(first);
        QVERIFY(dlg.isVisible());
        QCOMPARE(dlg.TCPIPEdit->text(), QStringLiteral("127.0.0.2"));
        QVERIFY(dlg.BitBtn1->isEnabled());
        dlg.close();

        // A line whose table entry is gone (the count went back to 1): nothing happens.
        {
            QMutexLocker lock(&t->Lock);
            t->ModuleCount = 1;
        }
        dlg.TCPIPEdit->setText(QStringLiteral("127.0.0.1"));
        w->UDPMACListBox->setCurrentItem(second);
        Q_EMIT w->UDPMACListBox->itemDoubleClicked(second);
        QVERIFY(dlg.isHidden());
        QCOMPARE(dlg.TCPIPEdit->text(), QStringLiteral("127.0.0.1"));
    }

    // The hidden "Setup module" button stays inert.
    void setupModuleButtonStaysInert()
    {
        vsptest::FormHarness w({}, {}, { .otherWindows = true });
        TModuleSetupForm& dlg = *w.setupDialog;
        QVERIFY(!w->UDPSetupModuleBtn->isVisibleTo(w.form.get()));
        QVERIFY(!w->UDPSetupModuleBtn->isEnabled());
        w->UDPSetupModuleBtnClick();
        QVERIFY(dlg.isHidden());
    }
};

QTEST_MAIN(TstModuleSetup)
#include "tst_module_setup.moc"
