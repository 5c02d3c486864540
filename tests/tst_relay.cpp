// The relay and the link manager against real TCP peers on loopback, with the program's
// side of the virtual port played in memory. The relay's own cases drive the data link
// without a window; the cases that need the window's controls or its ping worker use one.
// Every echo check here is of 127.0.0.1: the module "answers ping" in every case.

#include "link/Sockets.h"
#include "tests/support/FormHarness.h"
#include "tests/support/LinkHarness.h"
#include "tests/support/PrivateNet.h"
#include "tests/support/TestSupport.h"
#include "vport/Uping.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <atomic>
#include <functional>
#include <sys/socket.h>

using namespace vsp;
using vsptest::FormHarness;
using vsptest::HoldTicks;
using vsptest::LinkHarness;
using vsptest::Pattern;
using vsptest::Ticks;

namespace {

// A module stand-in: accepts connections and collects what arrives on each.
struct Peer : QObject {
    QTcpServer server;
    QList<QTcpSocket*> sockets;
    QByteArray received; // on every connection, in arrival order
    QList<int> pieces; // sizes of the reads that brought it
    QByteArray greeting; // sent on every new connection, as some modules do
    bool dropEach = false; // closes every connection as soon as it is made

    Peer()
    {
        server.listen(QHostAddress::LocalHost);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                sockets << s;
                if (dropEach) {
                    s->disconnectFromHost();
                    continue;
                }
                if (!greeting.isEmpty()) s->write(greeting);
                connect(s, &QTcpSocket::readyRead, this, [this, s] {
                    const QByteArray b = s->readAll();
                    received += b;
                    pieces << int(b.size());
                });
            }
        });
    }
    int Port() const { return server.serverPort(); }
    // Abortive close: the program sees a reset.
    void Reset(int index = 0)
    {
        QTcpSocket* s = sockets.at(index);
        linger l { 1, 0 };
        setsockopt(int(s->socketDescriptor()), SOL_SOCKET, SO_LINGER, &l, sizeof l);
        s->abort();
    }
};

// Timings of a link under test: an attempt may follow the last one a tick later while bytes
// wait, so that the cases here need not count out the real second.
TPlatform QuickReconnect()
{
    TPlatform platform;
    platform.Timings.ReconnectWithDataMs = TMainForm::MainTimerInterval;
    return platform;
}

// A client link without a window: port created and opened by the program, the ticks
// driven by the test.
struct ClientLink {
    Peer peer;
    LinkHarness l { QuickReconnect().Timings };
    ClientLink() { l.OpenClient(peer.Port()); }
};

// A client link's attempt has run its course: refused `errors` times in all, the error's
// ping has answered and closed the link, and no check runs.
bool Settled(FormHarness& w, int errors)
{
    return QTest::qWaitFor(
        [&] {
            return w.LogLines().count(QStringLiteral("TCP error 10061")) == errors
                && !w->Link->LinkError() && !w->PingThread->Busy()
                && !w->VSPClientSocket->Connecting()
                && w->LANStatusClientLabel->text() == QStringLiteral("Close");
        },
        5000);
}

} // namespace

