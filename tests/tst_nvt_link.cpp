// The Telnet side of the data link end to end: the window with an in-memory port on one
// side and the simulated module over loopback TCP on the other. The module checks what it
// receives with its own Telnet parser and its own TEA, so nothing here is compared against
// this program's codecs.
//
// "Nothing was sent" and "nothing reached the port" are never judged by waiting a while:
// a marker is sent after the step in the same direction, and the marker must be all that
// arrived. TCP keeps the order, so anything sent by the step would have come first.

#include "app/Controls.h"
#include "app/Dialogs.h"
#include "link/Sockets.h"
#include "link/Tea.h"
#include "tests/support/FormHarness.h"
#include "tests/support/SimModule.h"
#include "tests/support/TestSupport.h"

#include <QCheckBox>
#include <QJsonArray>
#include <QLabel>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <functional>
#include <sys/socket.h>

using namespace vsp;
using vsptest::FormHarness;
using vsptest::Hex;
using vsptest::HoldTicks;
using vsptest::SimModule;
using vsptest::Ticks;

namespace {

constexpr int KeepCheckTicks = 3001; // one keep-connection check every 3,001 ticks

enum class Mode { Client, Server };

// A window and a simulated module, linked in client or server mode. The program's side of
// the port is opened as soon as the window has created it.
struct Link {
    SimModule sim;
    FormHarness w;
    QString error; // why Up() failed

    using Setup = std::function<void(FormHarness&)>;

    // Starts the module (sink mode unless the arguments say otherwise), lets `setup` set
    // the window's options, creates and opens the port and waits until both ends see the
    // connection.
    bool Up(Mode mode, const QStringList& simArgs = {}, const Setup& setup = {})
    {
        if (!Start(simArgs)) return false;
        if (mode == Mode::Client) {
            w.Aim(sim.DataPort());
        } else {
            w.Aim(1, vsptest::FreeLoopbackPort());
            w->TCPServerModeCheckBox->setChecked(true);
        }
        w->NVTEnabledCheckBox->setChecked(true);
        if (setup) setup(w);
        w->CreateCOMBitBtnClick();
        w.port->Open();
        if (mode == Mode::Server) {
            const int port = w->VSPServerSocket->LocalPort();
            if (port <= 0 || !sim.ConnectTo(QStringLiteral("127.0.0.1"), quint16(port))) {
                error = QStringLiteral("the module could not be pointed at the server");
                return false;
            }
        }
        return Connected();
    }

    bool Start(const QStringList& simArgs)
    {
        if (!sim.Start(
                QStringList { QStringLiteral("--mode"), QStringLiteral("sink") } + simArgs)) {
            error = sim.ErrorString();
            return false;
        }
        return true;
    }

    // Waits until the window has a data connection and the module has seen it.
    bool Connected(qsizetype from = 0)
    {
        if (!sim.WaitForEvent(QStringLiteral("connected"), 5000, from)
            || !QTest::qWaitFor([this] { return w->Link->DataConnection() != nullptr; }, 5000)) {
            error = QStringLiteral("no connection: ") + sim.Describe();
            return false;
        }
        return true;
    }

    // The program writes `marker` and the flush sends it (outside the timer's count of
    // ticks); true once the module holds exactly `before` followed by the marker.
    bool ModuleGetsOnly(const QByteArray& before, const QByteArray& marker = "Z")
    {
        w.port->ProgramWrites(marker);
        w->FlushPending();
        const qsizetype want = before.size() + marker.size();
        if (!sim.WaitForReceived(want))
            error = QStringLiteral("the marker did not arrive: ") + sim.Describe();
        QTest::qWait(20); // anything sent beyond the marker would show up now
        const QByteArray got = sim.Received();
        if (got != before + marker) {
            error = QStringLiteral("module received %1, expected %2")
                        .arg(QString::fromLatin1(got.toHex(' ')),
                            QString::fromLatin1((before + marker).toHex(' ')));
            return false;
        }
        return true;
    }

    // The module sends one block and the window has read it (all of it, in one read).
    bool ModuleSends(const QByteArray& block)
    {
        const int32_t rx = w->Link->LanRxCount();
        if (!sim.SendBytes(block)
            || !QTest::qWaitFor([&] { return w->Link->LanRxCount() == rx + block.size(); }, 5000)) {
            error = QStringLiteral("the block did not arrive: ") + sim.Describe();
            return false;
        }
        return true;
    }

    // Server mode: the module ends its connection, the window sees it go, and the module
    // connects again.
    bool ModuleComesBack()
    {
        const qsizetype mark = sim.Mark();
        if (!sim.Close()
            || !QTest::qWaitFor([this] { return w->Link->DataConnection() == nullptr; }, 5000)
            || !sim.ConnectTo(
                QStringLiteral("127.0.0.1"), quint16(w->VSPServerSocket->LocalPort()))) {
            error = QStringLiteral("the module did not come back: ") + sim.Describe();
            return false;
        }
        return Connected(mark);
    }

    int LogCount(const QString& line) const { return int(w.LogLines().count(line)); }
};

} // namespace

