// The notification icon, its tip and clicks, hiding the window, and the logo's link.

#include "app/Controls.h"
#include "app/Dialogs.h"
#include "app/Messages.h"
#include "app/Shell.h"
#include "app/Umainf.h"
#include "setup/Udpthread.h"
#include "tests/support/FormHarness.h"

#include "tests/support/TestSupport.h"
#include <QCheckBox>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTimer>

#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

using namespace vsp;

namespace {

const QString Prefix = QStringLiteral("Orvane Virtual port manager ");
constexpr char TrayChildVar[] = "VSP_TST_TRAY_CHILD";

// Set while a case pretends that the desktop has a notification area, and what opens the
// logo's page while a case records it.
bool trayPretended = false;
UrlOpener urlOpener;

// The desktop as the case pretends it to be.
TPlatform Services(bool logToStderr = false)
{
    TPlatform platform;
    platform.LogToStderr = logToStderr;
    platform.TrayAvailable = [] { return trayPretended || TrayAvailable(); };
    platform.OpenUrl = [](const QUrl& url) { return urlOpener ? urlOpener(url) : OpenUrl(url); };
    return platform;
}

// Counts the module searches a window starts (every show starts one).
struct SearchCounter {
    int Count = 0;
    QMetaObject::Connection Connection;
    explicit SearchCounter(TMainForm& form)
    {
        Connection
            = QObject::connect(form.UDPSearchBitBtn, &QPushButton::clicked, [this] { ++Count; });
    }
    ~SearchCounter() { QObject::disconnect(Connection); }
};

// While it lives, the desktop has a notification area as far as the window can tell (this
// display has none): for the cases about hiding into it and coming back from it.
struct WithTray {
    WithTray() { trayPretended = true; }
    ~WithTray() { trayPretended = false; }
};

void Click(TMainForm& form, QSystemTrayIcon::ActivationReason reason)
{
    PostMessage(&form, WM_TRAYNOTIFY, 0, TrayMouseMessage(reason));
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}

} // namespace