class TstRelay : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void bigWriteIsReadInPiecesAndArrivesInOrder()
    {
        ClientLink c;
        QTRY_VERIFY(c.l->DataConnection());
        const QByteArray data = Pattern(20000);
        c.l.port.ProgramWrites(data);
        QCOMPARE(c.l->PendingCount(), 16384);
        QVERIFY(c.l->SerialInputHeld());
        QCOMPARE(c.l.port.Input.size(), 20000 - 16384);
        c.l.Ticks(2); // flush, then the re-poll takes the rest
        QCOMPARE(c.l->PendingCount(), 3616);
        QVERIFY(!c.l->SerialInputHeld());
        c.l.Ticks(2);
        QCOMPARE(c.l->PendingCount(), 0);
        QTRY_COMPARE(c.peer.received.size(), data.size());
        QCOMPARE(c.peer.received, data);
        QCOMPARE(c.l->SerialRxCount(), 20000);
        QCOMPARE(c.l->LanTxCount(), 20000);
        QCOMPARE(c.l.shown.LanTx, 20000);
    }

    void flushRunsOnEverySecondTick()
    {
        ClientLink c;
        QTRY_VERIFY(c.l->DataConnection());
        c.l->FlushPending(c.l.options); // the flush's count starts here
        c.l.port.ProgramWrites("x");
        c.l.Ticks(1);
        QCOMPARE(c.l->PendingCount(), 1);
        c.l.Ticks(1);
        QCOMPARE(c.l->PendingCount(), 0);
        QTRY_COMPARE(c.peer.received, QByteArray("x"));
    }

    void moduleBytesReachTheOpenPortInBlocks()
    {
        ClientLink c;
        QTRY_VERIFY(c.l->DataConnection());
        QTRY_COMPARE(c.peer.sockets.size(), 1);
        const QByteArray data = Pattern(10000, 3);
        c.peer.sockets.first()->write(data);
        QTRY_COMPARE(c.l.port.Output.size(), data.size());
        QCOMPARE(c.l.port.Output, data);
        QCOMPARE(c.l->LanRxCount(), 10000);
        QCOMPARE(c.l->SerialTxCount(), 10000);
        // Counted per block, shown per tick.
        QCOMPARE(c.l.shown.SerialTx, 0);
        c.l.Ticks(1);
        QCOMPARE(c.l.shown.SerialTx, 10000);
        QCOMPARE(c.l.shown.LanRx, 10000);
    }

    void moduleBytesDroppedWhilePortClosed()
    {
        Peer peer;
        FormHarness w;
        w.Aim(peer.Port());
        w->ConnectClosedCheckBox->setChecked(true);
        w->CreateCOMBitBtnClick();
        QTRY_VERIFY(w->Link->DataConnection());
        QTRY_COMPARE(peer.sockets.size(), 1);
        peer.sockets.first()->write("dropped");
        QTRY_COMPARE(w->Link->LanRxCount(), 7);
        QVERIFY(w.port->Output.isEmpty());
        QCOMPARE(w->Link->SerialTxCount(), 0);
        QVERIFY(w.LogLines().contains(QStringLiteral("Serial port closed, data dropped out")));
    }

    void portRefusingBytesDropsThemUncounted()
    {
        ClientLink c;
        QTRY_VERIFY(c.l->DataConnection());
        QTRY_COMPARE(c.peer.sockets.size(), 1);
        c.l.port.WriteLimit = 3;
        c.peer.sockets.first()->write("abcdef");
        QTRY_COMPARE(c.l->LanRxCount(), 6);
        QCOMPARE(c.l.port.Output, QByteArray("abc"));
        QCOMPARE(c.l->SerialTxCount(), 3);
    }

    // A program that is behind holds the module back rather than losing its bytes: the
    // rest of a block waits, the connection is not read meanwhile, and both go on as soon
    // as the port has room, without waiting for a tick.
    void fullPortHoldsTheModuleUntilItHasRoom()
    {
        ClientLink c;
        QTRY_VERIFY(c.l->DataConnection());
        QTRY_COMPARE(c.peer.sockets.size(), 1);
        c.l.port.Capacity = 700;
        const QByteArray data = Pattern(2000, 7);
        c.peer.sockets.first()->write(data);
        QTRY_COMPARE(c.l.port.Output.size(), 700);
        QTest::qWait(50);
        QCOMPARE(c.l->LanRxCount(), 1024); // a whole block and the one that is held
        QByteArray got;
        QTRY_VERIFY((got += c.l.port.ProgramReads(700)).size() == data.size());
        QVERIFY(got == data);
        QCOMPARE(c.l->SerialTxCount(), 2000);
        QCOMPARE(c.l->LanRxCount(), 2000);
    }

    void bytesWrittenWhileDownArriveAfterReconnectBeforeNewer()
    {
        ClientLink c;
        QTRY_VERIFY(c.l->DataConnection());
        QTRY_COMPARE(c.peer.sockets.size(), 1);
        // The module resets: error, ping answered, link closed.
        c.peer.Reset();
        QTRY_COMPARE(c.l.labels[TLinkLabel::Client], QStringLiteral("Closed"));
        QVERIFY(!c.l->LinkError());
        QVERIFY(!c.l->DataConnection());
        const QStringList log = c.l.log;
        QVERIFY2(
            log.filter(QStringLiteral("TCP error 10054")).size() == 1, qPrintable(log.join('\n')));
        QVERIFY(log.contains(QStringLiteral("TCP disconneted module 127.0.0.1")));

        // The program writes while the link is down: stored, reconnected, then flushed.
        c.l.port.ProgramWrites("first;");
        QVERIFY(c.l.log.contains(QStringLiteral("TCP not connected, data stored in buffer")));
        c.l.Ticks(1);
        QTRY_VERIFY(c.l->DataConnection());
        QCOMPARE(c.l.labels[TLinkLabel::Client], QStringLiteral("Connected"));
        c.l.port.ProgramWrites("second");
        c.l.Ticks(2);
        QTRY_COMPARE(c.peer.received, QByteArray("first;second"));
        QCOMPARE(c.peer.sockets.size(), 2);
    }

    // The rest of a message the last connection took only in part belongs to it: sent on
    // the next one, it would be read as the start of the stream there.
    void restOfACutMessageStaysWithItsConnection()
    {
        ClientLink c;
        QTRY_VERIFY(c.l->DataConnection());
        QTRY_COMPARE(c.peer.sockets.size(), 1);
        QVERIFY(c.l->StorePending(reinterpret_cast<const uint8_t*>("\x2c\x01\xff\xf0"), 4, true));
        c.l.port.ProgramWrites("kept");
        c.peer.Reset();
        QTRY_COMPARE(c.l.labels[TLinkLabel::Client], QStringLiteral("Closed"));
        c.l.port.ProgramWrites(";more");
        c.l.Ticks(1);
        QTRY_VERIFY(c.l->DataConnection());
        c.l.Ticks(2);
        QTRY_COMPARE(c.peer.received, QByteArray("kept;more"));
    }

    // While the program's bytes wait, the next attempt comes a second after the last one
    // began, not at the write.
    void refusedConnectWaitsForTheNextWrite()
    {
        Peer peer;
        const int port = peer.Port();
        peer.server.close(); // nothing listens there any more: refused
        FormHarness w;
        w.Aim(port);
        HoldTicks(w.form.get());
        w->CreateCOMBitBtnClick();
        w.port->Open();
        QTRY_COMPARE(w->LANStatusClientLabel->text(), QStringLiteral("Close"));
        QVERIFY(!w->Link->LinkError());
        QVERIFY(!w->VSPClientSocket->Connected());
        QVERIFY(w.LogLines().contains(QStringLiteral("TCP error 10061")));
        QTest::qWait(300);
        // The next attempt of its own is a second away (and the timer is stopped here).
        QCOMPARE(w->LANStatusClientLabel->text(), QStringLiteral("Close"));

        QVERIFY(peer.server.listen(QHostAddress::LocalHost, quint16(port)));
        w.port->ProgramWrites("late");
        const int second = TMainForm::TicksFor(1000);
        Ticks(w.form.get(), second - 1);
        QTest::qWait(50);
        QVERIFY(!w->PingThread->Busy());
        QCOMPARE(peer.sockets.size(), 0);
        Ticks(w.form.get(), 1);
        QTRY_VERIFY(w->Link->DataConnection());
        Ticks(w.form.get(), 2);
        QTRY_COMPARE(peer.received, QByteArray("late"));
    }

    // A module that answers the echo check but refuses its data port while the program
    // fills the store: one attempt a second, whoever asks (each write, each re-poll of the
    // full store, the timer), and one log line each; the store drains whole and in order
    // once the module takes connections again.
    void fullStoreStillReconnects()
    {
        Peer peer;
        const int port = peer.Port();
        peer.server.close();
        FormHarness w;
        w.Aim(port);
        HoldTicks(w.form.get());
        w->CreateCOMBitBtnClick();
        w.port->Open();
        QVERIFY(Settled(w, 1));
        const QByteArray data = Pattern(40000, 7);
        w.port->ProgramWrites(data); // takes 16,384; the attempt waits for its second
        const int second = TMainForm::TicksFor(1000);
        int errors = 1;
        for (int attempt = 0; attempt < 4; ++attempt) {
            for (int i = 0; i < second - 1; ++i) {
                Ticks(w.form.get(), 1); // each one re-polls the full store and asks
                w.port->ProgramWrites(QByteArray());
            }
            QTest::qWait(20);
            QCOMPARE(w.LogLines().count(QStringLiteral("TCP error 10061")), errors);
            QVERIFY(!w->PingThread->Busy());
            Ticks(w.form.get(), 1);
            QVERIFY(Settled(w, ++errors));
        }
        QVERIFY(w->Link->PendingCount() > TDataLink::PendingReadLimit);
        QVERIFY(w->Link->SerialInputHeld());
        QVERIFY(peer.server.listen(QHostAddress::LocalHost, quint16(port)));
        Ticks(w.form.get(), second);
        QTRY_VERIFY(w->Link->DataConnection());
        QVERIFY(QTest::qWaitFor(
            [&] {
                Ticks(w.form.get(), 2);
                return peer.received.size() >= data.size();
            },
            10000));
        QCOMPARE(peer.received, data);
        QCOMPARE(peer.sockets.size(), 1);
    }

    // A program that opens the port and writes at once: its write comes while the connect
    // the open started is under way, and must not start another.
    void openAndWriteAtOnceMakeOneConnection()
    {
        Peer peer;
        peer.greeting = "HELLO\r\n";
        FormHarness w;
        w.Aim(peer.Port());
        HoldTicks(w.form.get());
        w->CreateCOMBitBtnClick();
        constexpr int Cycles = 10;
        QByteArray sent;
        for (int i = 0; i < Cycles; ++i) {
            const QByteArray line = "write " + QByteArray::number(i) + ";";
            w.port->Open();
            w.port->ProgramWrites(line);
            QTRY_VERIFY(w->Link->DataConnection());
            sent += line;
            Ticks(w.form.get(), 2);
            QTRY_COMPARE(peer.received, sent);
            QTRY_COMPARE(w.port->Output, QByteArray("HELLO\r\n"));
            QTest::qWait(20); // a second connection's greeting would come now
            QCOMPARE(w.port->Output, QByteArray("HELLO\r\n"));
            w.port->TakeOutput();
            w.port->Close();
            QTRY_VERIFY(!w->Link->DataConnection());
        }
        QCOMPARE(peer.sockets.size(), Cycles);
    }

    // Nobody writes, and the link comes back by itself: at once after a connection that
    // lasted, then after 2, 4, 8 and every 15 s while the module refuses, at once once it
    // listens again.
    void linkComesBackForAReader_data()
    {
        QTest::addColumn<bool>("portOpen"); // else the link is kept while the port is closed
        QTest::newRow("a program only reads") << true;
        QTest::newRow("connect to module if port is closed") << false;
    }
    void linkComesBackForAReader()
    {
        QFETCH(bool, portOpen);
        Peer peer;
        const int port = peer.Port();
        FormHarness w;
        w.Aim(port);
        HoldTicks(w.form.get());
        w->ConnectClosedCheckBox->setChecked(!portOpen);
        w->CreateCOMBitBtnClick();
        if (portOpen) w.port->Open();
        QTRY_VERIFY(w->Link->DataConnection());
        QTRY_COMPARE(peer.sockets.size(), 1);
        Ticks(w.form.get(), TMainForm::TicksFor(10000)); // a connection that lasted
        // The module restarts: it resets the link and refuses for a while.
        peer.server.close();
        peer.Reset();
        QTRY_COMPARE(w->LANStatusClientLabel->text(), QStringLiteral("Closed"));
        QVERIFY(
            QTest::qWaitFor([&] { return !w->Link->LinkError() && !w->PingThread->Busy(); }, 5000));
        int errors = int(w.LogLines().count(QStringLiteral("TCP error 10061")));
        Ticks(w.form.get(), 1);
        QVERIFY(Settled(w, ++errors));
        for (const int delayMs : { 2000, 4000, 8000, 15000, 15000 }) {
            Ticks(w.form.get(), TMainForm::TicksFor(delayMs) - 1);
            QTest::qWait(20);
            QCOMPARE(w.LogLines().count(QStringLiteral("TCP error 10061")), errors);
            Ticks(w.form.get(), 1);
            QVERIFY(Settled(w, ++errors));
        }
        QVERIFY(peer.server.listen(QHostAddress::LocalHost, quint16(port)));
        Ticks(w.form.get(), TMainForm::TicksFor(15000));
        QTRY_VERIFY(w->Link->DataConnection());
        QTRY_COMPARE(peer.sockets.size(), 2);
        peer.sockets.last()->write("back");
        if (portOpen) QTRY_COMPARE(w.port->Output, QByteArray("back"));
        // Connected, nothing more is asked for.
        Ticks(w.form.get(), 6000);
        QTest::qWait(50);
        QCOMPARE(peer.sockets.size(), 2);
        QCOMPARE(w.LogLines().count(QStringLiteral("TCP error 10061")), errors);
    }

    // A module that takes each connection and drops it soon after (a key it rejects, an
    // idle limit of its own): the back-off goes on growing, since only a connection that
    // lasted starts it again; 40 s see five connections, not one a second or two.
    void moduleThatDropsEachConnectionIsNotStormed()
    {
        Peer peer;
        peer.dropEach = true;
        FormHarness w;
        w.Aim(peer.Port());
        HoldTicks(w.form.get());
        w->CreateCOMBitBtnClick();
        w.port->Open();
        QTRY_COMPARE(peer.sockets.size(), 1);
        const int total = TMainForm::TicksFor(40000);
        for (int done = 0; done < total; done += 20) {
            Ticks(w.form.get(), 20);
            QTest::qWait(2);
            QVERIFY(QTest::qWaitFor(
                [&] { return !w->PingThread->Busy() && !w->VSPClientSocket->Connecting(); }, 5000));
        }
        // At 0, 2, 6, 14 and 29 s.
        QCOMPARE(peer.sockets.size(), 5);
    }

    // What a program wrote and the link did not carry before it closed the port goes out
    // only while the close's wait lasts, on the link as it is or as it comes up (the line
    // closes behind it); after the wait, or at the next program's open, it is dropped with
    // one line, and the next program's bytes alone reach the module. A close and an open
    // reported together (a script that sets the line, then writes) keep the bytes.
    void closedProgramsBytes_data()
    {
        QTest::addColumn<bool>("serverMode");
        QTest::addColumn<bool>("moduleUp"); // when the program writes and closes
        QTest::addColumn<QString>("next"); // "after the wait", "opens", "opens at once"
        QTest::addColumn<QByteArray>("atModule");
        QTest::addColumn<int>("dropped");
        QTest::newRow("client: the link comes up on the open (echo > port)")
            << false << true << "after the wait" << QByteArray("OLD-DATA;NEW") << 0;
        QTest::newRow("client: module down through the wait")
            << false << false << "after the wait" << QByteArray("NEW") << 9;
        QTest::newRow("client: module down, the next program opens")
            << false << false << "opens" << QByteArray("NEW") << 9;
        QTest::newRow("client: close and open reported together")
            << false << false << "opens at once" << QByteArray("OLD-DATA;NEW") << 0;
        QTest::newRow("server: the module connected")
            << true << true << "after the wait" << QByteArray("OLD-DATA;NEW") << 0;
        QTest::newRow("server: no module through the wait")
            << true << false << "after the wait" << QByteArray("NEW") << 9;
    }
    void closedProgramsBytes()
    {
        QFETCH(bool, serverMode);
        QFETCH(bool, moduleUp);
        QFETCH(QString, next);
        QFETCH(QByteArray, atModule);
        QFETCH(int, dropped);
        Peer peer; // client mode's module
        const int clientPort = peer.Port();
        if (!moduleUp) peer.server.close();
        const int serverPort = vsptest::FreeLoopbackPort(); // the same when listening again
        QList<QTcpSocket*> modules; // server mode's module, one socket per connection
        QByteArray received;
        auto moduleConnects = [&] {
            auto* m = new QTcpSocket(&peer);
            connect(m, &QTcpSocket::readyRead, &peer, [&, m] { received += m->readAll(); });
            m->connectToHost(QHostAddress::LocalHost, quint16(serverPort));
            modules << m;
        };
        TPlatform platform = QuickReconnect();
        platform.Timings.CloseDrainMs = 50;
        FormHarness w({}, platform);
        w.Aim(clientPort, serverPort);
        HoldTicks(w.form.get());
        w->TCPServerModeCheckBox->setChecked(serverMode);
        w->CreateCOMBitBtnClick();
        w.port->Open();
        if (serverMode && moduleUp) {
            moduleConnects();
            QTRY_VERIFY(w->Link->DataConnection());
        }
        // Written and closed at once: in client mode while the open's connect is under way.
        w.port->ProgramWrites("OLD-DATA;");
        w.port->Close();
        const int waitTicks = TMainForm::TicksFor(platform.Timings.CloseDrainMs);
        if (next == "opens at once") {
            w.port->Open();
        } else if (next == "opens") {
            QTest::qWait(20);
            Ticks(w.form.get(), waitTicks / 2);
            w.port->Open();
        } else {
            for (int i = 0; i < waitTicks + 2; ++i) {
                Ticks(w.form.get(), 1);
                QTest::qWait(1);
            }
            // The line closed behind what went out, or with nothing sent.
            QVERIFY(!w->Link->DataConnection());
            QVERIFY(!w->VSPServerSocket->Active());
            QVERIFY(!w->VSPClientSocket->Active());
            w.port->Open();
        }
        if (!moduleUp) {
            QVERIFY(peer.server.listen(QHostAddress::LocalHost, quint16(clientPort)));
            if (serverMode) moduleConnects();
        } else if (serverMode && next == "after the wait") {
            moduleConnects(); // the module comes again once the port is open again
        }
        w.port->ProgramWrites("NEW");
        QVERIFY(QTest::qWaitFor(
            [&] {
                Ticks(w.form.get(), 1);
                return (serverMode ? received : peer.received).size() >= atModule.size();
            },
            5000));
        QTest::qWait(20);
        Ticks(w.form.get(), 2);
        QCOMPARE(serverMode ? received : peer.received, atModule);
        const QString line = QStringLiteral(
            "%1 bytes a closed program wrote were not sent to the module; dropped");
        const QStringList log = w.LogLines();
        QCOMPARE(log.filter(QStringLiteral("closed program")).size(), dropped > 0 ? 1 : 0);
        if (dropped > 0) QVERIFY2(log.contains(line.arg(dropped)), qPrintable(log.join('\n')));
    }

    void serverModeHandsStoreToTheModuleInOnePiece()
    {
        FormHarness w;
        w.Aim(1, vsptest::FreeLoopbackPort());
        HoldTicks(w.form.get());
        w->TCPServerModeCheckBox->setChecked(true);
        w->CreateCOMBitBtnClick();
        w.port->Open();
        QVERIFY(w->VSPServerSocket->Active());
        const int serverPort = w->VSPServerSocket->LocalPort();
        QVERIFY(serverPort > 0);

        const QByteArray early = Pattern(3000, 5);
        w.port->ProgramWrites(early);
        QCOMPARE(w->Link->PendingCount(), 3000);
        QVERIFY(w.LogLines().contains(QStringLiteral("TCP not connected, data stored in buffer")));

        QTcpSocket module;
        module.connectToHost(QHostAddress::LocalHost, quint16(serverPort));
        QTRY_VERIFY(w->Link->DataConnection());
        QCOMPARE(w->Link->PendingCount(), 0);
        QCOMPARE(w->LANStatusServerLabel->text(), QStringLiteral("Connected"));
        QTRY_COMPARE(module.bytesAvailable(), qint64(early.size()));
        QCOMPARE(module.readAll(), early);

        // A second module is accepted and closed at once; the first keeps the link.
        TCustomWinSocket* first = w->Link->DataConnection();
        QTcpSocket second;
        second.connectToHost(QHostAddress::LocalHost, quint16(serverPort));
        QTRY_VERIFY(w.LogLines().contains(
            QStringLiteral("TCP connection refused (more than 1 client not suported)")));
        const QStringList log = w.LogLines();
        QCOMPARE(log.at(log.size() - 2), QStringLiteral("TCP disconnected"));
        QCOMPARE(w->LANStatusServerLabel->text(), QStringLiteral("Listen"));
        QCOMPARE(w->Link->DataConnection(), first);
        QTRY_COMPARE(second.state(), QAbstractSocket::UnconnectedState);

        w.port->ProgramWrites("more");
        Ticks(w.form.get(), 2);
        QTRY_COMPARE(module.bytesAvailable(), qint64(4));
        QCOMPARE(module.readAll(), QByteArray("more"));
        module.write("back");
        QTRY_COMPARE(w.port->Output, QByteArray("back"));
    }

    void serverModeErrorsAndDisconnects()
    {
        FormHarness w;
        w.Aim(1, vsptest::FreeLoopbackPort());
        w->TCPServerModeCheckBox->setChecked(true);
        w->CreateCOMBitBtnClick();
        w.port->Open();
        const int serverPort = w->VSPServerSocket->LocalPort();

        QTcpSocket module;
        module.connectToHost(QHostAddress::LocalHost, quint16(serverPort));
        QTRY_VERIFY(w->Link->DataConnection());
        linger l { 1, 0 };
        setsockopt(int(module.socketDescriptor()), SOL_SOCKET, SO_LINGER, &l, sizeof l);
        module.abort();
        QTRY_COMPARE(w->LANStatusServerLabel->text(), QStringLiteral("Error"));
        QVERIFY(!w->Link->DataConnection());
        QCOMPARE(w.LogLines().last(), QStringLiteral("TCP error"));
        QVERIFY(!w->Link->LinkError()); // server mode asks no ping

        QTcpSocket again;
        again.connectToHost(QHostAddress::LocalHost, quint16(serverPort));
        QTRY_VERIFY(w->Link->DataConnection());
        again.disconnectFromHost();
        QTRY_COMPARE(w->LANStatusServerLabel->text(), QStringLiteral("Listen"));
        QVERIFY(!w->Link->DataConnection());
        QCOMPARE(w.LogLines().last(), QStringLiteral("TCP disconnected"));

        // An aborted connection (10053) is a plain end for the server side.
        w->OnVSPServerSocketClientError(nullptr, WSAECONNABORTED);
        QCOMPARE(w.LogLines().last(), QStringLiteral("Connection closed by remote module"));
        QCOMPARE(w->LANStatusServerLabel->text(), QStringLiteral("Listen"));
    }

    // A module that vanishes without a word (its link down) is found dead and goes through
    // the error path: the client suspends the link, says what was lost, and reconnects once
    // the module answers again; the server forgets the dead connection and takes the
    // module's next one instead of refusing it.
    void deadModuleIsFound_data()
    {
        QTest::addColumn<bool>("serverMode");
        QTest::newRow("client, the program writes") << false;
        QTest::newRow("server, the program only reads") << true;
    }
    void deadModuleIsFound()
    {
        if (!vsptest::IsRoot()) QSKIP("needs root: builds network namespaces of its own");
        VSPTEST_IN_PRIVATE_NETWORK();
        QFETCH(bool, serverMode);
        vsptest::NamespacePair net;
        QVERIFY2(net.Build(), qPrintable(net.Error()));
        vsptest::NamespaceScope inA(net.NameA());
        QVERIFY(inA.Ok());
        // The module's side, in B: its listening socket (client mode) or its connections.
        QTcpServer moduleListens;
        QTcpSocket moduleConnects, moduleAgain;
        auto inB = [&](const std::function<void()>& make) {
            vsptest::NamespaceScope scope(net.NameB());
            QVERIFY(scope.Ok());
            make();
        };

        std::atomic<bool> moduleThere { true };
        TPlatform platform;
        platform.Timings.PeerWatch = { 1, 1, 2, 1000, 100 };
        platform.WorkerPing = [&](const QString&) {
            return moduleThere ? TPingThread::PingReply : TPingThread::PingSilent;
        };
        FormHarness w({}, platform);
        w->TCPServerModeCheckBox->setChecked(serverMode);
        if (serverMode) {
            w.Aim(1, vsptest::FreeLoopbackPort());
            w->IPAddressComboBox->setEditText(net.AddressB());
            w->CreateCOMBitBtnClick();
            w.port->Open();
            const quint16 port = quint16(w->VSPServerSocket->LocalPort());
            inB([&] { moduleConnects.connectToHost(net.AddressA(), port); });
        } else {
            inB([&] { QVERIFY(moduleListens.listen(QHostAddress(net.AddressB()))); });
            w.Aim(moduleListens.serverPort());
            w->IPAddressComboBox->setEditText(net.AddressB());
            w->CreateCOMBitBtnClick();
            w.port->Open();
        }
        QTRY_VERIFY(w->Link->DataConnection());

        QVERIFY2(net.SetLinkB(false), qPrintable(net.Error()));
        moduleThere = false;
        if (!serverMode) w.port->ProgramWrites("lost");
        if (serverMode) {
            QTRY_COMPARE_WITH_TIMEOUT(
                w->LANStatusServerLabel->text(), QStringLiteral("Error"), 15000);
            QVERIFY(!w->Link->DataConnection());
            QVERIFY(w.LogLines().contains(QStringLiteral("TCP error")));
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(
                w->LANStatusClientLabel->text(), QStringLiteral("Error LAN"), 15000);
            QVERIFY(w->Link->LinkError());
            const QStringList log = w.LogLines();
            QVERIFY2(log.contains(QStringLiteral("TCP error 10060")), qPrintable(log.join('\n')));
            QVERIFY(
                log.contains(QStringLiteral("4 bytes sent to the module were not acknowledged")));
        }

        // The module is back.
        QVERIFY2(net.SetLinkB(true), qPrintable(net.Error()));
        moduleThere = true;
        if (serverMode) {
            const quint16 port = quint16(w->VSPServerSocket->LocalPort());
            inB([&] { moduleAgain.connectToHost(net.AddressA(), port); });
            QTRY_COMPARE(w->LANStatusServerLabel->text(), QStringLiteral("Connected"));
            QVERIFY(!w.LogLines().contains(
                QStringLiteral("TCP connection refused (more than 1 client not suported)")));
            QVERIFY(moduleAgain.waitForConnected(2000));
            moduleAgain.write("again");
            QTRY_COMPARE(w.port->Output, QByteArray("again"));
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(w->Link->DataConnection() && !w->Link->LinkError(), 10000);
            w.port->ProgramWrites("back");
            QTRY_VERIFY(moduleListens.hasPendingConnections()
                || moduleListens.findChildren<QTcpSocket*>().size() > 1);
            QTcpSocket* now = nullptr;
            while (QTcpSocket* s = moduleListens.nextPendingConnection())
                now = s;
            QVERIFY(now);
            QByteArray got;
            QTRY_VERIFY((got += now->readAll()).endsWith("back"));
            QCOMPARE(got, QByteArray("back")); // the lost bytes are not sent twice
        }
    }

    void pingResultCodes()
    {
        FormHarness w;
        w.Aim(1);
        w->OnVSPClientSocketError(nullptr, WSAETIMEDOUT);
        QVERIFY(w->Link->LinkError());
        w->PingResult(2);
        QCOMPARE(w->LANStatusClientLabel->text(), QStringLiteral("Error LAN"));
        QVERIFY(w->Link->LinkError());
        w->PingResult(10);
        QCOMPARE(w->LANStatusClientLabel->text(), QStringLiteral("Error LAN"));
        QVERIFY(w->Link->LinkError());
        w->PingResult(0);
        QCOMPARE(w->LANStatusClientLabel->text(), QStringLiteral("Error PING"));
        w->PingResult(3);
        QCOMPARE(w->LANStatusClientLabel->text(), QStringLiteral("Close"));
        QVERIFY(!w->Link->LinkError());
    }
};

QTEST_MAIN(TstRelay)
#include "tst_relay.moc"
