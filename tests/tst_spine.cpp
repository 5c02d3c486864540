// Start-up and shutdown of the main window: what the first and later shows do, the close
// question while a program holds the port, and the ping worker's end.

#include "app/Shell.h"
#include "tests/support/FormHarness.h"
#include "vport/Uping.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QtTest>
#include <thread>

using namespace vsp;
using vsptest::FormHarness;

class TstSpine : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void portCreatedOnFirstShowOnlyAndEveryShowSearches()
    {
        // "Hide" hides only into a notification area; without one it minimises, and a
        // minimised window is not shown again.
        TPlatform withTray;
        withTray.TrayAvailable = [] { return true; };
        FormHarness w(
            { QStringLiteral("-P1"), QStringLiteral("-i127.0.0.1:1"), QStringLiteral("-s0") },
            withTray);
        QSignalSpy searches(w->UDPSearchBitBtn, &QPushButton::clicked);
        w->show();
        QCOMPARE(w.port->CreateCalls, 1);
        QCOMPARE(searches.count(), 1);
        w->HideBitBtnClick();
        w->show();
        w->hide();
        w->show();
        QCOMPARE(w.port->CreateCalls, 1);
        QCOMPARE(searches.count(), 3);
    }

    void closeQuestionWhileTheProgramHoldsThePort_data()
    {
        QTest::addColumn<bool>("yes");
        QTest::newRow("No: everything runs on") << false;
        QTest::newRow("Yes: the port is deleted anyway") << true;
    }
    void closeQuestionWhileTheProgramHoldsThePort()
    {
        QFETCH(bool, yes);
        FormHarness w;
        w.Aim(1, 0);
        w->CreateCOMBitBtnClick();
        w.port->Open();
        w.boxAnswer = yes ? MsgResult::Yes : MsgResult::No;
        QCOMPARE(w->FormClose(), yes);
        QCOMPARE(w.boxes.size(), 1);
        const MessageBoxRequest box = w.boxes.first();
        QCOMPARE(box.Text,
            QStringLiteral(
                "Port is opend, can't be removed. Close application? (port will be blocked)"));
        QCOMPARE(box.Caption, ApplicationTitle());
        QCOMPARE(box.Icon, MsgIcon::Error);
        QCOMPARE(box.Buttons, MsgButtons::YesNo);
        QCOMPARE(w.port->DeleteCalls, yes ? 1 : 0);
        QCOMPARE(w->PingThread == nullptr, yes);
    }

    void closeWithoutOpenPortAsksNothing()
    {
        FormHarness w;
        QVERIFY(w->FormClose());
        QVERIFY(w.boxes.isEmpty());
        QCOMPARE(w.port->DeleteCalls, 1); // harmless without a port
    }

    void closeWaitsForARunningPing()
    {
        TPlatform slowCheck;
        slowCheck.WorkerPing = [](const QString&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            return 1;
        };
        FormHarness w({}, slowCheck);
        w->RequestPing(PING_CLOSE, PING_ERROR_LAN);
        QTRY_VERIFY(w->PingThread->Busy());
        QElapsedTimer clock;
        clock.start();
        QVERIFY(w->FormClose());
        QVERIFY2(clock.elapsed() >= 200, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!w->PingThread);
    }

    void kelmarDeviceTestChecksTheNvtBoxes()
    {
        FormHarness w;
        w->KelmarTestCheckBox->setChecked(true);
        QVERIFY(w->NVTEnabledCheckBox->isChecked());
        QVERIFY(w->NVTFilterCheckBox->isChecked());
        QVERIFY(w->NVTPortSetupCheckBox->isChecked());
        QVERIFY(!w->NVTKeepCheckBox->isChecked());
    }
};

QTEST_MAIN(TstSpine)
#include "tst_spine.moc"