class TstTray : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void tipIsFixedTextAndPortName_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("tip");
        QTest::newRow("COM7") << "COM7" << Prefix + "COM7";
        QTest::newRow("empty") << "" << Prefix;
        QTest::newRow("99 characters fit exactly") << QString(99, 'x') << Prefix + QString(99, 'x');
        QTest::newRow("100 characters lose one") << QString(100, 'x') << Prefix + QString(99, 'x');
        QTest::newRow("200 characters") << QString(200, 'y') << Prefix + QString(99, 'y');
        // A character outside the basic plane is not split in half at the cut.
        QTest::newRow("no half character")
            << QString(98, 'z') + QString::fromUtf8("\xF0\x9F\x94\x8C")
            << Prefix + QString(98, 'z');
    }

    void tipIsFixedTextAndPortName()
    {
        QFETCH(QString, port);
        QFETCH(QString, tip);
        QCOMPARE(Prefix.size(), 28);
        const QString built = BuildTrayTip(port);
        QCOMPARE(built, tip);
        QVERIFY(built.size() <= 127);
    }

    void iconRecordFollowsThePortName()
    {
        vsptest::FormHarness form(vsptest::DesignDefaults, Services(), { .log = false });
        QCOMPARE(form->TrayIconData.Id, 1);
        QCOMPARE(form->TrayIconData.Flags, 7u);
        QCOMPARE(form->TrayIconData.Tip, Prefix + "COM2");

        form->ComPortComboBox->setEditText(QStringLiteral("COM7"));
        QCOMPARE(form->TrayIconData.Flags, 4u);
        QCOMPARE(form->TrayIconData.Tip, Prefix + "COM7");

        form->ComPortComboBox->setCurrentIndex(form->ComPortComboBox->findText("COM12"));
        QCOMPARE(form->TrayIconData.Tip, Prefix + "COM12");
        QTest::keyClicks(form->ComPortComboBox->lineEdit(), "3");
        QCOMPARE(form->TrayIconData.Tip, Prefix + "COM123");
    }

    void withoutTrayTheProgramRunsOnAndSaysSoOnce()
    {
        if (QSystemTrayIcon::isSystemTrayAvailable()) QSKIP("this desktop has a notification area");
        std::unique_ptr<vsptest::FormHarness> harness;
        const QByteArray err = vsptest::CaptureStderr([&] {
            harness = std::make_unique<vsptest::FormHarness>(
                vsptest::DesignDefaults, Services(true), vsptest::FormOptions { .log = false });
        });
        TMainForm* form = harness->get();
        QVERIFY(!form->Terminated);
        QVERIFY(form->TrayIconData.Icon == nullptr);
        QCOMPARE(err.count("No notification area"), 1);

        // Also in the window's own log, when it is on.
        form->RemoveTrayIcon();
        form->LogEnabledCheckBox->setChecked(true);
        form->AddTrayIcon();
        const QString memo = form->LogMessagesMemo->toPlainText();
        QCOMPARE(memo.count(QStringLiteral("No notification area")), 1);
        QVERIFY(!memo.contains(QLatin1Char('\n')));
        QVERIFY(form->TrayIconData.Icon == nullptr);
    }

    void clickMeansItsMouseMessage()
    {
        QCOMPARE(TrayMouseMessage(QSystemTrayIcon::Trigger), WM_LBUTTONDOWN);
        QCOMPARE(TrayMouseMessage(QSystemTrayIcon::DoubleClick), WM_LBUTTONDBLCLK);
        QCOMPARE(TrayMouseMessage(QSystemTrayIcon::Context), WM_RBUTTONDOWN);
        QCOMPARE(TrayMouseMessage(QSystemTrayIcon::MiddleClick), WM_MBUTTONDOWN);
        QCOMPARE(TrayMouseMessage(QSystemTrayIcon::Unknown), std::intptr_t(0));
    }

    void leftClickShowsTheHiddenWindowAndSearches()
    {
        WithTray tray;
        vsptest::FormHarness form(vsptest::DesignDefaults, Services(), { .log = false });
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        form->HideBitBtn->click();
        QVERIFY(!form->isVisible());

        SearchCounter searches(*form);
        Click(*form, QSystemTrayIcon::Trigger);
        QVERIFY(form->isVisible());
        QCOMPARE(searches.Count, 1);

        // Visible already: nothing changes, no new search.
        Click(*form, QSystemTrayIcon::Trigger);
        QVERIFY(form->isVisible());
        QCOMPARE(searches.Count, 1);
    }

    void otherClicksDoNothing()
    {
        WithTray tray;
        vsptest::FormHarness form(vsptest::DesignDefaults, Services(), { .log = false });
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        form->HideBitBtn->click();
        SearchCounter searches(*form);
        for (auto reason : { QSystemTrayIcon::DoubleClick, QSystemTrayIcon::Context,
                 QSystemTrayIcon::MiddleClick }) {
            Click(*form, reason);
            QVERIFY(!form->isVisible());
        }
        QCOMPARE(searches.Count, 0);
    }

    void hideKeepsEverythingElseRunning()
    {
        WithTray tray;
        vsptest::FormHarness harness(vsptest::DesignDefaults, Services(), { .log = false });
        TMainForm& form = *harness;
        vsptest::FakePort* port = harness.port;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        port->CreatePort(QStringLiteral("COM2"));
        QCOMPARE(form.HideBitBtn->toolTip(),
            QStringLiteral("Hide dialog. Use icon in systray to show dialog."));
        auto workerRunning = [&] { return form.UDPThread && form.UDPThread->isRunning(); };
        const bool workerWasRunning = workerRunning();
        form.HideBitBtn->click();
        QVERIFY(!form.isVisible());
        QVERIFY(form.MainTimer->isActive());
        QCOMPARE(workerRunning(), workerWasRunning);
        QVERIFY(port->Created);
        QCOMPARE(port->DeleteCalls, 0);
    }

    void hideOnStartupShowsThenHides()
    {
        WithTray tray;
        vsptest::FormHarness form(vsptest::DesignDefaults, Services(), { .log = false });
        form->StartupHideCheckBox->setChecked(true); // before the first show, as if stored
        SearchCounter searches(*form);
        form->show();
        QVERIFY(form->isVisible()); // shown first, so FormShow ran
        QCOMPARE(searches.Count, 1);
        QTRY_VERIFY(!form->isVisible());
        // Only the first show hides.
        Click(*form, QSystemTrayIcon::Trigger);
        QVERIFY(form->isVisible());
        QTest::qWait(50);
        QVERIFY(form->isVisible());
        QCOMPARE(searches.Count, 2);
    }

    // Without a notification area a hidden window could never come back: "Hide" and
    // "Hide on startup" minimise it instead, and the log says why, once.
    void withoutTrayHideMinimises()
    {
        if (QSystemTrayIcon::isSystemTrayAvailable()) QSKIP("this desktop has a notification area");
        vsptest::FormHarness form(vsptest::DesignDefaults, Services(), { .log = false });
        form->LogEnabledCheckBox->setChecked(true);
        form->StartupHideCheckBox->setChecked(true); // before the first show, as if stored
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QTRY_VERIFY(form->isMinimized());
        QVERIFY(form->isVisible());
        QVERIFY(form->UDPThread && form->MainTimer->isActive());
        form->showNormal();
        QVERIFY(!form->isMinimized());
        form->HideBitBtn->click();
        QVERIFY(form->isMinimized());
        QVERIFY(form->isVisible());
        const QString memo = form->LogMessagesMemo->toPlainText();
        QCOMPARE(memo.count(QStringLiteral("No notification area to hide the window in; it is "
                                           "minimised instead")),
            1);
    }

    void removingTheIconTwiceIsHarmless()
    {
        vsptest::FormHarness form(vsptest::DesignDefaults, Services(), { .log = false });
        form->RemoveTrayIcon();
        form->RemoveTrayIcon();
        QVERIFY(form->TrayIconData.Icon == nullptr);
    }

    void logoOpensTheMakersPage()
    {
        QList<QUrl> opened;
        urlOpener = [&](const QUrl& url) {
            opened << url;
            return true;
        };
        vsptest::FormHarness form(vsptest::DesignDefaults, Services(), { .log = false });
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QTest::mouseClick(form->LogoImage, Qt::LeftButton);
        QTest::mouseClick(form->LogoImage, Qt::RightButton);
        urlOpener = {};
        QCOMPARE(opened.size(), 1);
        QCOMPARE(opened.first(), QUrl(QString::fromLatin1(MakerWebPage)));
    }

    // With a tray host on a virtual display, in a process of its own: the icon is really
    // added, carries the tip, and its clicks reach the window.
    void trayPresent()
    {
        if (qEnvironmentVariableIsSet(TrayChildVar)) {
            RunTrayPresent();
            return;
        }
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("xvfb-run"));
        const QString trayer = QStandardPaths::findExecutable(QStringLiteral("trayer"));
        if (xvfb.isEmpty() || trayer.isEmpty())
            QSKIP("xvfb-run or trayer is not installed: the case with a tray host is not run");
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QLatin1String(TrayChildVar), QStringLiteral("1"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        const QString script = QStringLiteral(
            "trayer --edge top --align right --widthtype pixel --width 100 --height 24 & "
            "t=$!; \"$0\" trayPresent; r=$?; kill $t; wait $t 2>/dev/null; exit $r");
        child.start(xvfb,
            { QStringLiteral("-a"), QStringLiteral("-s"), QStringLiteral("-screen 0 640x480x24"),
                QStringLiteral("sh"), QStringLiteral("-c"), script,
                QCoreApplication::applicationFilePath() });
        QVERIFY(child.waitForStarted());
        QVERIFY2(child.waitForFinished(120000), "the tray-present child did not finish");
        const QByteArray out = child.readAll();
        qInfo("%s", out.constData());
        QVERIFY2(
            child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, out.constData());
        QVERIFY2(out.contains("PASS   : TstTray::trayPresent()"), out.constData());
    }

