// The whole bridge with real parts: the main window with its pty port, a real program (a
// separate process) that opens the port by its link and writes and reads, and the
// simulated module on loopback as the far end. The echo checks of 127.0.0.1 are real.
//
// Every transfer carries a pattern that shows a lost, doubled or moved block at once, and
// the reader is always waiting before the module sends: bytes the pty refuses are dropped
// by design, so a slow reader would hide a real loss behind an expected one.

#include "app/Controls.h"
#include "app/Dialogs.h"
#include "app/Umainf.h"
#include "link/Sockets.h"
#include "tests/support/FormHarness.h"
#include "tests/support/PtyClient.h"
#include "tests/support/SimModule.h"
#include "tests/support/TestSupport.h"
#include "vport/PtyPort.h"
#include "vport/Uping.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextCursor>
#include <QTextDocument>
#include <QtTest>
#include <memory>

using namespace vsp;
using vsptest::Pattern;
using vsptest::PtyClient;
using vsptest::SimModule;

namespace {

constexpr int BigTransfer = 1024 * 1024;

// A window with the pty backend, aimed at the simulated module (client mode) or listening
// on a port the OS picks (server mode), with every log message kept in order: the memo
// itself holds only 30 lines.
struct Bridge {
    QTemporaryDir portDir; // where COM9 goes
    SimModule sim;
    vsptest::FormHarness form;
    QStringList log;

    explicit Bridge(bool serverMode,
        const QStringList& simArgs = { QStringLiteral("--mode"), QStringLiteral("sink") })
        : form(
            { serverMode ? QStringLiteral("-S1") : QStringLiteral("-S0"), QStringLiteral("-c9") },
            Services(portDir.path()), { .ptyPort = true, .machineEcho = vsptest::IsRoot() })
    {
        if (!sim.Start(simArgs)) qWarning("simulated module: %s", qPrintable(sim.ErrorString()));
        form->IPAddressComboBox->setEditText(QStringLiteral("127.0.0.1"));
        form->PortLabeledEdit->setText(QString::number(sim.DataPort()));
        form->ServerPortLabeledEdit->setText(QString::number(vsptest::FreeLoopbackPort()));
        QTextDocument* doc = form->LogMessagesMemo->document();
        QObject::connect(
            doc, &QTextDocument::contentsChange, doc, [this, doc](int at, int, int added) {
                if (added <= 0) return;
                // Clearing reports the fresh empty block as added, past the end.
                const int end = qMin(at + added, doc->characterCount() - 1);
                if (end <= at) return;
                QTextCursor c(doc);
                c.setPosition(at);
                c.setPosition(end, QTextCursor::KeepAnchor);
                for (const QString& line :
                    c.selectedText().split(QChar(QChar::ParagraphSeparator), Qt::SkipEmptyParts)) {
                    const qsizetype colon = line.indexOf(QStringLiteral(": "));
                    log << (colon < 0 ? line : line.mid(colon + 2));
                }
            });
    }
    static TPlatform Services(const QString& portDir)
    {
        TPlatform platform;
        platform.PortFolders.chosen = portDir;
        // Without root there is no echo check at all; 127.0.0.1 is there all the same.
        if (!vsptest::IsRoot())
            platform.WorkerPing = [](const QString&) { return TPingThread::PingReply; };
        return platform;
    }