class TstNvtLink : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // ---- 0xFF escaping and Telnet commands from the module ----

    void programBytesToModule_data()
    {
        QTest::addColumn<bool>("filter");
        QTest::addColumn<QByteArray>("written");
        QTest::addColumn<QByteArray>("onWire");
        QTest::newRow("0xFF doubled") << true << Hex("ff") << Hex("ffff");
        QTest::newRow("each 0xFF doubled, others as they are")
            << true << Hex("41ff42ffff0d0a00") << Hex("41ffff42ffffffff0d0a00");
        QTest::newRow("filter clear: unchanged") << false << Hex("ff41fff1") << Hex("ff41fff1");
    }
    void programBytesToModule()
    {
        QFETCH(bool, filter);
        QFETCH(QByteArray, written);
        QFETCH(QByteArray, onWire);
        Link l;
        QVERIFY2(l.Up(Mode::Client, {},
                     [&](FormHarness& w) { w->NVTFilterCheckBox->setChecked(filter); }),
            qPrintable(l.error));
        l.w.port->ProgramWrites(written);
        QCOMPARE(l.w->Link->SerialRxCount(), onWire.size()); // counted after doubling
        QVERIFY2(l.ModuleGetsOnly(onWire), qPrintable(l.error));
        QCOMPARE(l.w->Link->LanTxCount(), onWire.size() + 1);
    }

    void moduleBlocksToPort_data()
    {
        QTest::addColumn<bool>("filter");
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<QByteArray>("toPort");
        QTest::newRow("escaped 0xFF inside") << true << Hex("41ffff42") << Hex("41ff42");
        QTest::newRow("escaped 0xFF at the front keeps one 0xFF")
            << true << Hex("ffff41") << Hex("ff41");
        QTest::newRow("two escaped 0xFF") << true << Hex("ffffffff") << Hex("ffff");
        QTest::newRow("NOP in front") << true << Hex("fff14142") << Hex("4142");
        QTest::newRow("two NOPs in front") << true << Hex("fff1fff141") << Hex("41");
        QTest::newRow("ser2net's opening negotiation, then data")
            << true << Hex("fffb03fffd03fffb01fffe01fffd00fffb00fffd2c4849") << Hex("4849");
        QTest::newRow("server's RFC 2217 answer, then data")
            << true << Hex("fffa2c6500002580fff041") << Hex("41");
        QTest::newRow("command after the first data byte goes")
            << true << Hex("41fff142") << Hex("4142");
        QTest::newRow("server's RFC 2217 answer between data")
            << true << Hex("414243fffa2c650001c200fff0444546") << Hex("414243444546");
        QTest::newRow("unescaped 0xFF before a plain byte: both data")
            << true << Hex("41ff42") << Hex("41ff42");
        QTest::newRow("subnegotiation cut at the block end")
            << true << Hex("fffa2c0100") << QByteArray();
        QTest::newRow("only a negotiation") << true << Hex("fffd2c") << QByteArray();
        QTest::newRow("filter clear: 0xFF pairs unchanged")
            << false << Hex("ffff41ffff") << Hex("ffff41ffff");
        QTest::newRow("filter clear: commands unchanged")
            << false << Hex("fffb03fff141") << Hex("fffb03fff141");
    }

    // A read takes what TCP has (at most 512 bytes), so the module's escaped 0xFF or a
    // command at the front can arrive cut in two.
    void moduleBlocksSplitBetweenReads_data()
    {
        QTest::addColumn<QList<QByteArray>>("blocks");
        QTest::addColumn<QByteArray>("toPort");
        QTest::newRow("escaped 0xFF cut in two")
            << QList<QByteArray> { Hex("41ff"), Hex("ff42") } << Hex("41ff42");
        QTest::newRow("cut pair, then more escaped 0xFF")
            << QList<QByteArray> { Hex("ff"), Hex("ffffff41") } << Hex("ffff41");
        QTest::newRow("cut pair at a 512-byte read")
            << QList<QByteArray> { QByteArray(511, 'a') + Hex("ffff") + Hex("ffff") + "b" }
            << QByteArray(511, 'a') + Hex("ffff") + "b";
        QTest::newRow("lone 0xFF waits for the next read: an escape")
            << QList<QByteArray> { Hex("ff"), Hex("ff41") } << Hex("ff41");
        QTest::newRow("lone 0xFF at the front waits for the next read: a command")
            << QList<QByteArray> { Hex("ff"), Hex("f141") } << Hex("41");
        QTest::newRow("0xFF after data, then a command byte: the command goes")
            << QList<QByteArray> { Hex("41ff"), Hex("f142") } << Hex("4142");
        QTest::newRow("0xFF after data, then a negotiation's bytes: the negotiation goes")
            << QList<QByteArray> { Hex("41ff"), Hex("fb0342") } << Hex("4142");
        QTest::newRow("server's answer after data, cut inside its value")
            << QList<QByteArray> { Hex("414243fffa2c6500"), Hex("01c200fff0444546") }
            << Hex("414243444546");
        QTest::newRow("negotiation cut before its option")
            << QList<QByteArray> { Hex("fffb"), Hex("0342") } << Hex("42");
        QTest::newRow("server's RFC 2217 answer cut in two")
            << QList<QByteArray> { Hex("fffa2c650001"), Hex("c200fff041") } << Hex("41");
        // An empty block: the user clears "NVT filter" there.
        QTest::newRow("filter cleared while a lone 0xFF waits: it is data")
            << QList<QByteArray> { Hex("41ff"), QByteArray(), Hex("42") } << Hex("41ff42");
    }
    void moduleBlocksSplitBetweenReads()
    {
        QFETCH(QList<QByteArray>, blocks);
        QFETCH(QByteArray, toPort);
        Link l;
        // The timer stands still: a lone 0xFF waits for the next read however slow the
        // machine is.
        QVERIFY2(l.Up(Mode::Client, {},
                     [](FormHarness& w) {
                         w->NVTFilterCheckBox->setChecked(true);
                         HoldTicks(w.form.get());
                     }),
            qPrintable(l.error));
        for (const QByteArray& block : blocks) {
            if (block.isEmpty())
                l.w->NVTFilterCheckBox->setChecked(false);
            else
                QVERIFY2(l.ModuleSends(block), qPrintable(l.error));
        }
        QVERIFY2(l.ModuleSends("Z"), qPrintable(l.error));
        QCOMPARE(l.w.port->Output.toHex(' '), (toPort + "Z").toHex(' '));
    }
    void moduleBlocksToPort()
    {
        QFETCH(bool, filter);
        QFETCH(QByteArray, block);
        QFETCH(QByteArray, toPort);
        Link l;
        QVERIFY2(l.Up(Mode::Client, {},
                     [&](FormHarness& w) { w->NVTFilterCheckBox->setChecked(filter); }),
            qPrintable(l.error));
        QVERIFY2(l.ModuleSends(block), qPrintable(l.error));
        QCOMPARE(l.w->Link->LanRxCount(), block.size()); // counted before any filtering
        QCOMPARE(l.w.port->Output, toPort);
        QCOMPARE(l.w->Link->SerialTxCount(), toPort.size());
        // What the block left unfinished ends with the next one (IAC SE closes a cut
        // subnegotiation, and is itself a command that goes).
        QVERIFY2(l.ModuleSends(filter ? Hex("fff05a") : QByteArray("Z")), qPrintable(l.error));
        QCOMPARE(l.w.port->Output, toPort + "Z");
    }

    // Malformed input costs bounded data and is never silent: a lone IAC is data once 0.2 s
    // have passed without the byte that would make it a command; a subnegotiation that runs
    // past 64 bytes is given up with one log line per connection.
    void malformedInputFromModule()
    {
        const QString overlong
            = QStringLiteral("Telnet subnegotiation from module longer than 64 bytes, dropped");
        Link l;
        QVERIFY2(l.Up(Mode::Server, {},
                     [](FormHarness& w) {
                         w->NVTFilterCheckBox->setChecked(true);
                         HoldTicks(w.form.get());
                     }),
            qPrintable(l.error));
        TMainForm* f = l.w.form.get();
        QVERIFY2(l.ModuleSends(Hex("41ff")), qPrintable(l.error));
        Ticks(f, TDataLink::NvtIacWaitLimitTicks - 1);
        QCOMPARE(l.w.port->Output.toHex(' '), QByteArray("41"));
        Ticks(f, 1);
        QCOMPARE(l.w.port->Output.toHex(' '), QByteArray("41 ff"));
        QCOMPARE(l.w->Link->SerialTxCount(), 2);
        // What comes later is read afresh: F1 alone is data.
        QVERIFY2(l.ModuleSends(Hex("f142")), qPrintable(l.error));
        QCOMPARE(l.w.port->TakeOutput().toHex(' '), QByteArray("41 ff f1 42"));

        const QByteArray tooLong = Hex("fffa2c") + QByteArray(61, 'x') + "B";
        for (int connection = 1; connection <= 2; ++connection) {
            if (connection > 1) QVERIFY2(l.ModuleComesBack(), qPrintable(l.error));
            QVERIFY2(l.ModuleSends(tooLong), qPrintable(l.error));
            QVERIFY2(l.ModuleSends(tooLong), qPrintable(l.error));
            QCOMPARE(l.w.port->TakeOutput(), QByteArray("BB"));
            QCOMPARE(l.LogCount(overlong), connection);
        }

        // A lone IAC still waiting when the next connection comes is data, also while the
        // program is behind: it goes behind the bytes the port has not taken yet.
        l.w.port->Capacity = 1;
        QVERIFY2(l.ModuleSends(Hex("4142ff")), qPrintable(l.error));
        QCOMPARE(l.w.port->Output.toHex(' '), QByteArray("41"));
        QVERIFY2(l.ModuleComesBack(), qPrintable(l.error));
        l.w.port->Capacity = -1;
        QCOMPARE(l.w.port->TakeOutput().toHex(' '), QByteArray("41"));
        QTRY_COMPARE(l.w.port->Output.toHex(' '), QByteArray("42 ff"));
    }

    // ---- Keep-connection message ----

    void keepConnectionOnIdleLink()
    {
        Link l;
        QVERIFY2(l.Up(Mode::Client, { QStringLiteral("--telnet") },
                     [](FormHarness& w) { w->NVTKeepCheckBox->setChecked(true); }),
            qPrintable(l.error));
        TMainForm* f = l.w.form.get();
        HoldTicks(f);
        QTest::qWait(20); // the connection's first write event
        f->SendKeepConnection(); // a check now: the cycle starts here
        f->OnVSPClientSocketWrite(nullptr); // and the link was just active
        const QString sentLine = QStringLiteral("Keep connection message sent");
        QByteArray data; // what the module must hold, markers included
        auto nops = [&] { return l.sim.EventsNamed(QStringLiteral("nop")).size(); };
        auto marker = [&](const char* m) {
            data += m;
            l.w.port->ProgramWrites(m);
            f->FlushPending(); // outgoing data is no link activity
            return l.sim.WaitForReceived(data.size());
        };

        // Idle: the first check only notes the idleness, the second sends IAC NOP.
        Ticks(f, 2 * KeepCheckTicks - 1);
        QVERIFY(marker("a"));
        QCOMPARE(nops(), 0);
        Ticks(f, 1);
        QVERIFY(l.sim.WaitForEvent(QStringLiteral("nop")));
        QCOMPARE(l.LogCount(sentLine), 1);
        QCOMPARE(l.w->Link->LanTxCount(), 1); // the message is not counted; the marker is
        // ... and again after two more checks.
        Ticks(f, 2 * KeepCheckTicks);
        QVERIFY(marker("b"));
        QTRY_COMPARE(nops(), 2);
        QCOMPARE(l.LogCount(sentLine), 2);
        QCOMPARE(l.sim.Received(), QByteArray("ab")); // IAC NOP is no data for the module

        // The module talks between checks: nothing is sent however long it goes on.
        for (int i = 0; i < 4; ++i) {
            QVERIFY2(l.ModuleSends("m"), qPrintable(l.error));
            Ticks(f, KeepCheckTicks);
        }
        QVERIFY(marker("c"));
        QCOMPARE(nops(), 2);
        // Quiet again: the cycle restarts.
        Ticks(f, 2 * KeepCheckTicks);
        QTRY_COMPARE(nops(), 3);

        // "Keep connection" clear: never.
        l.w->NVTKeepCheckBox->setChecked(false);
        Ticks(f, 4 * KeepCheckTicks);
        QVERIFY(marker("d"));
        QCOMPARE(nops(), 3);
        // Checked again on an idle link: the first message waits for the second check.
        l.w->NVTKeepCheckBox->setChecked(true);
        Ticks(f, KeepCheckTicks);
        QVERIFY(marker("e"));
        QCOMPARE(nops(), 3);
        Ticks(f, KeepCheckTicks);
        QTRY_COMPARE(nops(), 4);
        QCOMPARE(l.LogCount(sentLine), 4);
        QCOMPARE(l.sim.Received(), QByteArray("abcde"));
    }

    void keepConnectionWithoutLinkSendsNothing()
    {
        FormHarness w;
        HoldTicks(w.form.get());
        w->NVTEnabledCheckBox->setChecked(true);
        w->NVTKeepCheckBox->setChecked(true);
        Ticks(w.form.get(), 4 * KeepCheckTicks);
        QVERIFY(!w.LogLines().contains(QStringLiteral("Keep connection message sent")));
    }

    // ---- Option boxes ----

    void nvtEnableGatesTheThreeOptions()
    {
        FormHarness w;
        const QList<QCheckBox*> options { w->NVTFilterCheckBox, w->NVTPortSetupCheckBox,
            w->NVTKeepCheckBox };
        w->NVTEnabledCheckBox->setChecked(true);
        for (QCheckBox* b : options) {
            QVERIFY(b->isEnabled());
            b->setChecked(true);
        }
        w->NVTEnabledCheckBox->setChecked(false);
        for (QCheckBox* b : options) {
            QVERIFY2(!b->isEnabled(), qPrintable(b->text()));
            QVERIFY2(!b->isChecked(), qPrintable(b->text()));
        }
        w->NVTEnabledCheckBox->setChecked(true);
        for (QCheckBox* b : options) {
            QVERIFY2(b->isEnabled(), qPrintable(b->text()));
            QVERIFY2(!b->isChecked(), qPrintable(b->text()));
        }
        // Enabling leaves the states as they are.
        w->NVTFilterCheckBox->setChecked(true);
        w->NVTEnabledCheckBox->setChecked(false);
        w->NVTEnabledCheckBox->setChecked(true);
        QVERIFY(!w->NVTFilterCheckBox->isChecked());
    }

    // ---- TEA ----

    void teaChallengeAnswered_data()
    {
        QTest::addColumn<QStringList>("boxes"); // empty: the form's default key
        QTest::addColumn<QStringList>("moduleKey");
        QTest::addColumn<bool>("filter");
        QTest::newRow("default key") << QStringList() << QStringList() << false;
        QTest::newRow("key typed in the boxes")
            << QStringList { "01234567", "89abcdef", "FEDCBA98", "76543210" }
            << QStringList { "01234567", "89ABCDEF", "FEDCBA98", "76543210" } << false;
        QTest::newRow("short words, NVT filter on")
            << QStringList { "1", "0", "FFFFFFFF", "abc" }
            << QStringList { "00000001", "00000000", "FFFFFFFF", "00000ABC" } << true;
    }
    void teaChallengeAnswered()
    {
        QFETCH(QStringList, boxes);
        QFETCH(QStringList, moduleKey);
        QFETCH(bool, filter);
        QStringList args { "--tea", "--tea-extra", "41ff42" };
        if (!moduleKey.isEmpty()) args << "--tea-key" << moduleKey;
        Link l;
        QVERIFY2(l.Up(Mode::Client, args,
                     [&](FormHarness& w) {
                         w->TEAEnabledCheckBox->setChecked(true);
                         w->NVTFilterCheckBox->setChecked(filter);
                         if (!boxes.isEmpty()) {
                             w->UKEdit1->setText(boxes[0]);
                             w->UKEdit2->setText(boxes[1]);
                             w->UKEdit3->setText(boxes[2]);
                             w->UKEdit4->setText(boxes[3]);
                         }
                     }),
            qPrintable(l.error));
        const auto verdict = l.sim.WaitForEvent(QStringLiteral("tea"));
        QVERIFY2(verdict, qPrintable(l.sim.Describe()));
        QVERIFY2(verdict->value(QStringLiteral("ok")).toBool(), qPrintable(l.sim.Describe()));
        QVERIFY(l.w->Link->TeaAnswered());
        QTRY_COMPARE(l.w->Link->LanRxCount(), 12 + 3);
        // The data behind the challenge went with it; later blocks are data.
        QVERIFY2(l.ModuleSends("C"), qPrintable(l.error));
        QCOMPARE(l.w.port->Output, QByteArray("C"));
        // The module took the 12 characters as the answer and nothing else came.
        QVERIFY2(l.ModuleGetsOnly({}), qPrintable(l.error));
        QCOMPARE(l.w->Link->LanTxCount(), 1); // the answer is not relay data
        QCOMPARE(l.w.boxes.size(), 0);
    }

    void teaBadCheckByte()
    {
        Link l;
        QVERIFY2(l.Up(Mode::Client, { "--tea", "--tea-bad-check" },
                     [](FormHarness& w) { w->TEAEnabledCheckBox->setChecked(true); }),
            qPrintable(l.error));
        QTRY_VERIFY(l.w.LogLines().contains(QStringLiteral("Input TEA string CRC error")));
        QVERIFY(l.w->Link->TeaAnswered());
        QVERIFY2(l.ModuleGetsOnly({}), qPrintable(l.error)); // no answer went out
        QVERIFY2(l.ModuleSends("C"), qPrintable(l.error));
        QCOMPARE(l.w.port->Output, QByteArray("C"));
        QVERIFY(l.w->Link->DataConnection());
    }

    void teaInvalidKeyBox_data()
    {
        QTest::addColumn<int>("box");
        QTest::addColumn<QString>("text");
        QTest::newRow("not hexadecimal") << 2 << "XYZ";
        QTest::newRow("empty") << 4 << "";
        QTest::newRow("with a prefix") << 1 << "0x12";
        QTest::newRow("with a blank") << 3 << "12 34";
    }
    void teaInvalidKeyBox()
    {
        QFETCH(int, box);
        QFETCH(QString, text);
        Link l;
        // The module keeps the link whatever it receives as the answer.
        QVERIFY2(l.Up(Mode::Client, { "--tea", "--tea-on-fail", "keep" },
                     [&](FormHarness& w) {
                         w->TEAEnabledCheckBox->setChecked(true);
                         TLabeledEdit* edits[] = { w->UKEdit1, w->UKEdit2, w->UKEdit3, w->UKEdit4 };
                         edits[box - 1]->setText(text);
                     }),
            qPrintable(l.error));
        QTRY_COMPARE(l.w.boxes.size(), 1);
        const MessageBoxRequest& r = l.w.boxes.first();
        QCOMPARE(r.Text, TeaKeyErrorText(box, text));
        QVERIFY2(r.Text.contains(QStringLiteral("word %1").arg(box)), qPrintable(r.Text));
        QCOMPARE(r.Caption, ApplicationTitle());
        QCOMPARE(r.Icon, MsgIcon::Error);
        QCOMPARE(r.Buttons, MsgButtons::Ok);
        QVERIFY(l.w->Link->TeaAnswered());
        QVERIFY(!l.w->Terminated);

        // Nothing went out: the first 12 bytes the module sees are the program's data.
        l.w.port->ProgramWrites("ZZZZZZZZZZZZ");
        l.w->FlushPending();
        const auto verdict = l.sim.WaitForEvent(QStringLiteral("tea"));
        QVERIFY2(verdict, qPrintable(l.sim.Describe()));
        QCOMPARE(
            verdict->value(QStringLiteral("response")).toString(), QStringLiteral("ZZZZZZZZZZZZ"));
        // The link stays up and carries data.
        QVERIFY2(l.ModuleSends("C"), qPrintable(l.error));
        QCOMPARE(l.w.port->Output, QByteArray("C"));
        QCOMPARE(l.w->LANStatusClientLabel->text(), QStringLiteral("Connected"));
        QCOMPARE(l.w.boxes.size(), 1);
    }

    void teaEveryServerConnectionChallenged()
    {
        Link l;
        QVERIFY2(l.Up(Mode::Server, { "--tea" },
                     [](FormHarness& w) { w->TEAEnabledCheckBox->setChecked(true); }),
            qPrintable(l.error));
        for (int round = 1; round <= 2; ++round) {
            if (round > 1) {
                const qsizetype mark = l.sim.Mark();
                QVERIFY(l.sim.Close());
                QTRY_VERIFY(!l.w->Link->DataConnection());
                QCOMPARE(l.w->LANStatusServerLabel->text(), QStringLiteral("Listen"));
                QVERIFY(l.sim.ConnectTo(
                    QStringLiteral("127.0.0.1"), quint16(l.w->VSPServerSocket->LocalPort())));
                QVERIFY2(l.Connected(mark), qPrintable(l.error));
            }
            QTRY_COMPARE(l.sim.EventsNamed(QStringLiteral("tea")).size(), round);
            const QJsonObject verdict = l.sim.EventsNamed(QStringLiteral("tea")).last();
            QVERIFY2(verdict.value(QStringLiteral("ok")).toBool(), qPrintable(l.sim.Describe()));
            l.w.port->TakeOutput();
            QVERIFY2(l.ModuleSends("C"), qPrintable(l.error));
            QCOMPARE(l.w.port->Output, QByteArray("C"));
        }
    }

    // A module that only answers never sends a challenge: the program's bytes wait 3 s for
    // one and then go out unanswered, once per connection. A challenge that still comes is
    // the connection's first block all the same.
    void teaWaitEndsWhenNoChallengeComes_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("client") << int(Mode::Client);
        QTest::newRow("server") << int(Mode::Server);
    }
    void teaWaitEndsWhenNoChallengeComes()
    {
        QFETCH(int, mode);
        const QString line
            = QStringLiteral("No TEA challenge from module, data sent without authentication");
        Link l;
        QVERIFY2(l.Up(Mode(mode), {},
                     [](FormHarness& w) {
                         w->TEAEnabledCheckBox->setChecked(true);
                         HoldTicks(w.form.get());
                     }),
            qPrintable(l.error));
        l.w.port->ProgramWrites("abc");
        Ticks(l.w.form.get(), 598);
        QCOMPARE(l.w->Link->PendingCount(), 3);
        QCOMPARE(l.LogCount(line), 0);
        Ticks(l.w.form.get(), 4);
        QCOMPARE(l.LogCount(line), 1);
        QVERIFY2(l.sim.WaitForReceived(3), qPrintable(l.sim.Describe()));
        QCOMPARE(l.sim.Received(), QByteArray("abc"));
        Ticks(l.w.form.get(), 1000);
        QCOMPARE(l.LogCount(line), 1);
        QVERIFY2(l.ModuleSends("C"), qPrintable(l.error));
        QVERIFY(l.w->Link->TeaAnswered());
        QVERIFY(l.w.port->Output.isEmpty());
    }

    // Bytes the program wrote before the module connected must not reach it ahead of the
    // answer: the module would take them for the response and drop the link.
    void teaAnswerGoesAheadOfStoredBytes_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("client") << int(Mode::Client);
        QTest::newRow("server") << int(Mode::Server);
    }
    void teaAnswerGoesAheadOfStoredBytes()
    {
        QFETCH(int, mode);
        Link l;
        QVERIFY2(l.Start({ "--tea" }), qPrintable(l.error));
        QVERIFY(l.sim.Ok(QJsonObject { { "cmd", "pause_accept" } }));
        l.w->TEAEnabledCheckBox->setChecked(true);
        l.w->NVTEnabledCheckBox->setChecked(true);
        if (Mode(mode) == Mode::Client) {
            l.w.Aim(l.sim.DataPort());
            l.w->ConnectClosedCheckBox->setChecked(false);
        } else {
            l.w.Aim(1, vsptest::FreeLoopbackPort());
            l.w->TCPServerModeCheckBox->setChecked(true);
        }
        l.w->CreateCOMBitBtnClick();
        l.w.port->Open();
        l.w.port->ProgramWrites("stored while down");
        l.w->FlushPending();
        QCOMPARE(l.w->Link->PendingCount(), 17);
        if (Mode(mode) == Mode::Client)
            QVERIFY(l.sim.Ok(QJsonObject { { "cmd", "resume_accept" } }));
        else
            QVERIFY(l.sim.ConnectTo(
                QStringLiteral("127.0.0.1"), quint16(l.w->VSPServerSocket->LocalPort())));
        QVERIFY2(l.Connected(), qPrintable(l.error));
        // A keep-connection check falling due now must not put its NOP ahead of the answer.
        l.w->NVTKeepCheckBox->setChecked(true);
        l.w->SendKeepConnection(); // one of these two checks finds the link idle
        l.w->SendKeepConnection();
        for (int i = 0; i < 20; ++i) // the flush runs meanwhile and must hold the bytes
            Ticks(l.w.form.get(), 1);
        const auto verdict = l.sim.WaitForEvent(QStringLiteral("tea"));
        QVERIFY2(
            verdict && verdict->value(QStringLiteral("ok")).toBool(), qPrintable(l.sim.Describe()));
        Ticks(l.w.form.get(), 2);
        QVERIFY2(l.sim.WaitForReceived(17), qPrintable(l.sim.Describe()));
        // Once they are out the link may be idle enough for a keep-connection message.
        QCOMPARE(l.sim.Received().replace("\xFF\xF1", ""), QByteArray("stored while down"));
    }

    // ---- Line settings to the module ----

    void portSettingsExample_data()
    {
        QTest::addColumn<bool>("server");
        QTest::newRow("client mode") << false;
        QTest::newRow("server mode") << true;
    }
    void portSettingsExample()
    {
        QFETCH(bool, server);
        Link l;
        QVERIFY2(l.Up(server ? Mode::Server : Mode::Client, {},
                     [](FormHarness& w) { w->NVTPortSetupCheckBox->setChecked(true); }),
            qPrintable(l.error));
        // The program opens the port at 115,200 baud, 8 data bits, no parity, one stop bit
        // and no flow control.
        l.w.port->OnBaudRate(115200);
        QVERIFY(l.sim.WaitForReceived(10));
        QCOMPARE(l.sim.Received(), Hex("fffa2c010001c200fff0"));
        l.w.port->OnLineControl(STOPBITS_ONE, PARITY_NONE, 8);
        QVERIFY(l.sim.WaitForReceived(31));
        l.w.port->OnHandflow(0, 0, 2048, 512);
        const QByteArray frames = Hex("fffa2c010001c200fff0"
                                      "fffa2c0301fff0"
                                      "fffa2c0401fff0"
                                      "fffa2c0208fff0"
                                      "fffa2c0501fff0");
        QVERIFY2(l.ModuleGetsOnly(frames), qPrintable(l.error));
        QCOMPARE(l.w->BaudLabel->text(), QStringLiteral("115200"));
        QCOMPARE(l.w->ParityLabel->text(), QStringLiteral("none"));
        QCOMPARE(l.w->StopBitsLabel->text(), QStringLiteral("1"));
        QCOMPARE(l.w->BitsLabel->text(), QStringLiteral("8"));
        const QStringList log = l.w.LogLines();
        QVERIFY(log.contains(QStringLiteral("Remonte baudrate set")));
        QVERIFY(log.contains(QStringLiteral("Remonte control options set")));
        QVERIFY(log.contains(QStringLiteral("Remonte handshake set")));
        QCOMPARE(l.w->Link->LanTxCount(), 1); // the marker only: frames are not relay data
        QCOMPARE(l.w->Link->SerialRxCount(), 1);
    }

    void portSettingValues_data()
    {
        // "baud" (rate), "line" (stop, parity, bits) or "flow" (handshake, replace)
        QTest::addColumn<QString>("event");
        QTest::addColumn<QList<int>>("values");
        QTest::addColumn<QByteArray>("frames");
        QTest::addColumn<QString>("parityLabel");
        QTest::addColumn<QString>("stopLabel"); // empty: unchanged
        QTest::addColumn<QString>("bitsLabel");
        QTest::newRow("two stop bits")
            << "line" << QList<int> { STOPBITS_TWO, PARITY_NONE, 8 }
            << Hex("fffa2c0301fff0fffa2c0402fff0fffa2c0208fff0") << "none"
            << "2"
            << "8";
        QTest::newRow("one and a half stop bits")
            << "line" << QList<int> { STOPBITS_ONE5, PARITY_ODD, 5 }
            << Hex("fffa2c0302fff0fffa2c0403fff0fffa2c0205fff0") << "odd"
            << "1 1/2"
            << "5";
        QTest::newRow("space parity, 7 bits")
            << "line" << QList<int> { STOPBITS_ONE, PARITY_SPACE, 7 }
            << Hex("fffa2c0305fff0fffa2c0401fff0fffa2c0207fff0") << "space"
            << "1"
            << "7";
        QTest::newRow("parity 7 is unknown")
            << "line" << QList<int> { STOPBITS_ONE, 7, 8 }
            << Hex("fffa2c0300fff0fffa2c0401fff0fffa2c0208fff0") << "unknown"
            << "1"
            << "8";
        // What the pty reports: the module keeps its own data bits and parity.
        QTest::newRow("data bits and parity unknown")
            << "line" << QList<int> { STOPBITS_TWO, PARITY_UNKNOWN, WORDLENGTH_UNKNOWN }
            << Hex("fffa2c0300fff0fffa2c0402fff0fffa2c0200fff0") << "unknown"
            << "2"
            << "-";
        QTest::newRow("stop bits 5: value 6, label kept")
            << "line" << QList<int> { 5, PARITY_EVEN, 8 }
            << Hex("fffa2c0303fff0fffa2c0406fff0fffa2c0208fff0") << "even"
            << ""
            << "8";
        // A value byte 0xFF is doubled, as RFC 854 wants inside a subnegotiation.
        QTest::newRow("baud rate 511: its 0xFF doubled")
            << "baud" << QList<int> { 511 } << Hex("fffa2c01000001fffffff0") << ""
            << ""
            << "";
        QTest::newRow("baud rate 0xFFFFFFFF")
            << "baud" << QList<int> { -1 } << Hex("fffa2c01fffffffffffffffffff0") << ""
            << ""
            << "";
        QTest::newRow("stop bits 254: value 255 doubled")
            << "line" << QList<int> { 254, PARITY_NONE, 8 }
            << Hex("fffa2c0301fff0fffa2c04fffffff0fffa2c0208fff0") << "none"
            << ""
            << "8";
        QTest::newRow("no flow control")
            << "flow" << QList<int> { 0, 0 } << Hex("fffa2c0501fff0") << ""
            << ""
            << "";
        QTest::newRow("XON/XOFF") << "flow"
                                  << QList<int> { 0, SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE }
                                  << Hex("fffa2c0502fff0") << ""
                                  << ""
                                  << "";
        QTest::newRow("RTS/CTS") << "flow"
                                 << QList<int> { SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE }
                                 << Hex("fffa2c0503fff0") << ""
                                 << ""
                                 << "";
        QTest::newRow("DTR and RTS only switched on")
            << "flow" << QList<int> { SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL }
            << Hex("fffa2c0500fff0") << ""
            << ""
            << "";
    }
    void portSettingValues()
    {
        QFETCH(QString, event);
        QFETCH(QList<int>, values);
        QFETCH(QByteArray, frames);
        QFETCH(QString, parityLabel);
        QFETCH(QString, stopLabel);
        QFETCH(QString, bitsLabel);
        Link l;
        QVERIFY2(l.Up(Mode::Client, {},
                     [](FormHarness& w) { w->NVTPortSetupCheckBox->setChecked(true); }),
            qPrintable(l.error));
        l.w->StopBitsLabel->setText(QStringLiteral("before"));
        if (event == QLatin1String("line")) {
            l.w.port->OnLineControl(values[0], values[1], values[2]);
            QCOMPARE(l.w->ParityLabel->text(), parityLabel);
            QCOMPARE(l.w->StopBitsLabel->text(),
                stopLabel.isEmpty() ? QStringLiteral("before") : stopLabel);
            QCOMPARE(l.w->BitsLabel->text(), bitsLabel);
            QCOMPARE(l.w.LogLines().last(), QStringLiteral("Remonte control options set"));
        } else if (event == QLatin1String("baud")) {
            l.w.port->OnBaudRate(values[0]);
            QCOMPARE(l.w->BaudLabel->text(), QString::number(values[0]));
            QCOMPARE(l.w.LogLines().last(), QStringLiteral("Remonte baudrate set"));
        } else {
            l.w.port->OnHandflow(values[0], values[1], 0, 0);
            QCOMPARE(l.w.LogLines().last(), QStringLiteral("Remonte handshake set"));
        }
        QVERIFY2(l.ModuleGetsOnly(frames), qPrintable(l.error));
    }

    // The module's own Telnet parser reads the value and goes on with the data behind it.
    void frameWithValueByte0xFFLeavesTheDataAlone()
    {
        Link l;
        QVERIFY2(l.Up(Mode::Client, { "--telnet" },
                     [](FormHarness& w) {
                         w->NVTFilterCheckBox->setChecked(true);
                         w->NVTPortSetupCheckBox->setChecked(true);
                     }),
            qPrintable(l.error));
        l.w.port->OnBaudRate(511);
        l.w.port->OnLineControl(STOPBITS_ONE, PARITY_NONE, 8);
        QVERIFY2(l.ModuleGetsOnly({}, Hex("41ff42")), qPrintable(l.error));
        const QList<QJsonObject> settings = l.sim.EventsNamed(QStringLiteral("rfc2217"));
        QCOMPARE(settings.size(), 4);
        QCOMPARE(settings[0].value(QStringLiteral("command")).toInt(), 1);
        QCOMPARE(settings[0].value(QStringLiteral("value")).toInt(), 511);
        QCOMPARE(settings[3].value(QStringLiteral("command")).toInt(), 2);
        QCOMPARE(settings[3].value(QStringLiteral("value")).toInt(), 8);
    }

    void portSetupClearSendsNothing()
    {
        Link l;
        QVERIFY2(l.Up(Mode::Client), qPrintable(l.error));
        QVERIFY(!l.w->NVTPortSetupCheckBox->isChecked());
        const QString baud = l.w->BaudLabel->text();
        const QString parity = l.w->ParityLabel->text();
        l.w.port->OnBaudRate(115200);
        l.w.port->OnLineControl(STOPBITS_TWO, PARITY_EVEN, 7);
        l.w.port->OnHandflow(0, 0, 0, 0);
        const QStringList log = l.w.LogLines();
        QCOMPARE(log.mid(log.size() - 3),
            (QStringList { "Can't set remonte baudrate, not connected to module",
                "Remonte control options couldn't be set, not connected to module",
                "Remonte handshake couldn't be set, not connected to module" }));
        QVERIFY2(l.ModuleGetsOnly({}), qPrintable(l.error));
        QCOMPARE(l.w->BaudLabel->text(), baud);
        QCOMPARE(l.w->ParityLabel->text(), parity);
    }

    // A program sets its line right after opening the port, while the connect the open
    // started is still under way: the changes are refused for the moment, shown, and the
    // connection the open made, the only one, is told them at its start.
    void settingsWhileLinkDownGoOutOnConnect()
    {
        Link l;
        QVERIFY2(l.Start({}), qPrintable(l.error));
        FormHarness& w = l.w;
        w.Aim(l.sim.DataPort());
        w->NVTEnabledCheckBox->setChecked(true);
        w->NVTPortSetupCheckBox->setChecked(true);
        w->CreateCOMBitBtnClick(); // the client link opens when the program opens the port
        w.port->Open();
        QVERIFY(w->VSPClientSocket->Connecting());
        w.port->OnBaudRate(115200);
        w.port->OnLineControl(STOPBITS_TWO, PARITY_EVEN, 7);
        w.port->OnHandflow(SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 0, 0);
        const QStringList log = w.LogLines();
        QCOMPARE(log.mid(log.size() - 3),
            (QStringList { "Can't set remonte baudrate, not connected to module",
                "Remonte control options couldn't be set, not connected to module",
                "Remonte handshake couldn't be set, not connected to module" }));
        QCOMPARE(w->BaudLabel->text(), QStringLiteral("115200"));
        QCOMPARE(w->StopBitsLabel->text(), QStringLiteral("2"));
        QCOMPARE(w->ParityLabel->text(), QStringLiteral("even"));
        QCOMPARE(w->BitsLabel->text(), QStringLiteral("7"));
        QVERIFY2(l.Connected(), qPrintable(l.error));
        // Whole, in the order made, and before what the program wrote after them.
        QVERIFY2(l.ModuleGetsOnly(Hex("fffa2c010001c200fff0 fffa2c0303fff0 fffa2c0402fff0"
                                      "fffa2c0207fff0 fffa2c0503fff0")),
            qPrintable(l.error));
        QCOMPARE(l.sim.EventsNamed(QStringLiteral("connected")).size(), 1);
        QCOMPARE(w->Link->PendingCount(), 0);
        QCOMPARE(w->Link->LanTxCount(), 1); // the marker: the frames are no relay data
    }

    // A module opens its line with settings of its own at every connection (ser2net does, and
    // many modules after a reboot). Each new connection is told the settings of the first
    // byte it will get, the ones the program had when it wrote it, behind the TEA answer;
    // a change made while bytes wait keeps its place among them.
    void settingsFollowEveryConnection_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("tea");
        QTest::newRow("client") << int(Mode::Client) << false;
        QTest::newRow("client, TEA") << int(Mode::Client) << true;
        QTest::newRow("server") << int(Mode::Server) << false;
        QTest::newRow("server, TEA") << int(Mode::Server) << true;
    }
    void settingsFollowEveryConnection()
    {
        QFETCH(int, mode);
        QFETCH(bool, tea);
        Link l;
        QVERIFY2(l.Up(Mode(mode), tea ? QStringList { "--tea" } : QStringList {},
                     [&](FormHarness& w) {
                         w->NVTPortSetupCheckBox->setChecked(true);
                         w->TEAEnabledCheckBox->setChecked(tea);
                     }),
            qPrintable(l.error));
        FormHarness& w = l.w;
        auto teaOk = [&](int connections) {
            return !tea
                || QTest::qWaitFor(
                    [&] { return l.sim.EventsNamed(QStringLiteral("tea")).size() == connections; },
                    5000);
        };
        QVERIFY2(teaOk(1), qPrintable(l.sim.Describe()));
        QTRY_VERIFY(!w->Link->AwaitingTeaChallenge(w->LinkOptions()));
        w.port->OnBaudRate(115200);
        w.port->OnLineControl(STOPBITS_TWO, PARITY_NONE, 8);
        w.port->OnHandflow(SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 0, 0);
        w.port->OnDTR(false); // as a program run through vsp-run may
        w.port->OnRTS(true);
        const QByteArray settings = Hex("fffa2c010001c200fff0 fffa2c0301fff0 fffa2c0402fff0"
                                        "fffa2c0208fff0 fffa2c0503fff0 fffa2c0509fff0"
                                        "fffa2c050bfff0");
        const int first = l.sim.LatestConn();
        QVERIFY2(l.sim.WaitForReceived(settings.size(), 5000, first), qPrintable(l.sim.Describe()));
        QCOMPARE(l.sim.Received(first), settings);

        // The module goes; the program writes, changes its speed and writes again.
        QVERIFY(l.sim.Close());
        QTRY_VERIFY(!w->Link->DataConnection());
        const qsizetype mark = l.sim.Mark();
        w.port->ProgramWrites("a");
        w.port->OnBaudRate(9600);
        QCOMPARE(w.LogLines().last(),
            QStringLiteral("Can't set remonte baudrate, not connected to module"));
        w.port->ProgramWrites("b");
        if (Mode(mode) == Mode::Server)
            QVERIFY(l.sim.ConnectTo(
                QStringLiteral("127.0.0.1"), quint16(w->VSPServerSocket->LocalPort())));
        QVERIFY2(l.Connected(mark), qPrintable(l.error));
        const QString connected = Mode(mode) == Mode::Server
            ? QStringLiteral("TCP connected")
            : QStringLiteral("TCP connected module 127.0.0.1");
        const QStringList log = w.LogLines();
        QCOMPARE(log.mid(log.lastIndexOf(connected) + 1, 5),
            (QStringList { "Remonte baudrate set", "Remonte control options set",
                "Remonte handshake set", "Remote DTR set off", "Remote RTS set on" }));
        QVERIFY2(teaOk(2), qPrintable(l.sim.Describe()));
        if (tea)
            QVERIFY2(l.sim.EventsNamed(QStringLiteral("tea")).last().value("ok").toBool(),
                qPrintable(l.sim.Describe()));
        // "a" was written at 115,200 baud, "b" at 9,600.
        const QByteArray second = settings + "a" + Hex("fffa2c0100002580fff0") + "b";
        const int conn = l.sim.LatestConn();
        QVERIFY2(l.sim.WaitForReceived(second.size(), 5000, conn), qPrintable(l.sim.Describe()));
        QCOMPARE(l.sim.Received(conn).toHex(' '), second.toHex(' '));
        QCOMPARE(w->Link->LanTxCount(), 2); // the program's bytes only
        QCOMPARE(w->Link->SerialRxCount(), 2);
    }

    // The module resets the connection and the program changes its line before the link
    // has noticed: the first send raises the error event, the change is not reported as
    // done, and the connection that comes back by itself is told the settings in force,
    // that change and the later one.
    void sendFailureKeepsTheChangeForTheNextConnection()
    {
        QTcpServer module;
        QVERIFY(module.listen(QHostAddress::LocalHost));
        FormHarness w;
        w.Aim(module.serverPort());
        w->NVTEnabledCheckBox->setChecked(true);
        w->NVTPortSetupCheckBox->setChecked(true);
        w->CreateCOMBitBtnClick();
        w.port->Open();
        QTRY_VERIFY(w->Link->DataConnection());
        QTRY_VERIFY(module.hasPendingConnections());
        QTcpSocket* s = module.nextPendingConnection();
        linger l { 1, 0 };
        QCOMPARE(setsockopt(int(s->socketDescriptor()), SOL_SOCKET, SO_LINGER, &l, sizeof l), 0);
        s->abort(); // RST, which loopback delivers before abort() returns
        w.port->OnLineControl(STOPBITS_TWO, PARITY_NONE, 8);
        const QStringList log = w.LogLines();
        QVERIFY2(log.last().startsWith(QStringLiteral("TCP error ")), qPrintable(log.join('\n')));
        QVERIFY(w->Link->LinkError());
        QVERIFY(!log.contains(QStringLiteral("Remonte control options set")));
        QCOMPARE(w->StopBitsLabel->text(), QStringLiteral("2"));
        // The link is suspended now: later changes are not attempted on it.
        w.port->OnBaudRate(9600);
        QCOMPARE(w.LogLines().last(),
            QStringLiteral("Can't set remonte baudrate, not connected to module"));
        QTRY_VERIFY_WITH_TIMEOUT(module.hasPendingConnections(), 10000);
        QTcpSocket* again = module.nextPendingConnection();
        const QByteArray frames
            = Hex("fffa2c0100002580fff0 fffa2c0301fff0 fffa2c0402fff0 fffa2c0208fff0");
        QTRY_COMPARE(again->bytesAvailable(), qint64(frames.size()));
        QCOMPARE(again->readAll(), frames);
    }

    // A module that stops reading fills the connection; a frame that cannot go out at once
    // must still reach it whole and in its place, or the module would read the data behind
    // it as part of the frame.
    void framesStayWholeWhileTheModuleStopsReading()
    {
        Link l;
        QVERIFY2(l.Up(Mode::Client, { "--telnet", "--rcvbuf", "4096", "--report", "count" },
                     [](FormHarness& w) { w->NVTPortSetupCheckBox->setChecked(true); }),
            qPrintable(l.error));
        TMainForm* f = l.w.form.get();
        HoldTicks(f);
        QVERIFY(l.sim.PauseRead());
        QByteArray chunk(16384, Qt::Uninitialized);
        for (int i = 0; i < chunk.size(); ++i)
            chunk[i] = char('a' + i % 26);
        qint64 written = 0;
        for (int i = 0; i < 2000 && f->Link->PendingCount() == 0; ++i) {
            l.w.port->ProgramWrites(chunk);
            written += chunk.size();
            Ticks(f, 2);
        }
        QVERIFY2(f->Link->PendingCount() > 0, "the connection never filled up");
        const int32_t before = f->Link->PendingCount();
        l.w.port->OnBaudRate(115200);
        QVERIFY(f->Link->PendingCount() > before); // the frame waits at the head of the store
        QCOMPARE(l.w.LogLines().last(), QStringLiteral("Remonte baudrate set"));
        l.w.port->OnHandflow(0, 0, 0, 0);

        QVERIFY(l.sim.ResumeRead());
        QVERIFY(QTest::qWaitFor(
            [&] {
                Ticks(f, 2);
                return f->Link->PendingCount() == 0;
            },
            20000));
        const auto reached = l.sim.WaitFor(
            [&](const QJsonObject& e) {
                return e.value(QStringLiteral("event")) == QLatin1String("received")
                    && e.value(QStringLiteral("total")).toInteger() >= written;
            },
            20000);
        QVERIFY2(reached, qPrintable(l.sim.Describe()));
        QCOMPARE(reached->value(QStringLiteral("total")).toInteger(), written);
        QTRY_COMPARE(l.sim.EventsNamed(QStringLiteral("rfc2217")).size(), 2);
        const QList<QJsonObject> settings = l.sim.EventsNamed(QStringLiteral("rfc2217"));
        // Behind every byte the program wrote before the change, as on a serial line.
        QVERIFY(settings[0].value(QStringLiteral("seq")).toInteger()
            > reached->value(QStringLiteral("seq")).toInteger());
        QCOMPARE(settings[0].value(QStringLiteral("command")).toInt(), 1);
        QCOMPARE(settings[0].value(QStringLiteral("value")).toInteger(), 115200);
        QCOMPARE(settings[1].value(QStringLiteral("command")).toInt(), 5);
        QCOMPARE(settings[1].value(QStringLiteral("value")).toInt(), 1);
        QCOMPARE(l.sim.EventsNamed(QStringLiteral("telnet")).size(), 0);
    }
};

QTEST_MAIN(TstNvtLink)
#include "tst_nvt_link.moc"
