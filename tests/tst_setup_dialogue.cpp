// The set-up console: the commands the "Setup Module" dialog answers each prompt with,
// and how the settings report's read-out treats each piece the console prints.

#include "setup/ConsoleReadout.h"
#include "setup/SetupDialogue.h"

#include <QtTest>

using namespace vsp;

Q_DECLARE_METATYPE(vsp::ReadoutAction)

namespace {

QStringList Commands(const ModuleSetupValues& values, int steps)
{
    QStringList commands;
    for (int step = 0; step < steps; ++step)
        commands << SetupDialogueStep(step, values).Command;
    return commands;
}

} // namespace

class TstSetupDialogue : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void defaultFieldsGiveTheWholeConfiguration()
    {
        const QStringList expected { "J23", "M255.255.255.0", "G192.168.1.26", "V0", "K0", "E0",
            "W0.0.0.0", "N0.0.0.0", "S192.168.0.9", "U23", "T0", "%K0:3A:7F:19:C2",
            "%K1:B0:4E:6D:15", "%K2:5C:92:E8:A1", "%K3:0F:63:D7:B4", "&B9600", "&D8", "&P1", "&V0",
            "&S1", "&C1", "&R0", "&T0", "&G0", "&H0", "&O0", "#T255", "#A0", "#B255", "#C0", "#X0",
            "#Y255", "#Z0", "I192.168.1.1", "R" };
        QCOMPARE(expected.size(), 35);
        QCOMPARE(Commands(ModuleSetupValues {}, 35), expected);
    }

    // Each prompt takes its label and letters from its row and its value from its own field
    // alone: a field changed moves that prompt's command and no other.
    void prompts_data()
    {
        QTest::addColumn<int>("step");
        for (int step = 0; step < SetupResetStep; ++step)
            QTest::addRow("%d %s", step, SetupPrompts[step].Label) << step;
    }
    void prompts()
    {
        QFETCH(int, step);
        const SetupPrompt& prompt = SetupPrompts[step];
        const SetupStepAction action = SetupDialogueStep(step, ModuleSetupValues {});
        QCOMPARE(action.Kind, SetupStepKind::SendCommand);
        QCOMPARE(action.LogLabel, QString::fromLatin1(prompt.Label));
        QVERIFY(action.LogLabel.endsWith(QStringLiteral(" -> ")));
        QVERIFY(action.LogLines.isEmpty());
        QVERIFY(action.BoxText.isEmpty());

        ModuleSetupValues changed;
        QString value;
        if (prompt.Field.Text) {
            value = QStringLiteral("x9");
            changed.*prompt.Field.Text = value;
        } else if (prompt.Field.Switch) {
            QVERIFY(!(changed.*prompt.Field.Switch));
            changed.*prompt.Field.Switch = true;
            value = QStringLiteral("1");
        } else {
            QVERIFY(prompt.Field.Position);
            changed.*prompt.Field.Position = 7;
            value = QString::number(7 + prompt.Field.PositionOffset);
        }
        const QStringList before = Commands(ModuleSetupValues {}, SetupResetStep + 1);
        QStringList expected = before;
        expected[step] = QString::fromLatin1(prompt.Letter) + value;
        QCOMPARE(Commands(changed, SetupResetStep + 1), expected);
    }

    void resetStep()
    {
        const SetupStepAction action = SetupDialogueStep(34, ModuleSetupValues {});
        QCOMPARE(action.Kind, SetupStepKind::ConfirmReset);
        QCOMPARE(action.LogLabel, QString());
        QCOMPARE(action.LogLines, QStringList({ "Setup complete", "Reset module " }));
        QCOMPARE(action.Command, QStringLiteral("R"));
        QCOMPARE(action.BoxText, QStringLiteral("Setup complete. Sending reset to module"));
        QCOMPARE(QString::fromLatin1(SetupBoxCaption), QStringLiteral("TCP setup"));
    }

    void promptsAfterTheReset_data()
    {
        QTest::addColumn<int>("step");
        QTest::newRow("35") << 35;
        QTest::newRow("36") << 36;
        QTest::newRow("1000") << 1000;
    }
    void promptsAfterTheReset()
    {
        QFETCH(int, step);
        const SetupStepAction action = SetupDialogueStep(step, ModuleSetupValues {});
        QCOMPARE(action.Kind, SetupStepKind::Finished);
        QCOMPARE(action.Command, QString()); // nothing is sent
        QCOMPARE(action.LogLines, QStringList { "Setup complete" });
        QCOMPARE(action.BoxText, QStringLiteral("Setup complete"));
    }

    void switchesAndPositions_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<QString>("command");
        QTest::newRow("compression ticked") << 25 << "&O1";
        QTest::newRow("variable parity unticked") << 18 << "&V0";
        QTest::newRow("NVT ticked") << 3 << "V1";
        QTest::newRow("keep connection ticked") << 4 << "K1";
        QTest::newRow("erase on open and close") << 5 << "E3";
        QTest::newRow("UDP mode") << 10 << "T1";
        QTest::newRow("space parity") << 17 << "&P5";
        QTest::newRow("two stop bits") << 19 << "&S2";
        QTest::newRow("XON/XOFF") << 20 << "&C3";
        QTest::newRow("RS control no offset") << 21 << "&R3";
        QTest::newRow("half duplex no offset") << 24 << "&H1";
    }
    // "Buffer space compression" ticked beside an unticked "Variable parity", and every
    // other switch and position away from its default.
    void switchesAndPositions()
    {
        QFETCH(int, step);
        QFETCH(QString, command);
        ModuleSetupValues v;
        v.SSpaceCommpress = true;
        v.SVarParityCheck = false;
        v.OutNVTCheck = true;
        v.OutKeepConnection = true;
        v.OutEraseOn = 3;
        v.IPModeRadio = 1;
        v.SParityCombo = 4;
        v.SStopCombo = 1;
        v.SFlowControl = 2;
        v.SRSControll = 3;
        v.STxControll = 1;
        QCOMPARE(SetupDialogueStep(step, v).Command, command);
    }

    void variableParityTicked()
    {
        ModuleSetupValues v;
        v.SVarParityCheck = true;
        QCOMPARE(SetupDialogueStep(18, v).Command, QStringLiteral("&V1"));
        QCOMPARE(SetupDialogueStep(25, v).Command, QStringLiteral("&O0"));
    }

    void nothingSelected_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<QString>("command");
        QTest::newRow("parity") << 17 << "&P0";
        QTest::newRow("stop bits") << 19 << "&S0";
        QTest::newRow("flow control") << 20 << "&C0";
        QTest::newRow("485 / 232") << 21 << "&R-1";
        QTest::newRow("Tx") << 24 << "&H-1";
    }
    void nothingSelected()
    {
        QFETCH(int, step);
        QFETCH(QString, command);
        ModuleSetupValues v;
        v.SParityCombo = v.SStopCombo = v.SFlowControl = v.SRSControll = v.STxControll = -1;
        QCOMPARE(SetupDialogueStep(step, v).Command, command);
    }

    void textsGoAsTyped()
    {
        ModuleSetupValues v;
        v.TCPPortEdit = QStringLiteral(" 80x");
        v.SSpeedCombo = QStringLiteral("");
        v.TEA2Edit = QStringLiteral("ab:cd");
        v.TCPIPEdit = QStringLiteral("10.0.0.7");
        QCOMPARE(SetupDialogueStep(0, v).Command, QStringLiteral("J 80x"));
        QCOMPARE(SetupDialogueStep(15, v).Command, QStringLiteral("&B"));
        QCOMPARE(SetupDialogueStep(13, v).Command, QStringLiteral("%K2:ab:cd"));
        QCOMPARE(SetupDialogueStep(33, v).Command, QStringLiteral("I10.0.0.7"));
    }

    void commandOnTheWire()
    {
        QCOMPARE(SetupCommandBytes(QStringLiteral("J23")), QByteArray("J23\r\n"));
        QCOMPARE(SetupCommandBytes(QStringLiteral("R")), QByteArray("R\r\n"));
        QCOMPARE(QByteArray(SetupCommandLogEnd), QByteArray(" | "));
    }

    void prompt_data()
    {
        QTest::addColumn<QByteArray>("chunk");
        QTest::addColumn<bool>("prompt");
        QTest::newRow("prompt") << QByteArray("TCP/IP Port (23) >") << true;
        QTest::newRow("text without prompt") << QByteArray("QBX77 remote setup\r\n") << false;
        QTest::newRow("two prompts are one") << QByteArray("a> b>") << true;
        QTest::newRow("prompt at the start") << QByteArray(">") << true;
        QTest::newRow("empty") << QByteArray() << false;
    }
    void prompt()
    {
        QFETCH(QByteArray, chunk);
        QFETCH(bool, prompt);
        QCOMPARE(IsConsolePrompt(chunk), prompt);
    }

    void readout_data()
    {
        QTest::addColumn<QByteArray>("piece");
        QTest::addColumn<vsp::ReadoutAction>("action");
        QTest::newRow("greeting") << QByteArray("\r\nQBX77 remote setup v1.3\r\n")
                                  << ReadoutAction::AnswerGreeting;
        QTest::newRow("key prompt")
            << QByteArray("Press <Enter> to continue") << ReadoutAction::AnswerKeyPrompt;
        QTest::newRow("settings text")
            << QByteArray("IP address: 192.168.1.1\r\nMask: ...") << ReadoutAction::Copy;
        QTest::newRow("end marker")
            << QByteArray("Serial: 9600,8,N,1\r\nReboot (Y/N)?") << ReadoutAction::CopyAndClose;
        QTest::newRow("greeting and end marker")
            << QByteArray("QBX77 remote setup\r\nReboot") << ReadoutAction::AnswerGreeting;
        QTest::newRow("key prompt and end marker")
            << QByteArray("<Enter> Reboot") << ReadoutAction::AnswerKeyPrompt;
        QTest::newRow("greeting and key prompt")
            << QByteArray("QBX77 remote setup <Enter>") << ReadoutAction::AnswerGreeting;
        QTest::newRow("case counts: greeting")
            << QByteArray("qbx77 REMOTE SETUP") << ReadoutAction::Copy;
        QTest::newRow("case counts: key prompt") << QByteArray("<ENTER>") << ReadoutAction::Copy;
        QTest::newRow("case counts: end marker") << QByteArray("reboot") << ReadoutAction::Copy;
        QTest::newRow("greeting cut in two") << QByteArray("QBX77 remote") << ReadoutAction::Copy;
        QTest::newRow("empty") << QByteArray() << ReadoutAction::Copy;
    }
    void readout()
    {
        QFETCH(QByteArray, piece);
        QFETCH(vsp::ReadoutAction, action);
        QCOMPARE(ClassifyConsolePiece(piece), action);
    }

    // What a window shows of a console's line: at most the line limit, the cut marked once
    // per line, whatever the line ends with and however the line comes in pieces.
    void longLinesCut_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("column"); // of the line the text continues
        QTest::addColumn<QByteArray>("shown");
        QTest::addColumn<int>("columnAfter");
        const int limit = ConsoleLineLimit;
        const QByteArray marker(ConsoleCutMarker);
        const QByteArray full(limit, 'x');
        QTest::newRow("short lines unchanged")
            << QByteArray("a\r\nbc\rd\ne") << 0 << QByteArray("a\r\nbc\rd\ne") << 1;
        QTest::newRow("empty") << QByteArray() << 7 << QByteArray() << 7;
        QTest::newRow("exactly the limit") << full << 0 << full << limit;
        QTest::newRow("one more") << full + "y" << 0 << full + marker << limit + 1;
        QTest::newRow("1 MiB line")
            << QByteArray(1 << 20, 'z') << 0 << QByteArray(limit, 'z') + marker << limit + 1;
        QTest::newRow("cut, then the next line whole")
            << full + "yy\r\nnext" << 0 << full + marker + "\r\nnext" << 4;
        QTest::newRow("continues a line near the limit")
            << QByteArray("abcdef") << limit - 2 << QByteArray("ab") + marker << limit + 1;
        QTest::newRow("continues a line already cut")
            << QByteArray("more\nnew") << limit + 1 << QByteArray("\nnew") << 3;
        QTest::newRow("a lone CR ends the line too")
            << full + "!\r" + full << 0 << full + marker + "\r" + full << limit;
    }
    void longLinesCut()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, column);
        QFETCH(QByteArray, shown);
        QFETCH(int, columnAfter);
        QCOMPARE(CutLongLines(text, &column), shown);
        QCOMPARE(column, columnAfter);
    }

    void lastLines_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("lines");
        QTest::addColumn<QByteArray>("tail");
        QTest::newRow("fewer than kept") << QByteArray("a\r\nb") << 3 << QByteArray("a\r\nb");
        QTest::newRow("last two") << QByteArray("a\nb\nc") << 2 << QByteArray("b\nc");
        QTest::newRow("final break stays")
            << QByteArray("a\r\nb\r\nc\r\n") << 2 << QByteArray("b\r\nc\r\n");
        QTest::newRow("CR LF is one break") << QByteArray("a\r\nb\r\nc") << 1 << QByteArray("c");
        QTest::newRow("lone CRs") << QByteArray("a\rb\rc") << 2 << QByteArray("b\rc");
        QTest::newRow("no line kept") << QByteArray("a\nb") << 0 << QByteArray();
    }
    void lastLines()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, lines);
        QFETCH(QByteArray, tail);
        QCOMPARE(LastLines(text, lines), tail);
    }

    // A read-out's share of the report: a real console's print-out whole; past 2,000 lines
    // or 256 KB the rest is left out and the read-out is to end.
    void readoutBound_data()
    {
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<int>("fullAt"); // index of the piece that fills the report, or -1
        QTest::addColumn<int>("linesShown");
        QTest::addColumn<int>("lastSize"); // of what the last piece put into the report
        const QByteArray printout = "\r\n*** Basic parameters\r\nIP addr 192.168.1.1\r\nChange "
                                    "setting: 9 Save and Reboot\r\n";
        QTest::newRow("real print-out")
            << QList<QByteArray> { printout } << -1 << 5 << int(printout.size());
        QByteArray lines;
        for (int i = 0; i < 3000; ++i)
            lines += "line " + QByteArray::number(i) + "\r\n";
        QTest::newRow("3,000 lines in one piece")
            << QList<QByteArray> { lines } << 0 << ReadoutLineLimit << -1;
        QTest::newRow("one line a piece") << QList<QByteArray>(2500, QByteArray("x"))
                                          << ReadoutLineLimit - 1 << ReadoutLineLimit << 1;
        QTest::newRow("100 lines of 4 KB and more")
            << QList<QByteArray>(100, QByteArray(5000, 'w') + "\r\n") << 63 << 127 << -1;
    }
    void readoutBound()
    {
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(int, fullAt);
        QFETCH(int, linesShown);
        QFETCH(int, lastSize);
        ReadoutBound bound;
        int lines = 0;
        qint64 bytes = 0;
        int full = -1;
        QByteArray last;
        for (int i = 0; i < pieces.size() && full < 0; ++i) {
            const ReadoutBound::Taken t = bound.Take(pieces[i]);
            last = t.Text;
            bytes += t.Text.size();
            lines += 1 + int(t.Text.count('\n'));
            if (t.Full) full = i;
        }
        QCOMPARE(full, fullAt);
        QCOMPARE(lines, linesShown);
        QVERIFY(lines <= ReadoutLineLimit);
        QVERIFY(bytes <= ReadoutByteLimit + qint64(sizeof ConsoleCutMarker) + 2);
        if (lastSize >= 0) QCOMPARE(int(last.size()), lastSize);
        // Nothing of a line past the limit shows, bar the marker.
        for (const QByteArray& line : last.split('\n'))
            QVERIFY(line.size() <= ConsoleLineLimit + qsizetype(sizeof ConsoleCutMarker) + 1);
    }
};

QTEST_GUILESS_MAIN(TstSetupDialogue)
#include "tst_setup_dialogue.moc"