    TPtyVSPort* Port() const { return static_cast<TPtyVSPort*>(form->VSPort.get()); }
    QByteArray Link() const { return QFile::encodeName(Port()->LinkPath()); }
    QString ClientLabel() const { return form->LANStatusClientLabel->text(); }
    QString ServerLabel() const { return form->LANStatusServerLabel->text(); }
    int ServerPort() const { return form->VSPServerSocket->LocalPort(); }
    // Log messages from index `from` on.
    QStringList LogFrom(qsizetype from) const { return log.mid(from); }
    qsizetype Connections() const { return sim.EventsNamed(QStringLiteral("connected")).size(); }
};

bool Opened(PtyClient& client, const QByteArray& link)
{
    if (client.Ok("open " + link)) return true;
    qWarning("client: %s", qPrintable(client.Error()));
    return false;
}

// The module sends; the program, already waiting, must read exactly these bytes.
QByteArray ModuleToProgram(Bridge& b, PtyClient& client, const QByteArray& bytes, int conn = 0)
{
    client.Send("read " + QByteArray::number(bytes.size()) + " 10000");
    if (!b.sim.SendBytes(bytes, conn)) return "module could not send";
    return QByteArray::fromHex(client.Reply());
}

// The module sends `size` pattern bytes at once while the program reads for at most
// readMs; "COUNT FIRST-WRONG-OFFSET" of what the program got, the offset -1 when every
// byte read was in its place.
QByteArray ModuleToProgramPattern(
    Bridge& b, PtyClient& client, int size, uint32_t seed, int readMs = 30000)
{
    client.Send("readpat " + QByteArray::number(size) + ' ' + QByteArray::number(seed) + ' '
        + QByteArray::number(readMs));
    if (!b.sim.SendBytes(Pattern(size, seed))) return "module could not send";
    const QList<QByteArray> result = client.Reply(readMs + 30000).split(' ');
    return result.size() == 3 ? result[0] + ' ' + result[1] : "reader: " + client.Error().toUtf8();
}

// What the module's data connections received from the program, once `size` bytes are in.
QByteArray ModuleGot(Bridge& b, qsizetype size, int conn = 0)
{
    b.sim.WaitForReceived(size, 20000, conn);
    return b.sim.Received(conn);
}

} // namespace

