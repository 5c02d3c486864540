// Creating and deleting the port, and the reactions to a program opening and closing it,
// against an in-memory port and a scripted ping; the link endpoints are real (loopback).

#include "app/Controls.h"
#include "app/Dialogs.h"
#include "app/Umainf.h"
#include "link/Sockets.h"
#include "tests/support/FormHarness.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QtTest>

using namespace vsp;
using vsptest::FakePort;

namespace {

// The window with the link aimed at 127.0.0.1:1 and a server port of 0.
struct Window : vsptest::FormHarness {
    Window() { Aim(1, 0); }
};

} // namespace

class TstLifecycle : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Both port fields must hold TCP port numbers, whichever mode is in use; a refused
    // field is named with the range, and nothing is pinged or made.
    void portFieldsMustBePortNumbers_data()
    {
        QTest::addColumn<QString>("serverPort");
        QTest::addColumn<QString>("clientPort");
        QTest::addColumn<bool>("serverMode");
        QTest::addColumn<QString>("message"); // empty: accepted
        QTest::newRow("empty server port") << ""
                                           << "23" << false << "'' is not a valid integer value";
        QTest::newRow("empty client port") << "4000"
                                           << "" << false << "'' is not a valid integer value";
        QTest::newRow("letters") << "40x0"
                                 << "23" << false << "'40x0' is not a valid integer value";
        const QString port = "'%1' is out of range for \"Port\": a TCP port is 1 to 65535";
        const QString server = "'%1' is out of range for \"Server port\": a TCP port is 1 to 65535";
        QTest::newRow("client port 99999") << "0"
                                           << "99999" << false << port.arg("99999");
        QTest::newRow("client port 70020") << "0"
                                           << "70020" << false << port.arg("70020");
        QTest::newRow("client port 0") << "0"
                                       << "0" << false << port.arg("0");
        QTest::newRow("client port -1") << "0"
                                        << "-1" << false << port.arg("-1");
        QTest::newRow("server port 70000") << "70000"
                                           << "23" << false << server.arg("70000");
        QTest::newRow("server port 0 in server mode") << "0"
                                                      << "23" << true << server.arg("0");
        QTest::newRow("server port -5") << "-5"
                                        << "23" << false << server.arg("-5");
        // Outside server mode nothing listens: 0 there is how stores and services say so.
        QTest::newRow("server port 0 in client mode") << "0"
                                                      << "23" << false << QString();
        QTest::newRow("both ends of the range") << "65535"
                                                << " 1 " << true << QString();
    }
    void portFieldsMustBePortNumbers()
    {
        QFETCH(QString, serverPort);
        QFETCH(QString, clientPort);
        QFETCH(bool, serverMode);
        QFETCH(QString, message);
        Window w;
        w->ServerPortLabeledEdit->setText(serverPort);
        w->PortLabeledEdit->setText(clientPort);
        w->TCPServerModeCheckBox->setChecked(serverMode);
        w->CreateCOMBitBtnClick();
        if (message.isEmpty()) {
            QCOMPARE(w.boxes.size(), 0);
            QCOMPARE(w.port->CreateCalls, 1);
            QVERIFY(w->DeleteCOMBitBtn->isEnabled());
            return;
        }
        QCOMPARE(w.boxes.size(), 1);
        QCOMPARE(w.boxes.first().Text, message);
        QVERIFY(w->CreateCOMBitBtn->isEnabled());
        QVERIFY(w.pinged.isEmpty());
        QCOMPARE(w.port->CreateCalls, 0);
    }

    void createWithAnsweringModule()
    {
        Window w;
        // Bytes of an earlier port, and an earlier link's error.
        QVERIFY(w->Link->StorePending(reinterpret_cast<const uint8_t*>("earlier"), 7, false));
        w->OnVSPClientSocketError(nullptr, WSAETIMEDOUT);
        QVERIFY(w->Link->LinkError());
        w->LogMessagesMemo->appendPlainText(QStringLiteral("old line"));
        QString labelDuringPing;
        int memoLinesDuringPing = -1;
        bool buttonDisabledDuringPing = false;
        w.onPing = [&](const QString&) -> int {
            labelDuringPing = w->LANStatusMessagesLabel->text();
            memoLinesDuringPing = w->LogMessagesMemo->toPlainText().isEmpty() ? 0 : 1;
            buttonDisabledDuringPing = !w->CreateCOMBitBtn->isEnabled();
            return 1;
        };
        w->ComPortComboBox->setEditText(QStringLiteral("COM5"));
        w->CreateCOMBitBtnClick();
        QCOMPARE(labelDuringPing, QStringLiteral("Send ping to a device. Wait, please..."));
        QCOMPARE(memoLinesDuringPing, 0);
        QVERIFY(buttonDisabledDuringPing);
        QCOMPARE(w->Link->PendingCount(), 0);
        QVERIFY(!w->Link->LinkError());
        QCOMPARE(w.port->Name, QStringLiteral("COM5"));
        QCOMPARE(w.LogLines(),
            QStringList({ "Device 127.0.0.1 found (ping received)", "Serial port COM5 created" }));
        QCOMPARE(w->LANStatusMessagesLabel->text(), QStringLiteral("Device 127.0.0.1 found"));
        QCOMPARE(w->StatusLabel->text(), QStringLiteral("Created"));
        QVERIFY(!w->CreateCOMBitBtn->isEnabled());
        QVERIFY(w->DeleteCOMBitBtn->isEnabled());
        // Without "Connect to module if port is closed" the link waits for the port's opening.
        QCOMPARE(w->LANStatusClientLabel->text(), QStringLiteral("-"));
    }

    void pingFailure_data()
    {
        QTest::addColumn<bool>("stopOnFailure");
        QTest::newRow("option clear: port created anyway") << false;
        QTest::newRow("option set: no port") << true;
    }
    void pingFailure()
    {
        QFETCH(bool, stopOnFailure);
        Window w;
        w.pingAnswer = 0;
        w->PingFailCheckBox->setChecked(stopOnFailure);
        w->CreateCOMBitBtnClick();
        if (stopOnFailure) {
            QCOMPARE(w.port->CreateCalls, 0);
            QCOMPARE(w->LANStatusMessagesLabel->text(),
                QStringLiteral("Can't create serial port (ping failed)"));
            QCOMPARE(w.LogLines(),
                QStringList({ "Ping to device failed, check device",
                    "Can't create serial port (127.0.0.1 ping failed)" }));
            QVERIFY(w->CreateCOMBitBtn->isEnabled());
            QVERIFY(!w->DeleteCOMBitBtn->isEnabled());
        } else {
            QCOMPARE(w.port->CreateCalls, 1);
            QCOMPARE(w->LANStatusMessagesLabel->text(),
                QStringLiteral("Device not found (ping failed)"));
            QCOMPARE(w->StatusLabel->text(), QStringLiteral("Created"));
            QCOMPARE(w.LogLines(),
                QStringList({ "Ping to device failed, check device", "Serial port COM2 created" }));
        }
    }

    void pingCannotStart()
    {
        Window w;
        w.pingAnswer = -1;
        w->CreateCOMBitBtnClick();
        QCOMPARE(w->LANStatusClientLabel->text(), QStringLiteral("Error PING"));
        QCOMPARE(w.port->CreateCalls, 1);
    }

    void connectClosedOpensLinkBeforePortAndClosesItOnFailure()
    {
        QTcpServer module;
        QVERIFY(module.listen(QHostAddress::LocalHost));
        Window w;
        w->PortLabeledEdit->setText(QString::number(module.serverPort()));
        w->ConnectClosedCheckBox->setChecked(true);
        w->TCPServerModeCheckBox->setChecked(true); // the client link opens all the same
        w->ServerPortLabeledEdit->setText(QStringLiteral("4001")); // one to listen on
        w.port->FailCreate = true;
        w->CreateCOMBitBtnClick();
        QCOMPARE(w->LANStatusMessagesLabel->text(), QStringLiteral("Can't create serial portCOM2"));
        QVERIFY(w.LogLines().contains(QStringLiteral("Can't create serial portCOM2")));
        QVERIFY(w->CreateCOMBitBtn->isEnabled());
        QVERIFY(!w->VSPClientSocket->Active());

        w.port->FailCreate = false;
        w->CreateCOMBitBtnClick();
        QTRY_COMPARE(w->LANStatusClientLabel->text(), QStringLiteral("Connected"));
        QVERIFY(w->Link->DataConnection());
        QVERIFY(w.LogLines().contains(QStringLiteral("TCP connected module 127.0.0.1")));
    }

    void deleteRefusedWhileOpen()
    {
        Window w;
        w->CreateCOMBitBtnClick();
        w.port->Open();
        const QString status = w->StatusLabel->text();
        w->DeleteCOMBitBtnClick();
        QCOMPARE(w.boxes.size(), 1);
        QCOMPARE(w.boxes.first().Text, QStringLiteral("Port is opend, can't be removed"));
        QCOMPARE(w.boxes.first().Icon, MsgIcon::Error);
        QCOMPARE(w.port->DeleteCalls, 0);
        QCOMPARE(w->StatusLabel->text(), status);
        QVERIFY(w->DeleteCOMBitBtn->isEnabled());
    }

    void deleteNamesCurrentPortText()
    {
        Window w;
        w->CreateCOMBitBtnClick();
        w->ComPortComboBox->setEditText(QStringLiteral("COM9"));
        w->DeleteCOMBitBtnClick();
        QCOMPARE(w.port->DeleteCalls, 1);
        QCOMPARE(w.LogLines().last(), QStringLiteral("Serial port COM9 removed"));
        QCOMPARE(w->StatusLabel->text(), QStringLiteral("Removed"));
        QCOMPARE(w->LANStatusMessagesLabel->text(), QStringLiteral("-"));
        QCOMPARE(w->LANStatusClientLabel->text(), QStringLiteral("Closed"));
        QCOMPARE(w->LANStatusServerLabel->text(), QStringLiteral("Closed"));
        QVERIFY(w->CreateCOMBitBtn->isEnabled());
        QVERIFY(!w->DeleteCOMBitBtn->isEnabled());
    }

    void openAndCloseInClientMode()
    {
        QTcpServer module;
        QVERIFY(module.listen(QHostAddress::LocalHost));
        Window w;
        w->PortLabeledEdit->setText(QString::number(module.serverPort()));
        w->CreateCOMBitBtnClick();
        w.port->ProgramWrites("12345"); // counted before any program opened the port
        QCOMPARE(w->Link->SerialRxCount(), 5);
        w.port->Open();
        QCOMPARE(w->StatusLabel->text(), QStringLiteral("Opened"));
        QCOMPARE(w->Link->SerialRxCount(), 0);
        QCOMPARE(w->Link->LanTxCount(), 0);
        QCOMPARE(w->SerialRxLabel->text(), QStringLiteral("0"));
        QTRY_COMPARE(w->LANStatusClientLabel->text(), QStringLiteral("Connected"));
        QTRY_COMPARE(w->Link->PendingCount(), 0);
        TCustomWinSocket* first = w->Link->DataConnection();
        QVERIFY(first);

        w->BaudLabel->setText(QStringLiteral("9600"));
        w.port->Close();
        QCOMPARE(w->StatusLabel->text(), QStringLiteral("Closed"));
        QCOMPARE(w->BaudLabel->text(), QStringLiteral("-"));
        QCOMPARE(w->LANStatusClientLabel->text(), QStringLiteral("Closed"));
        QVERIFY(!w->Link->DataConnection());
        QVERIFY(w.LogLines().contains(QStringLiteral("Port COM2 closed")));
        QVERIFY(w.LogLines().contains(QStringLiteral("TCP disconneted module 127.0.0.1")));
    }

    void openWhileConnectedMakesNoSecondConnect()
    {
        QTcpServer module;
        QVERIFY(module.listen(QHostAddress::LocalHost));
        Window w;
        w->PortLabeledEdit->setText(QString::number(module.serverPort()));
        w->ConnectClosedCheckBox->setChecked(true);
        w->CreateCOMBitBtnClick();
        QTRY_VERIFY(w->Link->DataConnection());
        TCustomWinSocket* connection = w->Link->DataConnection();
        w.port->Open();
        QCOMPARE(w->Link->DataConnection(), connection);
        QCOMPARE(w->LANStatusClientLabel->text(), QStringLiteral("Connected"));
        // "Connect to module if port is closed": the link stays up when the program closes.
        w.port->Close();
        QCOMPARE(w->Link->DataConnection(), connection);
        QCOMPARE(w->LANStatusClientLabel->text(), QStringLiteral("Connected"));
    }

    void serverModeListensWhileOpen()
    {
        Window w;
        w->TCPServerModeCheckBox->setChecked(true);
        w->ConnectClosedCheckBox->setChecked(true);
        w.pingAnswer = 0;
        w->CreateCOMBitBtnClick();
        w.port->Open();
        QVERIFY(w->VSPServerSocket->Active());
        QCOMPARE(w->LANStatusServerLabel->text(), QStringLiteral("Listen"));
        QCOMPARE(w->LANStatusClientLabel->text(), QStringLiteral("-"));
        w.port->Close();
        QVERIFY(!w->VSPServerSocket->Active());
        QCOMPARE(w->LANStatusServerLabel->text(), QStringLiteral("Closed"));
    }
};

QTEST_MAIN(TstLifecycle)
#include "tst_lifecycle.moc"
