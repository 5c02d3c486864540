// The windows against their design: every control of the main window's three pages, the
// settings report window and the set-up dialog, with names, kinds, captions, places,
// design states and hints; captions that stay inside their places; the logo picture.

#include "app/Controls.h"
#include "app/Dialogs.h"
#include "app/Shell.h"
#include "app/Umainf.h"
#include "link/Sockets.h"
#include "setup/Umodulesetupf.h"
#include "tests/support/FormHarness.h"
#include "tests/support/TestSupport.h"
#include "vport/Usettingsf.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QImageReader>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTabWidget>
#include <QTextEdit>
#include <QtTest>

using namespace vsp;

namespace {

// What a control shows as its caption.
QString CaptionOf(QWidget* w)
{
    if (auto* e = qobject_cast<TLabeledEdit*>(w)) return e->EditLabel->text();
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
    if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
    return {};
}

// Text as it is drawn: "&&" shows one ampersand, a single "&" marks the access key.
QString Shown(QString text)
{
    text.replace(QLatin1String("&&"), QLatin1String("\x01"));
    text.remove(QLatin1Char('&'));
    text.replace(QLatin1Char('\x01'), QLatin1Char('&'));
    return text;
}

// The room a control's caption needs, beside what the style adds around it.
int CaptionRoom(QWidget* w)
{
    const QFontMetrics fm = w->fontMetrics();
    const QString text = Shown(CaptionOf(w));
    if (auto* b = qobject_cast<QPushButton*>(w))
        return fm.horizontalAdvance(text) + (b->icon().isNull() ? 0 : GlyphSize + 4) + 8;
    if (qobject_cast<QCheckBox*>(w) || qobject_cast<QRadioButton*>(w)) return w->sizeHint().width();
    if (qobject_cast<QLabel*>(w) && !qobject_cast<TImage*>(w)) return fm.horizontalAdvance(text);
    return 0;
}

// Every visible control inside its parent, its caption inside its place, and no two
// visible siblings on top of each other.
void CheckContainer(QWidget* container)
{
    QList<QWidget*> kids;
    for (QObject* o : container->children()) {
        auto* w = qobject_cast<QWidget*>(o);
        if (w && !w->isWindow() && !w->isHidden()) kids << w;
    }
    const QRect room(QPoint(0, 0), container->size());
    for (QWidget* w : kids) {
        const QString what = QStringLiteral("%1 (%2) in %3")
                                 .arg(w->objectName(), CaptionOf(w), container->objectName());
        QVERIFY2(room.contains(w->geometry()), qPrintable(what + " leaves its parent"));
        const int need = CaptionRoom(w);
        QVERIFY2(need <= w->width(),
            qPrintable(what + QStringLiteral(" needs %1 of %2").arg(need).arg(w->width())));
        if (auto* e = qobject_cast<TLabeledEdit*>(w))
            QVERIFY2(room.contains(e->EditLabel->geometry()),
                qPrintable(what + " has its label outside"));
    }
    for (int i = 0; i < kids.size(); ++i)
        for (int j = i + 1; j < kids.size(); ++j)
            QVERIFY2(!kids[i]->geometry().intersects(kids[j]->geometry()),
                qPrintable(QStringLiteral("%1 and %2 overlap in %3")
                               .arg(kids[i]->objectName(), kids[j]->objectName(),
                                   container->objectName())));
}

bool SamePixels(const QPixmap& a, const QPixmap& b)
{
    return a.toImage() == b.toImage();
}

} // namespace