class TstBridge : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        PtyClient probe;
        QVERIFY2(probe.Ok("check"), qPrintable(probe.Error()));
    }

    // Client mode from creation to the program's close: the link follows the port's
    // opening, bytes go both ways, and the close takes the link down.
    void clientModeFollowsTheProgram()
    {
        Bridge b(false);
        QVERIFY2(b.sim.IsRunning(), qPrintable(b.sim.Describe()));
        b.form->CreateCOMBitBtnClick();
        QCOMPARE(b.form->StatusLabel->text(), QStringLiteral("Created"));
        QCOMPARE(b.Port()->LinkPath(), b.portDir.filePath(QStringLiteral("COM9")));
        QCOMPARE(b.log,
            QStringList({ "Device 127.0.0.1 found (ping received)", "Serial port COM9 created",
                "Port link " + b.Port()->LinkPath() }));
        // Where programs open it, also for a user who keeps the log off.
        QCOMPARE(b.form->ComPortComboBox->toolTip(), b.Port()->LinkPath());
        // Nobody has the port yet, so nothing connects.
        QTest::qWait(200);
        QCOMPARE(b.Connections(), 0);

        PtyClient client;
        QVERIFY(Opened(client, b.Link()));
        QVERIFY2(
            b.sim.WaitForEvent(QStringLiteral("connected"), 5000), qPrintable(b.sim.Describe()));
        QTRY_COMPARE(b.ClientLabel(), QStringLiteral("Connected"));
        QCOMPARE(b.form->StatusLabel->text(), QStringLiteral("Opened"));

        QVERIFY(client.Ok("write 00ff0d0a41"));
        QCOMPARE(ModuleGot(b, 5).toHex(), QByteArray("00ff0d0a41"));
        const QByteArray back = QByteArray::fromHex("ff000a0d42");
        QCOMPARE(ModuleToProgram(b, client, back).toHex(), back.toHex());
        QTRY_COMPARE(b.form->SerialTxLabel->text(), QStringLiteral("5"));
        QCOMPARE(b.form->LANTxLabel->text(), QStringLiteral("5"));
        QCOMPARE(b.form->LANRxLabel->text(), QStringLiteral("5"));
        QCOMPARE(b.form->SerialRxLabel->text(), QStringLiteral("5"));

        const qsizetype mark = b.sim.Mark();
        QVERIFY(client.Ok("close"));
        QVERIFY(
            b.sim.WaitForEvent(QStringLiteral("disconnected"), { { "by", "peer" } }, 5000, mark));
        QTRY_COMPARE(b.ClientLabel(), QStringLiteral("Closed"));
        QCOMPARE(b.form->StatusLabel->text(), QStringLiteral("Closed"));
        QVERIFY(b.log.contains(QStringLiteral("TCP disconneted module 127.0.0.1")));
        b.form->DeleteCOMBitBtnClick();
        QCOMPARE(b.form->StatusLabel->text(), QStringLiteral("Removed"));
        QCOMPARE(b.form->ComPortComboBox->toolTip(), QString());
    }

    // Server mode: the port's opening starts the listening; what the program wrote before
    // the module came goes out on the accept; a second module is refused while the first
    // keeps carrying the data; the close ends it all.
    void serverModeTakesOneModule()
    {
        Bridge b(true);
        QVERIFY2(b.sim.IsRunning(), qPrintable(b.sim.Describe()));
        b.form->CreateCOMBitBtnClick();
        PtyClient client;
        QVERIFY(Opened(client, b.Link()));
        QTRY_COMPARE(b.ServerLabel(), QStringLiteral("Listen"));
        QVERIFY(b.ServerPort() > 0);

        const QByteArray early = Pattern(3000, 11);
        QVERIFY(client.Ok("write " + early.toHex()));
        QTRY_VERIFY(b.log.contains(QStringLiteral("TCP not connected, data stored in buffer")));
        QTest::qWait(100);
        QVERIFY(!b.form->Link->LinkError()); // no ping in server mode: the module comes to us

        QVERIFY(b.sim.ConnectTo(QStringLiteral("127.0.0.1"), quint16(b.ServerPort())));
        QVERIFY(b.sim.WaitForEvent(QStringLiteral("connected"), 5000));
        const int first = b.sim.LatestConn();
        QCOMPARE(ModuleGot(b, early.size(), first), early);
        // In one piece, as the accept hands over the whole store in one send.
        QCOMPARE(b.sim.EventsNamed(QStringLiteral("received")).first().value("count").toInt(),
            early.size());
        QTRY_COMPARE(b.ServerLabel(), QStringLiteral("Connected"));
        QVERIFY(b.log.contains(QStringLiteral("TCP connected")));

        qsizetype logMark = b.log.size();
        const qsizetype mark = b.sim.Mark();
        QVERIFY(b.sim.ConnectTo(QStringLiteral("127.0.0.1"), quint16(b.ServerPort())));
        const auto second = b.sim.WaitForEvent(QStringLiteral("connected"), 5000, mark);
        QVERIFY(second);
        const int secondConn = second->value(QStringLiteral("conn")).toInt();
        QVERIFY(secondConn != first);
        QVERIFY2(b.sim.WaitForEvent(
                     QStringLiteral("disconnected"), { { "conn", secondConn } }, 5000, mark),
            qPrintable(b.sim.Describe()));
        QTRY_COMPARE(b.LogFrom(logMark),
            QStringList({ "TCP disconnected",
                "TCP connection refused (more than 1 client not suported)" }));
        QCOMPARE(b.ServerLabel(), QStringLiteral("Listen"));

        // The first module still carries the data, both ways.
        const QByteArray later = Pattern(700, 12);
        QVERIFY(client.Ok("write " + later.toHex()));
        QCOMPARE(ModuleGot(b, early.size() + later.size(), first), early + later);
        QCOMPARE(b.sim.Received(secondConn), QByteArray());
        const QByteArray answer = Pattern(900, 13);
        QCOMPARE(ModuleToProgram(b, client, answer, first), answer);

        logMark = b.log.size();
        QVERIFY(client.Ok("close"));
        QVERIFY(
            b.sim.WaitForEvent(QStringLiteral("disconnected"), { { "conn", first } }, 5000, mark));
        QTRY_COMPARE(b.ServerLabel(), QStringLiteral("Closed"));
        QVERIFY(!b.form->VSPServerSocket->Active());
        QVERIFY(!b.form->Link->DataConnection());
    }

    // One write bigger than a read of the port: it is taken in pieces and must arrive
    // whole and in order.
    void bigWriteArrivesWhole()
    {
        Bridge b(false);
        b.form->CreateCOMBitBtnClick();
        PtyClient client;
        QVERIFY(Opened(client, b.Link()));
        QTRY_COMPARE(b.ClientLabel(), QStringLiteral("Connected"));
        QCOMPARE(client.Call("writepat 20000 5"), QByteArray("20000"));
        const QByteArray got = ModuleGot(b, 20000);
        QCOMPARE(got.size(), 20000);
        QVERIFY(got == Pattern(20000, 5));
        QTRY_COMPARE(b.form->LANTxLabel->text(), QStringLiteral("20000"));
        QCOMPARE(b.form->SerialRxLabel->text(), QStringLiteral("20000"));
    }

    // The module refuses: the link is closed after the ping; each write tries again, and so
    // does the link by itself; what the program wrote meanwhile is kept and goes first.
    void refusedLinkComesBack()
    {
        Bridge b(false);
        QVERIFY(b.sim.Refuse());
        b.form->CreateCOMBitBtnClick();
        PtyClient client;
        QVERIFY(Opened(client, b.Link()));
        QTRY_VERIFY(b.log.contains(QStringLiteral("TCP error 10061")));
        QTRY_COMPARE(b.ClientLabel(), QStringLiteral("Close"));
        QVERIFY(!b.form->Link->LinkError());
        QVERIFY(!b.form->VSPClientSocket->Connected());

        // Bytes while the module still refuses: stored, and each write retries (and fails).
        const QByteArray a = Pattern(1000, 21), bb = Pattern(1500, 22);
        QVERIFY(client.Ok("write " + a.toHex()));
        QTRY_VERIFY(b.log.count(QStringLiteral("TCP error 10061")) >= 2);
        QTRY_COMPARE(b.ClientLabel(), QStringLiteral("Close"));
        QVERIFY(client.Ok("write " + bb.toHex()));
        QTRY_VERIFY(b.log.count(QStringLiteral("TCP error 10061")) >= 3);
        QTRY_COMPARE(b.ClientLabel(), QStringLiteral("Close"));
        QVERIFY(b.log.count(QStringLiteral("TCP not connected, data stored in buffer")) >= 2);
        QCOMPARE(b.Connections(), 0);

        // The module listens again and the program is silent: the link's own next try
        // brings it back (within the 8 s its delay has grown to at most by now); the old
        // bytes come first, then the new.
        QVERIFY(b.sim.Listen());
        QVERIFY(b.sim.WaitForEvent(QStringLiteral("connected"), 20000));
        const QByteArray c = Pattern(800, 23), d = Pattern(20000, 24);
        QVERIFY(client.Ok("write " + c.toHex()));
        QTRY_COMPARE(b.ClientLabel(), QStringLiteral("Connected"));
        QVERIFY(client.Ok("write " + d.toHex()));
        const QByteArray all = a + bb + c + d;
        const QByteArray got = ModuleGot(b, all.size());
        QCOMPARE(got.size(), all.size());
        QVERIFY(got == all);
    }

    // Bytes written while the link is down and the module is gone altogether are kept;
    // once the module is back and the program writes again, all arrive in order.
    void bytesWaitForTheModule()
    {
        Bridge b(false);
        b.form->CreateCOMBitBtnClick();
        PtyClient client;
        QVERIFY(Opened(client, b.Link()));
        QTRY_COMPARE(b.ClientLabel(), QStringLiteral("Connected"));
        const QByteArray first = Pattern(500, 31);
        QVERIFY(client.Ok("write " + first.toHex()));
        QCOMPARE(ModuleGot(b, first.size()), first);

        // The module closes the connection itself: the link goes down cleanly.
        QVERIFY(b.sim.Close());
        QTRY_COMPARE(b.ClientLabel(), QStringLiteral("Closed"));
        QVERIFY(!b.form->Link->DataConnection());
        QVERIFY(b.sim.Refuse());

        QByteArray stored;
        for (int i = 0; i < 4; ++i) {
            const QByteArray piece = Pattern(4000 + i, 40 + uint32_t(i));
            stored += piece;
            const int errors = int(b.log.count(QStringLiteral("TCP error 10061")));
            QVERIFY(client.Ok("write " + piece.toHex()));
            QTRY_VERIFY(b.log.count(QStringLiteral("TCP error 10061")) > errors);
            // The error's own ping must be over, or the next write's request is dropped.
            QTRY_COMPARE(b.ClientLabel(), QStringLiteral("Close"));
        }
        QCOMPARE(b.form->Link->PendingCount(), stored.size());

        const qsizetype mark = b.sim.Mark();
        QVERIFY(b.sim.Listen());
        const QByteArray newer = Pattern(3000, 50);
        QVERIFY(client.Ok("write " + newer.toHex()));
        QVERIFY(b.sim.WaitForEvent(QStringLiteral("connected"), 10000, mark));
        const QByteArray all = first + stored + newer;
        const QByteArray got = ModuleGot(b, all.size());
        QCOMPARE(got.size(), all.size());
        QVERIFY(got == all);
    }

    // A reset from the module: error, ping, the link closed; no reconnect until the
    // program writes, and then its bytes arrive on the new connection.
    // The module resets the link while the program is quiet: the link is closed, and comes
    // back by itself a second later, with no write to ask for it.
    void moduleResetComesBackByItself()
    {
        Bridge b(false);
        b.form->CreateCOMBitBtnClick();
        PtyClient client;
        QVERIFY(Opened(client, b.Link()));
        QTRY_COMPARE(b.ClientLabel(), QStringLiteral("Connected"));
        QVERIFY(client.Ok("write 4142"));
        QCOMPARE(ModuleGot(b, 2), QByteArray("AB"));
        const int before = b.sim.LatestConn();

        const qsizetype logMark = b.log.size();
        const qsizetype mark = b.sim.Mark();
        QVERIFY(b.sim.Reset());
        QTRY_VERIFY(b.LogFrom(logMark).size() >= 2);
        QCOMPARE(b.LogFrom(logMark).mid(0, 2),
            QStringList({ "TCP error 10054", "TCP disconneted module 127.0.0.1" }));

        const auto again = b.sim.WaitForEvent(QStringLiteral("connected"), 10000, mark);
        QVERIFY(again);
        const int conn = again->value(QStringLiteral("conn")).toInt();
        QVERIFY(conn != before);
        QTRY_COMPARE(b.ClientLabel(), QStringLiteral("Connected"));
        const QByteArray after = Pattern(5000, 61);
        QVERIFY(client.Ok("write " + after.toHex()));
        QCOMPARE(ModuleGot(b, after.size(), conn), after);
        QCOMPARE(b.Connections(), 2);
        // And the module's answer reaches the program on the new connection.
        QCOMPARE(ModuleToProgram(b, client, "ok", conn), QByteArray("ok"));
    }

    // "Connect to module if port is closed": the link comes up at creation and outlives
    // the program's close; what the module sends while nobody has the port is dropped and
    // never reaches the next program to open it.
    void linkWhilePortIsClosed()
    {
        Bridge b(false);
        b.form->ConnectClosedCheckBox->setChecked(true);
        b.form->CreateCOMBitBtnClick();
        QVERIFY(b.sim.WaitForEvent(QStringLiteral("connected"), 5000));
        QTRY_COMPARE(b.ClientLabel(), QStringLiteral("Connected"));

        QVERIFY(b.sim.SendBytes("lost while closed"));
        QTRY_VERIFY(b.log.contains(QStringLiteral("Serial port closed, data dropped out")));
        QTRY_COMPARE(b.form->LANRxLabel->text(), QStringLiteral("17")); // at the next tick
        QCOMPARE(b.form->SerialTxLabel->text(), QStringLiteral("0"));

        PtyClient client;
        QVERIFY(Opened(client, b.Link()));
        QTRY_COMPARE(b.form->StatusLabel->text(), QStringLiteral("Opened"));
        QCOMPARE(client.Call("drain 300"), QByteArray(""));
        QCOMPARE(ModuleToProgram(b, client, "fresh"), QByteArray("fresh"));
        QVERIFY(client.Ok("write 78"));
        QCOMPARE(ModuleGot(b, 1), QByteArray("x"));

        const qsizetype mark = b.sim.Mark();
        QVERIFY(client.Ok("close"));
        QTRY_COMPARE(b.form->StatusLabel->text(), QStringLiteral("Closed"));
        QTest::qWait(500);
        QCOMPARE(b.sim.EventsNamed(QStringLiteral("disconnected"), mark).size(), 0);
        QCOMPARE(b.ClientLabel(), QStringLiteral("Connected"));
        QVERIFY(b.form->Link->DataConnection());

        // Dropped again while closed; the next program sees only what comes after its open.
        QVERIFY(b.sim.SendBytes("also lost"));
        QTRY_COMPARE(b.log.count(QStringLiteral("Serial port closed, data dropped out")), 2);
        PtyClient next;
        QVERIFY(Opened(next, b.Link()));
        QTRY_COMPARE(b.form->StatusLabel->text(), QStringLiteral("Opened"));
        QCOMPARE(next.Call("drain 300"), QByteArray(""));
        QCOMPARE(ModuleToProgram(b, next, "again"), QByteArray("again"));
        QCOMPARE(b.Connections(), 1);
    }

    // Delete COM is refused while a program has the port, which goes on working; once it
    // has closed, the port goes and so does its link.
    void deleteWaitsForTheProgram()
    {
        Bridge b(false);
        b.form->CreateCOMBitBtnClick();
        const QString link = b.Port()->LinkPath();
        PtyClient client;
        QVERIFY(Opened(client, b.Link()));
        QTRY_COMPARE(b.ClientLabel(), QStringLiteral("Connected"));

        b.form->DeleteCOMBitBtnClick();
        QCOMPARE(b.form.boxes.size(), 1);
        QCOMPARE(b.form.boxes.first().Text, QStringLiteral("Port is opend, can't be removed"));
        QVERIFY(b.form.boxes.first().Icon == MsgIcon::Error);
        QVERIFY(QFileInfo::exists(link));
        QCOMPARE(b.form->StatusLabel->text(), QStringLiteral("Opened"));
        QVERIFY(b.form->DeleteCOMBitBtn->isEnabled());
        QVERIFY(client.Ok("write 7a"));
        QCOMPARE(ModuleGot(b, 1), QByteArray("z"));
        QCOMPARE(ModuleToProgram(b, client, "still"), QByteArray("still"));

        QVERIFY(client.Ok("close"));
        QTRY_COMPARE(b.form->StatusLabel->text(), QStringLiteral("Closed"));
        b.form->DeleteCOMBitBtnClick();
        QCOMPARE(b.form.boxes.size(), 1);
        QVERIFY(!QFileInfo::exists(link));
        QCOMPARE(b.form->StatusLabel->text(), QStringLiteral("Removed"));
        QVERIFY(b.form->CreateCOMBitBtn->isEnabled());
        QVERIFY(!b.form->DeleteCOMBitBtn->isEnabled());
        QCOMPARE(b.log.last(), QStringLiteral("Serial port COM9 removed"));
        QVERIFY(!client.Ok("open " + QFile::encodeName(link)));
    }

    // What the module is told of the program's data format. A plain program's 7E1 (or a
    // Modbus program's 8E1) cannot be held by a pty: the module is told to keep its own
    // format rather than switched to the 8N1 the kernel forces. Through vsp-run the program's
    // own format reaches it. Speed, stop bits and flow control go out either way.
    void programFormatReachesTheModule_data()
    {
        QTest::addColumn<QByteArray>("program"); // a pty_client command, or mbpoll's arguments
        QTest::addColumn<bool>("preloaded");
        QTest::addColumn<int>("parity"); // the first SET-PARITY value the module got
        QTest::addColumn<int>("dataSize"); // the first SET-DATASIZE value
        QTest::addColumn<int>("stopSize"); // the first SET-STOPSIZE value
        QTest::addColumn<QStringList>("labels"); // parity and data bits while open, if shown
        QTest::newRow("pyserial 7E1") << QByteArray("serial %1 baudrate=9600 bytesize=7 parity=E")
                                      << false << 0 << 0 << 1 << QStringList { "unknown", "-" };
        QTest::newRow("pyserial 7O2 through vsp-run")
            << QByteArray("serial %1 baudrate=9600 bytesize=7 parity=O stopbits=2") << true << 2
            << 7 << 2 << QStringList { "odd", "7" };
        QTest::newRow("mbpoll 8E1 through vsp-run")
            << QByteArray("mbpoll -m rtu -b 9600 -P even -d 8 -s 1 -a 1 -r 1 -c 1 -1 -o 0.5 %1")
            << true << 3 << 8 << 1 << QStringList {};
    }
    void programFormatReachesTheModule()
    {
        QFETCH(QByteArray, program);
        QFETCH(bool, preloaded);
        QFETCH(int, parity);
        QFETCH(int, dataSize);
        QFETCH(int, stopSize);
        QFETCH(QStringList, labels);
        Bridge b(false, { "--mode", "sink", "--telnet" });
        b.form->NVTEnabledCheckBox->setChecked(true);
        b.form->NVTPortSetupCheckBox->setChecked(true);
        b.form->CreateCOMBitBtnClick();
        program.replace("%1", b.Link());
        std::unique_ptr<PtyClient> client;
        if (program.startsWith("mbpoll")) {
            // It finds no Modbus slave and gives up: only what it set on the line counts.
            QProcess mbpoll;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("VSP_PORT_DIR"), b.portDir.path());
            mbpoll.setProcessEnvironment(env);
            QStringList args = QString::fromUtf8(program).split(' ');
            mbpoll.start(QStringLiteral(VSP_BINARY_DIR "/vsp-run"), args);
            // The window answers the library's calls meanwhile: its event loop must run.
            QVERIFY2(QTest::qWaitFor([&] { return mbpoll.state() == QProcess::NotRunning; }, 20000),
                qPrintable(mbpoll.errorString()));
            QVERIFY2(b.log.contains(QStringLiteral(
                         "Line format from the program through vsp-run: 8 data bits, even parity")),
                qPrintable(b.log.join('\n') + '\n' + mbpoll.readAllStandardOutput()
                    + mbpoll.readAllStandardError()));
        } else {
            client = preloaded
                ? std::make_unique<PtyClient>(PtyClient::Preloaded { b.portDir.path() })
                : std::make_unique<PtyClient>();
            QVERIFY2(client->Ok(program), qPrintable(client->Error()));
            QTRY_COMPARE(b.ClientLabel(), QStringLiteral("Connected"));
            QVERIFY2(client->Ok("serialset rtscts=1"), qPrintable(client->Error()));
        }
        const auto control = b.sim.WaitForEvent(
            QStringLiteral("rfc2217"), { { "command", 5 }, { "value", client ? 3 : 1 } }, 10000);
        QVERIFY2(control, qPrintable(b.sim.Describe()));
        QHash<int, QList<qint64>> sent; // command -> the values it carried, in order
        for (const QJsonObject& e : b.sim.EventsNamed(QStringLiteral("rfc2217")))
            sent[e.value(QStringLiteral("command")).toInt()]
                << e.value(QStringLiteral("value")).toInteger();
        // What the program set first (mbpoll puts the line back as it found it on leaving).
        QVERIFY2(!sent[1].isEmpty() && sent[1].first() == 9600, qPrintable(b.sim.Describe(30)));
        QVERIFY2(!sent[4].isEmpty() && sent[4].first() == stopSize, qPrintable(b.sim.Describe(30)));
        QVERIFY2(!sent[3].isEmpty() && sent[3].first() == parity, qPrintable(b.sim.Describe(30)));
        QVERIFY2(!sent[2].isEmpty() && sent[2].first() == dataSize, qPrintable(b.sim.Describe(30)));
        // Without the library, only "keep your own": never the pty's 8N1.
        if (!preloaded)
            for (qint64 v : sent[3] + sent[2])
                QCOMPARE(v, qint64(0));
        if (!labels.isEmpty()) {
            QCOMPARE(b.form->ParityLabel->text(), labels[0]);
            QCOMPARE(b.form->BitsLabel->text(), labels[1]);
            QCOMPARE(b.form->BaudLabel->text(), QStringLiteral("9600"));
        }
        if (client) // the frames were all it sent (mbpoll also sent its request)
            QCOMPARE(b.sim.EventsNamed(QStringLiteral("received")).size(), 0);
    }

    // Through vsp-run a program's modem lines and breaks reach the module in the order it
    // switched them, and the module's reported lines are what the program reads.
    void modemLinesAndBreaksBothWays()
    {
        Bridge b(false, { "--mode", "sink", "--telnet" });
        b.form->NVTEnabledCheckBox->setChecked(true);
        b.form->NVTFilterCheckBox->setChecked(true);
        b.form->NVTPortSetupCheckBox->setChecked(true);
        b.form->CreateCOMBitBtnClick();
        PtyClient client(PtyClient::Preloaded { b.portDir.path() });
        QVERIFY2(client.Ok("serial " + b.Link() + " baudrate=9600"), qPrintable(client.Error()));
        QTRY_COMPARE(b.ClientLabel(), QStringLiteral("Connected"));
        QVERIFY2(client.Ok("serialset dtr=0 rts=0 dtr=1 rts=1"), qPrintable(client.Error()));
        QVERIFY2(client.Ok("serialbreak 0.25"), qPrintable(client.Error()));
        const auto last = b.sim.WaitForEvent(
            QStringLiteral("rfc2217"), { { "command", 5 }, { "value", 6 } }, 10000);
        QVERIFY2(last, qPrintable(b.sim.Describe()));
        QList<qint64> lines; // SET-CONTROL values past flow control
        for (const QJsonObject& e : b.sim.EventsNamed(QStringLiteral("rfc2217")))
            if (e.value(QStringLiteral("command")).toInt() == 5
                && e.value(QStringLiteral("value")).toInteger() > 3)
                lines << e.value(QStringLiteral("value")).toInteger();
        QCOMPARE(lines, (QList<qint64> { 9, 12, 8, 11, 5, 6 }));

        // NOTIFY-MODEMSTATE: no line, then CD, DSR and CTS; between data, which still arrives.
        QCOMPARE(client.Call("serialmodem"), QByteArray("1 1 0 1")); // connected until told
        QVERIFY(b.sim.SendHex(QStringLiteral("41 ff fa 2c 6b 00 ff f0 42")));
        QTRY_COMPARE(client.Call("serialmodem"), QByteArray("0 0 0 0"));
        QVERIFY(b.sim.SendHex(QStringLiteral("ff fa 2c 6b b0 ff f0")));
        QTRY_COMPARE(client.Call("serialmodem"), QByteArray("1 1 0 1"));
        QCOMPARE(client.Call("serialread 2 5000"), QByteArray("4142"));
    }

    // A megabyte each way, in both modes. Toward the program the module sends windows of
    // 32 KB at full speed, each once the last has been read, as a protocol with its own
    // acknowledgements would: a burst that fits what the pty side holds arrives whole
    // however busy the machine is. (Without such pacing the pty side overflows: see the
    // next test.)
    void bigTransfersBothWays_data()
    {
        QTest::addColumn<bool>("serverMode");
        QTest::newRow("client mode") << false;
        QTest::newRow("server mode") << true;
    }
    void bigTransfersBothWays()
    {
        QFETCH(bool, serverMode);
        Bridge b(serverMode);
        b.form->CreateCOMBitBtnClick();
        PtyClient client;
        QVERIFY(Opened(client, b.Link()));
        if (serverMode) {
            QTRY_COMPARE(b.ServerLabel(), QStringLiteral("Listen"));
            QVERIFY(b.sim.ConnectTo(QStringLiteral("127.0.0.1"), quint16(b.ServerPort())));
            QTRY_COMPARE(b.ServerLabel(), QStringLiteral("Connected"));
        } else {
            QTRY_COMPARE(b.ClientLabel(), QStringLiteral("Connected"));
        }

        QCOMPARE(client.Call("writepat " + QByteArray::number(BigTransfer) + " 71", 60000),
            QByteArray::number(BigTransfer));
        const QByteArray up = ModuleGot(b, BigTransfer);
        QCOMPARE(up.size(), BigTransfer);
        QVERIFY(up == Pattern(BigTransfer, 71));

        constexpr int Window = 32 * 1024;
        for (int i = 0; i < BigTransfer / Window; ++i) {
            const QByteArray result = ModuleToProgramPattern(b, client, Window, 100 + uint32_t(i));
            QVERIFY2(result == QByteArray::number(Window) + " -1",
                qPrintable(
                    QStringLiteral("window %1: %2").arg(i).arg(QString::fromLatin1(result))));
        }
        QTRY_COMPARE(b.form->SerialTxLabel->text(), QString::number(BigTransfer));
        QCOMPARE(b.form->LANRxLabel->text(), QString::number(BigTransfer));
    }

    // The module sends as fast as loopback allows, faster than even a C reader gets the
    // bytes out of the pty: the relay must hold the connection back (TCP then slows the
    // module) rather than drop what the port cannot take yet.
    void moduleAtLoopbackSpeed()
    {
        Bridge b(false);
        b.form->CreateCOMBitBtnClick();
        PtyClient client;
        QVERIFY(Opened(client, b.Link()));
        QTRY_COMPARE(b.ClientLabel(), QStringLiteral("Connected"));
        const QByteArray result = ModuleToProgramPattern(b, client, BigTransfer, 81, 3000);
        QVERIFY(result.startsWith(
            QByteArray::number(b.form->Link->SerialTxCount()) + ' ')); // all it took, it delivered
        QCOMPARE(b.form->Link->LanRxCount(), BigTransfer);
        QCOMPARE(result, QByteArray::number(BigTransfer) + " -1");
    }
};

QTEST_MAIN(TstBridge)
#include "tst_bridge.moc"