private:
    void RunTrayPresent()
    {
        QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 15000);
        vsptest::FormHarness form(vsptest::DesignDefaults, Services(), { .log = false });
        QSystemTrayIcon* icon = form->TrayIconData.Icon;
        QVERIFY(icon);
        QVERIFY(icon->isVisible());
        QVERIFY(!icon->icon().isNull());
        QCOMPARE(icon->toolTip(), Prefix + "COM2");
        QCOMPARE(form->TrayIconData.Flags, 7u);
        QVERIFY(!form->windowIcon().isNull());

        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        form->HideBitBtn->click();
        QVERIFY(!form->isVisible());
        SearchCounter searches(*form);
        Q_EMIT icon->activated(QSystemTrayIcon::Context);
        Q_EMIT icon->activated(QSystemTrayIcon::DoubleClick);
        QTest::qWait(50);
        QVERIFY(!form->isVisible());
        Q_EMIT icon->activated(QSystemTrayIcon::Trigger);
        QTRY_VERIFY(form->isVisible());
        QCOMPARE(searches.Count, 1);

        form->ComPortComboBox->setEditText(QStringLiteral("COM9"));
        QCOMPARE(icon->toolTip(), Prefix + "COM9");
        QCOMPARE(form->TrayIconData.Flags, 4u);

        form->RemoveTrayIcon();
        QVERIFY(form->TrayIconData.Icon == nullptr);
        form->RemoveTrayIcon();
    }
};

QTEST_MAIN(TstTray)
#include "tst_tray.moc"