class TstLayout : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // First, so that it sees the first window of the run (the note is logged once).
    void designFontOrAStandInThatFits()
    {
        const QFont font = DesignFont();
        const QString family = QFontInfo(font).family();
        // The run with a private font set names the one sans-serif it leaves visible, so
        // that a font set that did not take cannot pass as that run.
        const QString only = qEnvironmentVariable("VSP_TEST_ONLY_FONT");
        if (!only.isEmpty()) QCOMPARE(family, only);
        const bool design = MetricSansFamilies().contains(family, Qt::CaseInsensitive);
        if (design) {
            QCOMPARE(font.pixelSize(), 11);
            QCOMPARE(DesignFontNote(), QString());
        } else {
            QVERIFY2(font.pixelSize() < 11, qPrintable(family));
            QCOMPARE(FittingPixelSize(font), font.pixelSize());
            QVERIFY(DesignFontNote().startsWith(
                QStringLiteral("Font %1 %2 px: ").arg(family).arg(font.pixelSize())));
        }
        const QString note = DesignFontNote();
        const QByteArray err = vsptest::CaptureStderr([] {
            TPlatform loud;
            loud.LogToStderr = true;
            vsptest::FormHarness first(vsptest::DesignDefaults, loud, { .log = false });
            vsptest::FormHarness second(vsptest::DesignDefaults, loud, { .log = false });
        });
        QCOMPARE(err.count("Font "), design ? 0 : 1);
        if (!design) QVERIFY2(err.contains(note.toLocal8Bit()), err.constData());
    }

    void mainWindowFrame()
    {
        vsptest::FormHarness form(vsptest::DesignDefaults, {}, { .log = false });
        QCOMPARE(form->windowTitle(), QStringLiteral("Kelmar Virtual port manager"));
        QCOMPARE(form->size(), QSize(355, 450));
        QCOMPARE(form->minimumSize(), QSize(355, 450));
        QCOMPARE(form->maximumSize(), QSize(355, 450));
        const Qt::WindowFlags flags = form->windowFlags();
        QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QVERIFY(!form->windowIcon().isNull());
        QVERIFY2(MetricSansFamilies().contains(QFontInfo(form->font()).family()),
            "the window is laid out for Liberation Sans (Debian: fonts-liberation2)");
        QCOMPARE(QFontInfo(form->font()).pixelSize(), 11);

        const QRect screen = form->screen()->availableGeometry();
        QVERIFY(qAbs(form->geometry().center().x() - screen.center().x()) <= 1);
        QVERIFY(qAbs(form->geometry().center().y() - screen.center().y()) <= 1);

        QCOMPARE(form->MainPageControl->geometry(), QRect(0, 0, 353, 449));
        QCOMPARE(form->MainPageControl->count(), 3);
        QCOMPARE(form->MainPageControl->tabText(0), QStringLiteral("Virtual SP"));
        QCOMPARE(form->MainPageControl->tabText(1), QStringLiteral("UDP Setup"));
        QCOMPARE(form->MainPageControl->tabText(2), QStringLiteral("Settings"));
        QCOMPARE(form->MainPageControl->widget(0), form->VSPTabSheet);
        QCOMPARE(form->MainPageControl->widget(1), form->UDPSetupTabSheet);
        QCOMPARE(form->MainPageControl->widget(2), form->SettingsTabSheet);

        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QCOMPARE(form->MainPageControl->currentWidget(), form->SettingsTabSheet);
    }

    void mainWindowControls_data()
    {
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QByteArray>("kind");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("text"); // edit text of edits and lists
        QTest::addColumn<QRect>("place"); // -1: not part of the design
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<bool>("hidden");
        QTest::addColumn<QString>("hint");

        const QByteArray label = "QLabel", combo = "QComboBox", edit = "vsp::TLabeledEdit",
                         check = "QCheckBox", group = "QGroupBox", button = "QPushButton";
        const QString vsp = "VSPTabSheet", udp = "UDPSetupTabSheet", set = "SettingsTabSheet";
        auto row = [](const char* name, const QString& parent, const QByteArray& kind,
                       const QString& caption, const QRect& place, const QString& text = {},
                       bool enabled = true, bool hidden = false, const QString& hint = {}) {
            QTest::newRow(name) << parent << kind << caption << text << place << enabled << hidden
                                << hint;
        };
        auto at = [](int x, int y, int w = -1, int h = -1) { return QRect(x, y, w, h); };

        // "Virtual SP"
        row("IPAddressLabel", vsp, label, "IP address", at(8, 8));
        row("IPAddressComboBox", vsp, combo, "", at(3, 24, 121), "192.168.1.60");
        row("PortLabeledEdit", vsp, edit, "Port", at(144, 24, 65), "");
        row("ComPortLabel", vsp, label, "Port name", at(3, 48));
        row("ComPortComboBox", vsp, combo, "", at(3, 64, 89), "COM2");
        row("ServerPortLabeledEdit", vsp, edit, "Server port", at(144, 64, 65), "");
        row("KelmarTestCheckBox", vsp, check, "Kelmar device test", at(3, 91, 129), {}, false);
        row("LANStatusGroupBox", vsp, group, " LAN status ", at(3, 112, 206, 65));
        const QString lan = "LANStatusGroupBox";
        row("LANStatusClientSLabel", lan, label, "Client connection   :", at(8, 16));
        row("LANStatusClientLabel", lan, label, "-", at(107, 16));
        row("LANStatusServerSLabel", lan, label, "Server connection :", at(8, 32));
        row("LANStatusServerLabel", lan, label, "-", at(107, 32));
        row("LANStatusMessagesLabel", lan, label, "-", at(8, 48));
        row("PortStatusGroupBox", vsp, group, " Port status ", at(214, 8, 126, 169));
        const QString ps = "PortStatusGroupBox";
        const char* pairs[][4] = {
            { "StatusSLabel", "Status", "StatusLabel", "-" },
            { "BaudSLabel", "Baud", "BaudLabel", "-" },
            { "BitsSLabel", "Bits", "BitsLabel", "-" },
            { "ParitySLabel", "Parity", "ParityLabel", "-" },
            { "StopbitsSLabel", "Stop bits", "StopBitsLabel", "-" },
            { "SerialRxSLabel", "Serial Rx", "SerialRxLabel", "0" },
            { "SerialTxSLabel", "Serial Tx", "SerialTxLabel", "0" },
            { "LANRxSLabel", "LAN Rx", "LANRxLabel", "0" },
            { "LANTxSLabel", "LAN Tx", "LANTxLabel", "0" },
        };
        int top = 24;
        for (const auto& p : pairs) {
            row(p[0], ps, label, p[1], at(8, top));
            row(p[2], ps, label, p[3], at(56, top));
            top += 16;
        }
        row("CreateCOMBitBtn", vsp, button, "Create COM", at(3, 184, 97, 25));
        row("DeleteCOMBitBtn", vsp, button, "Delete COM", at(112, 184, 97, 25), {}, false);
        row("HideBitBtn", vsp, button, "Hide", at(272, 184, 69, 25), {}, true, false,
            "Hide dialog. Use icon in systray to show dialog.");
        row("LogMessagesMemo", vsp, "QPlainTextEdit", "", at(3, 216, 338, 92), "");

        // "UDP Setup"
        row("UDPMACLabel", udp, label, "Modules MAC list", at(3, 8));
        row("UDPMACListBox", udp, "QListWidget", "", at(3, 24, 134, 284));
        row("UDPInfoLabel1", udp, label, "UDP SEARCH works only with original.", at(144, 8));
        row("UDPInfoLabel2", udp, label, "Kelmar devices  on local network", at(144, 24));
        row("UDPInfoLabel3", udp, label, "segment.", at(144, 40));
        row("UDPModuleParamsGroupBox", udp, group, " Module parameters ", at(142, 56, 201, 185));
        const QString mp = "UDPModuleParamsGroupBox";
        row("UDPIPAddressEdit", mp, edit, "IP", at(8, 32, 113), "");
        row("UDPPortEdit", mp, edit, "Port", at(128, 32, 62), "");
        row("UDPMaskEdit", mp, edit, "Mask", at(8, 72, 182), "");
        row("UDPGatewayEdit", mp, edit, "Gateway", at(8, 112, 182), "");
        row("NVTLabel", mp, label, "NVT (unknown)", at(8, 144));
        row("TEALabel", mp, label, "TEA Auth. (unknown)", at(8, 160));
        row("UDPSearchBitBtn", udp, button, "&Search modules", at(232, 250, 110, 25), {}, true,
            false, "Seach for modules in local LAN segemnt");
        row("UDPUseThisIPBitBtn", udp, button, "&Use this IP", at(232, 282, 110, 25), {}, true,
            false, "Copy found IP to Virtual port settings");
        row("UDPSetupModuleBtn", udp, button, "Setup module", at(80, 275, 110, 25), {}, false,
            true);

        // "Settings"
        row("TEAGroupBox", set, group, " TEA Key ", at(3, 8, 190, 105));
        const QString tea = "TEAGroupBox";
        row("UKEdit1", tea, edit, "1:", at(24, 24, 65), "3A7F19C2");
        row("UKEdit2", tea, edit, "2:", at(24, 48, 65), "B04E6D15");
        row("UKEdit3", tea, edit, "3:", at(112, 24, 65), "5C92E8A1");
        row("UKEdit4", tea, edit, "4:", at(112, 48, 65), "0F63D7B4");
        row("TEAEnabledCheckBox", tea, check, "Use TEA auth.", at(16, 80));
        row("NVTGroupBox", set, group, " NVT ", at(200, 8, 142, 105));
        const QString nvt = "NVTGroupBox";
        row("NVTEnabledCheckBox", nvt, check, "NVT enable", at(8, 16), {}, true, false,
            "Enable NVT commands");
        row("NVTFilterCheckBox", nvt, check, "NVT filter", at(32, 40), {}, false, false,
            "Use for RFC2217 (remote serial port) compatible devices");
        row("NVTPortSetupCheckBox", nvt, check, "NVT port setup", at(32, 60), {}, false, false,
            "Synchronize remote port setting (Set remote Baudrate, Parity.. via NVT based on "
            "virtual port parameters");
        row("NVTKeepCheckBox", nvt, check, "Keep connection", at(32, 80), {}, false, false,
            "Send keep connection message every 30 sec");
        row("LogEnabledCheckBox", set, check, "Log enabled", at(3, 128), {}, true, false,
            "Enable log messages");
        row("TCPServerModeCheckBox", set, check, "TCP server mode", at(3, 152), {}, true, false,
            "Port manager listen on defined port");
        row("StartupCreateCheckBox", set, check, "Create port on start VSP", at(3, 176));
        row("StartupHideCheckBox", set, check, "Hide on startup", at(3, 200));
        row("PingFailCheckBox", set, check, "Don't create port if ping fail", at(3, 224));
        row("ConnectClosedCheckBox", set, check, "Connect to module if port is closed", at(3, 248));
        row("StartOnBootCheckBox", set, check, "Start VSP on boot", at(3, 272));
        row("ShowSettingsBitBtn", set, button, "&Show settings", at(236, 283, 105, 25));

        // The logo panel, over the lower part of every page.
        row("LogoPanel", "", "QFrame", "", at(8, 338, 337, 105));
        row("LogoImage", "LogoPanel", "vsp::TImage", "", at(8, 8, 321, 89));
        row("VersionLabel", "LogoPanel", label, "Version 2.1.8", at(16, 80));
    }

    void mainWindowControls()
    {
        QFETCH(QString, parent);
        QFETCH(QByteArray, kind);
        QFETCH(QString, caption);
        QFETCH(QString, text);
        QFETCH(QRect, place);
        QFETCH(bool, enabled);
        QFETCH(bool, hidden);
        QFETCH(QString, hint);

        vsptest::FormHarness form(vsptest::DesignDefaults, {}, { .log = false });
        const QString name = QString::fromLatin1(QTest::currentDataTag());
        auto* w = form->findChild<QWidget*>(name);
        QVERIFY2(w, "no such control");
        QVERIFY2(w->inherits(kind.constData()), w->metaObject()->className());
        QWidget* expectedParent = parent.isEmpty() ? form.get() : form->findChild<QWidget*>(parent);
        QCOMPARE(w->parentWidget(), expectedParent);
        QCOMPARE(CaptionOf(w), caption);

        QCOMPARE(w->pos(), place.topLeft());
        if (place.width() > 0) QCOMPARE(w->width(), place.width());
        if (place.height() > 0) QCOMPARE(w->height(), place.height());

        QCOMPARE(w->isEnabled(), enabled);
        QCOMPARE(w->isHidden(), hidden);
        QCOMPARE(w->toolTip(), hint);
        if (auto* c = qobject_cast<QCheckBox*>(w)) QVERIFY(!c->isChecked());
        if (auto* c = qobject_cast<QComboBox*>(w)) {
            QVERIFY(c->isEditable());
            QCOMPARE(c->currentText(), text);
        }
        if (auto* e = qobject_cast<TLabeledEdit*>(w)) {
            QCOMPARE(e->text(), text);
            QCOMPARE(e->EditLabel->parentWidget(), e->parentWidget());
            if (e->Position == TLabeledEdit::LabelPosition::Above) {
                QCOMPARE(e->EditLabel->x(), e->x());
                QVERIFY(e->EditLabel->geometry().bottom() < e->y());
            } else {
                QVERIFY(e->EditLabel->geometry().right() < e->x());
            }
        }
        if (auto* b = qobject_cast<QPushButton*>(w)) {
            // Two-state glyph: a picture of its own for the disabled button.
            const QPixmap normal = b->icon().pixmap(GlyphSize, QIcon::Normal);
            const QPixmap disabled = b->icon().pixmap(GlyphSize, QIcon::Disabled);
            QVERIFY(!normal.isNull());
            QVERIFY(!disabled.isNull());
            QVERIFY(!SamePixels(normal, disabled));
        }
    }

    void mainWindowDesignDetails()
    {
        vsptest::FormHarness form(vsptest::DesignDefaults, {}, { .log = false });
        QCOMPARE(form->IPAddressComboBox->count(), 0);
        QCOMPARE(form->ComPortComboBox->count(), 19);
        for (int i = 0; i < 19; ++i)
            QCOMPARE(form->ComPortComboBox->itemText(i), QStringLiteral("COM%1").arg(i + 2));
        for (TLabeledEdit* e : { form->UKEdit1, form->UKEdit2, form->UKEdit3, form->UKEdit4 })
            QCOMPARE(e->maxLength(), 8);
        QVERIFY(form->UDPIPAddressEdit->isReadOnly());
        QVERIFY(!form->UDPPortEdit->isReadOnly());
        QVERIFY(form->UDPMaskEdit->isReadOnly());
        QVERIFY(form->UDPGatewayEdit->isReadOnly());
        QCOMPARE(form->UDPMACListBox->count(), 0);

        QVERIFY(form->LogMessagesMemo->isReadOnly());
        QCOMPARE(form->LogMessagesMemo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QCOMPARE(form->LogMessagesMemo->contextMenuPolicy(), Qt::CustomContextMenu);
        QCOMPARE(form->LogMessagePopupMenu->actions().size(), 1);
        QCOMPARE(form->LogMessagePopupMenu->actions().first()->text(),
            QStringLiteral("Clear all messages"));

        QVERIFY(form->UDPUseThisIPBitBtn->isDefault());
        QVERIFY(form->LogoImage->cursor().shape() == Qt::PointingHandCursor);
        QVERIFY(form->VersionLabel->font().bold());
        QCOMPARE(form->VersionLabel->palette().color(QPalette::WindowText), QColor(0, 0, 0x80));
        QCOMPARE(form->VersionLabel->palette().color(QPalette::Window), QColor(Qt::white));
        QVERIFY(form->VersionLabel->autoFillBackground());
        // The panel lies over every page.
        QCOMPARE(form->LogoPanel->parentWidget(), form.get());
        QVERIFY(form->children().indexOf(form->LogoPanel)
            > form->children().indexOf(form->MainPageControl));

        QVERIFY(form->MainTimer->isActive());
        QCOMPARE(form->findChild<TClientSocket*>("VSPClientSocket"), form->VSPClientSocket);
        QCOMPARE(form->findChild<TServerSocket*>("VSPServerSocket"), form->VSPServerSocket);
        QCOMPARE(
            form->findChild<TClientSocket*>("TCPSetupClientSocket"), form->TCPSetupClientSocket);
    }

    void captionsStayInsideTheirPlaces()
    {
        vsptest::FormHarness form(vsptest::DesignDefaults, {}, { .log = false });
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        for (QWidget* page :
            { form->VSPTabSheet, form->UDPSetupTabSheet, form->SettingsTabSheet }) {
            form->MainPageControl->setCurrentWidget(page);
            CheckContainer(page);
            for (auto* g : page->findChildren<QGroupBox*>())
                CheckContainer(g);
            // The logo panel covers the pages from y = 338 of the window on.
            for (QObject* o : page->children())
                if (auto* w = qobject_cast<QWidget*>(o); w && !w->isHidden())
                    QVERIFY2(w->mapTo(form.get(), QPoint(0, w->height())).y() <= 338,
                        qPrintable(w->objectName()));
        }
        // The version stands on the logo's white foot.
        QVERIFY(form->LogoImage->geometry().contains(form->VersionLabel->geometry()));
        // Each status label runs to the end of its group, so longer texts are not cut.
        for (QLabel* l : { form->LANStatusMessagesLabel, form->LANStatusClientLabel,
                 form->StatusLabel, form->ParityLabel })
            QCOMPARE(l->geometry().right(), l->parentWidget()->width() - 5);
    }

    void logoIsAJpegOfOurOwn()
    {
        QVERIFY(QImageReader::supportedImageFormats().contains("jpeg"));
        EnsureResources();
        QImageReader reader(QString::fromLatin1(LogoResource));
        QCOMPARE(reader.format(), QByteArray("jpeg"));
        const QImage image = reader.read();
        QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
        QCOMPARE(image.size(), QSize(321, 89));

        vsptest::FormHarness form(vsptest::DesignDefaults, {}, { .log = false });
        const QPixmap shown = form->LogoImage->pixmap();
        QVERIFY(!shown.isNull());
        QCOMPARE(shown.size(), QSize(321, 89));
    }

    void enterPressesTheDefaultButtonOnItsPage()
    {
        vsptest::FormHarness form(vsptest::DesignDefaults, {}, { .log = false });
        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        int clicks = 0;
        connect(form->UDPUseThisIPBitBtn, &QPushButton::clicked, this, [&] { ++clicks; });

        form->MainPageControl->setCurrentWidget(form->SettingsTabSheet);
        QTest::keyClick(form->LogEnabledCheckBox, Qt::Key_Return);
        QCOMPARE(clicks, 0); // the button's page is not shown

        form->MainPageControl->setCurrentWidget(form->UDPSetupTabSheet);
        form->UDPMACListBox->setFocus();
        QTest::keyClick(form->UDPMACListBox, Qt::Key_Return);
        QCOMPARE(clicks, 1);
        QTest::keyClick(form->UDPPortEdit, Qt::Key_Enter);
        QCOMPARE(clicks, 2);
    }

    void settingsReportWindow()
    {
        TSettingsForm f;
        QCOMPARE(f.windowTitle(), QStringLiteral("VSP Settings"));
        QVERIFY(f.isWindow());
        QCOMPARE(f.windowModality(), Qt::NonModal);
        QVERIFY(!f.testAttribute(Qt::WA_DeleteOnClose));
        QVERIFY(f.isHidden());
        const QFont font = f.SettingsRichEdit->font();
        QCOMPARE(font.pixelSize(), 13);
        QVERIFY(QFontInfo(font).fixedPitch());
        QVERIFY(!f.SettingsRichEdit->isReadOnly());
        QVERIFY(f.SettingsRichEdit->verticalScrollBarPolicy() != Qt::ScrollBarAlwaysOff);

        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        QCOMPARE(f.frameGeometry().size(), QSize(417, 486));
        const QRect screen = f.screen()->availableGeometry();
        QVERIFY(qAbs(f.frameGeometry().center().x() - screen.center().x()) <= 1);
        QVERIFY(qAbs(f.frameGeometry().center().y() - screen.center().y()) <= 1);
        QCOMPARE(f.SettingsRichEdit->geometry(), f.rect());

        // Lines go in as plain text; a piece's own line breaks stay breaks.
        f.AddLine(QString());
        f.AddLine(QStringLiteral("Parameter list:"));
        f.AddLine(QStringLiteral("<b>not markup</b>"));
        f.AddLine(QStringLiteral("one\r\ntwo\rthree\nfour"));
        QCOMPARE(f.SettingsRichEdit->toPlainText(),
            QStringLiteral("\nParameter list:\n<b>not markup</b>\none\ntwo\nthree\nfour"));
        f.Clear();
        QVERIFY(f.SettingsRichEdit->toPlainText().isEmpty());
        f.AddLine(QStringLiteral("again"));
        QCOMPARE(f.SettingsRichEdit->toPlainText(), QStringLiteral("again"));

        // Closing only hides it.
        QVERIFY(f.close());
        QVERIFY(f.isHidden());
        f.show();
        QVERIFY(f.isVisible());
        QCOMPARE(f.SettingsRichEdit->toPlainText(), QStringLiteral("again"));
    }

    void setupDialogGroups_data()
    {
        QTest::addColumn<QRect>("place");
        QTest::newRow("TCP/IP") << QRect(8, 8, 241, 225);
        QTest::newRow("In IP setup") << QRect(8, 240, 241, 73);
        QTest::newRow("Out IP setup") << QRect(8, 320, 241, 89);
        QTest::newRow("Security setup") << QRect(8, 416, 241, 105);
        QTest::newRow("Serial setup") << QRect(256, 8, 257, 225);
        QTest::newRow("I/O Controll setup") << QRect(256, 240, 257, 169);
    }

    void setupDialogGroups()
    {
        QFETCH(QRect, place);
        TModuleSetupForm dlg;
        QGroupBox* found = nullptr;
        for (QObject* o : dlg.children())
            if (auto* g = qobject_cast<QGroupBox*>(o); g && g->title() == QTest::currentDataTag())
                found = g;
        QVERIFY(found);
        QCOMPARE(found->geometry(), place);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        found->setObjectName(found->title());
        CheckContainer(found);
        for (auto* inner : found->findChildren<QGroupBox*>())
            CheckContainer(inner);
    }

    void setupDialogFields_data()
    {
        QTest::addColumn<QString>("group");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("items"); // combo boxes: the list
        QTest::addColumn<int>("index");
        auto edit = [](const char* name, const QString& group, const QString& caption,
                        const QString& text) {
            QTest::newRow(name) << group << caption << text << QStringList() << -1;
        };
        auto combo
            = [](const char* name, const QString& caption, const QStringList& items, int index) {
                  QTest::newRow(name)
                      << QString("Serial setup") << caption << items.value(index) << items << index;
              };
        edit("TCPIPEdit", "TCP/IP", "Module IP address", "192.168.1.1");
        edit("TCPPortEdit", "TCP/IP", "Port", "23");
        edit("TCPMaskEdit", "TCP/IP", "Subnet mask", "255.255.255.0");
        edit("TCPGatewayEdit", "TCP/IP", "Gateway", "192.168.1.26");
        edit("InIPEdit", "In IP setup", "IP address", "0.0.0.0");
        edit("InMaskEdit", "In IP setup", "Mask", "0.0.0.0");
        edit("OutIPEdit", "Out IP setup", "IP address", "192.168.0.9");
        edit("OutPortEdit", "Out IP setup", "Port", "23");
        edit("TEA0Edit", "Security setup", "TEA key:0", "3A:7F:19:C2");
        edit("TEA1Edit", "Security setup", "TEA key:1", "B0:4E:6D:15");
        edit("TEA2Edit", "Security setup", "TEA key:2", "5C:92:E8:A1");
        edit("TEA3Edit", "Security setup", "TEA key:3", "0F:63:D7:B4");
        edit("STimeout", "Serial setup", "Serial line timeout", "0");
        edit("SDelay", "Serial setup", "Char transmit delay", "0");
        const QString io = "I/O Controll setup";
        edit("IOTrigger", io, "Trigger AND mask", "255");
        edit("IOPUInit", io, "Power Up INIT", "0");
        edit("IOPUAnd", io, "Power Up AND mask", "255");
        edit("IOPUOr", io, "Power Up OR mask", "0");
        edit("IOKeep", io, "KEEP mask", "0");
        edit("IOAnd", io, "AND mask", "255");
        edit("IOOr", io, "OR mask", "0");
        combo("SSpeedCombo", "Speed",
            { "300", "600", "1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200" },
            5);
        combo("SBits", "Data bits", { "7", "8" }, 1);
        combo("SParityCombo", "Parity", { "none", "odd", "event", "mark", "space" }, 0);
        combo("SStopCombo", "Stop bits", { "1", "2" }, 0);
        combo("SFlowControl", "Flow control", { "none", "RTS / CTS", "XON / XOFF" }, 0);
        combo("SRSControll", "RS232 / RS422 Controll",
            { "RTS = Low [+8V]", "RTS = High [-8V]", "Tx RTS HW echo ON", "Tx RTS HW echo OFF" },
            0);
        combo("STxControll", "Tx controll", { "FULL duplex", "HALF duplex (RS485)" }, 0);
    }

    void setupDialogFields()
    {
        QFETCH(QString, group);
        QFETCH(QString, caption);
        QFETCH(QString, text);
        QFETCH(QStringList, items);
        QFETCH(int, index);
        TModuleSetupForm dlg;
        auto* w = dlg.findChild<QWidget*>(QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(w);
        auto* g = qobject_cast<QGroupBox*>(w->parentWidget());
        QVERIFY(g);
        QCOMPARE(g->title(), group);
        if (auto* e = qobject_cast<TLabeledEdit*>(w)) {
            QCOMPARE(e->EditLabel->text(), caption);
            QCOMPARE(e->text(), text);
            QVERIFY(!e->isReadOnly());
            return;
        }
        auto* c = qobject_cast<QComboBox*>(w);
        QVERIFY2(c, w->metaObject()->className());
        QVERIFY(c->isEditable());
        QStringList listed;
        for (int i = 0; i < c->count(); ++i)
            listed << c->itemText(i);
        QCOMPARE(listed, items);
        QCOMPARE(c->currentIndex(), index);
        QCOMPARE(c->currentText(), text);
        QLabel* label = nullptr;
        for (auto* l : g->findChildren<QLabel*>())
            if (l->buddy() == c) label = l;
        QVERIFY(label);
        QCOMPARE(label->text(), caption);
    }

    void setupDialogWindow()
    {
        TModuleSetupForm dlg;
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Setup Module"));
        QVERIFY(dlg.isWindow());
        QVERIFY(dlg.isHidden());

        QCOMPARE(dlg.OutNVTCheck->text(), QStringLiteral("Network Virtual Terminal"));
        QCOMPARE(dlg.OutKeepConnection->text(), QStringLiteral("Keep Connection"));
        QCOMPARE(dlg.SVarParityCheck->text(), QStringLiteral("Variable parity"));
        QCOMPARE(dlg.SSpaceCommpress->text(), QStringLiteral("Buffer space compression"));
        for (QCheckBox* c :
            { dlg.OutNVTCheck, dlg.OutKeepConnection, dlg.SVarParityCheck, dlg.SSpaceCommpress })
            QVERIFY(!c->isChecked());

        QCOMPARE(dlg.OutEraseOn->title(), QStringLiteral("Erase buffer on"));
        QCOMPARE(dlg.OutEraseOn->Count(), 4);
        const char* erase[] = { "None", "Close TCP/IP connection", "Open TCP/IP connection",
            "Open && Close TCP/IP con." };
        for (int i = 0; i < 4; ++i)
            QCOMPARE(dlg.OutEraseOn->Button(i)->text(), QString::fromLatin1(erase[i]));
        QCOMPARE(
            Shown(dlg.OutEraseOn->Button(3)->text()), QStringLiteral("Open & Close TCP/IP con."));
        QCOMPARE(dlg.OutEraseOn->ItemIndex(), 0);
        QCOMPARE(dlg.IPModeRadio->title(), QStringLiteral("IP mode"));
        QCOMPARE(dlg.IPModeRadio->Count(), 2);
        QCOMPARE(dlg.IPModeRadio->Button(0)->text(), QStringLiteral("TCP"));
        QCOMPARE(dlg.IPModeRadio->Button(1)->text(), QStringLiteral("UDP"));
        QCOMPARE(dlg.IPModeRadio->ItemIndex(), 0);

        QCOMPARE(dlg.STimeout->toolTip(), QStringLiteral("0 - off"));
        QCOMPARE(dlg.SDelay->toolTip(), QStringLiteral("0 - off"));

        QCOMPARE(dlg.BitBtn1->text(), QStringLiteral("Write Configuration"));
        QCOMPARE(dlg.BitBtn1->geometry(), QRect(264, 488, 121, 25));
        QVERIFY(dlg.BitBtn1->isEnabled());
        QVERIFY(dlg.BitBtn1->isDefault());
        QCOMPARE(dlg.BitBtn2->geometry(), QRect(392, 488, 121, 25));
        QCOMPARE(Shown(dlg.BitBtn2->text()), QStringLiteral("Close"));
        for (QPushButton* b : { dlg.BitBtn1, dlg.BitBtn2 })
            QVERIFY(!SamePixels(b->icon().pixmap(GlyphSize, QIcon::Normal),
                b->icon().pixmap(GlyphSize, QIcon::Disabled)));

        QVERIFY(dlg.RichEdit1->isHidden());
        QVERIFY(dlg.RichEdit1->isReadOnly());
        QCOMPARE(dlg.RichEdit1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

        QCOMPARE(dlg.findChild<TClientSocket*>("ClientSocket1"), dlg.ClientSocket1);
        QVERIFY(dlg.ClientSocket1->OnConnect);
        QVERIFY(dlg.ClientSocket1->OnRead);
        QVERIFY(dlg.ClientSocket1->OnError);

        dlg.show();
        QVERIFY(QTest::qWaitForWindowActive(&dlg));
        QCOMPARE(dlg.frameGeometry().size(), QSize(527, 558));
        QCOMPARE(dlg.minimumSize(), dlg.maximumSize());
        const QRect screen = dlg.screen()->availableGeometry();
        QVERIFY(qAbs(dlg.frameGeometry().center().x() - screen.center().x()) <= 1);
        QVERIFY(qAbs(dlg.frameGeometry().center().y() - screen.center().y()) <= 1);

        // Enter presses "Write Configuration" (aimed at loopback here).
        dlg.TCPIPEdit->setText(QStringLiteral("127.0.0.1"));
        int writes = 0;
        connect(dlg.BitBtn1, &QPushButton::clicked, this, [&] { ++writes; });
        QTest::keyClick(dlg.TCPPortEdit, Qt::Key_Return);
        QCOMPARE(writes, 1);

        // The log view covers the whole dialog when shown.
        dlg.RichEdit1->show();
        QCOMPARE(dlg.RichEdit1->geometry(), dlg.rect());
        for (QWidget* w :
            { static_cast<QWidget*>(dlg.TCPIPEdit), static_cast<QWidget*>(dlg.BitBtn2) }) {
            QWidget* top = dlg.childAt(w->mapTo(&dlg, w->rect().center()));
            QVERIFY(top == dlg.RichEdit1 || dlg.RichEdit1->isAncestorOf(top));
        }
        dlg.RichEdit1->hide();

        // "Close" closes the dialog.
        QTest::mouseClick(dlg.BitBtn2, Qt::LeftButton);
        QVERIFY(!dlg.isVisible());
    }
};

QTEST_MAIN(TstLayout)
#include "tst_layout.moc"
