// The main window's controls: three pages, the logo panel over their lower part, and the
// components without a place on screen. Positions are pixels at 96 dpi, relative to the
// parent, as (left, top, width, height); the window is not scaled for other resolutions.

#include "app/Controls.h"
#include "app/Shell.h"
#include "app/Umainf.h"
#include "link/Sockets.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

namespace vsp {

namespace {

// A label whose text the program changes (status texts, counters). It gets a fixed place
// reaching to the end of the room it has, so a longer text is not cut to the width of the
// design text, and setting a text never asks the parent for a new layout: the counters are
// set for every block on a busy link.
QLabel* MakeValueLabel(const QString& text, QWidget* parent, int left, int top, int width)
{
    auto* l = new QLabel(text, parent);
    l->setTextFormat(Qt::PlainText);
    l->setFixedSize(width, l->fontMetrics().height());
    l->move(left, top);
    return l;
}

QPushButton* MakeButton(
    const QString& text, TGlyph glyph, QWidget* parent, int left, int top, int width, int height)
{
    auto* b = new QPushButton(GlyphIcon(glyph), text, parent);
    b->setIconSize(QSize(GlyphSize, GlyphSize));
    b->setGeometry(left, top, width, height);
    b->setAutoDefault(false);
    return b;
}

// Right edge of the room inside a group box, for labels that run to its end.
int RoomTo(QWidget* group, int left)
{
    return group->width() - 4 - left;
}

} // namespace

void TMainForm::CreateControls()
{
    setWindowTitle(QStringLiteral("Kelmar Virtual port manager"));
    setWindowIcon(MainIcon());
    // A fixed dialog frame: no resizing, no minimise or maximise; hiding to the
    // notification area is the only way out of sight.
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint
        | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(DesignFont());
    setFixedSize(355, 450);

    MainPageControl = new QTabWidget(this);
    MainPageControl->setGeometry(0, 0, 353, 449);
    VSPTabSheet = new QWidget;
    UDPSetupTabSheet = new QWidget;
    SettingsTabSheet = new QWidget;
    MainPageControl->addTab(VSPTabSheet, QStringLiteral("Virtual SP"));
    MainPageControl->addTab(UDPSetupTabSheet, QStringLiteral("UDP Setup"));
    MainPageControl->addTab(SettingsTabSheet, QStringLiteral("Settings"));

    // ---- "Virtual SP" ----
    QWidget* p = VSPTabSheet;
    IPAddressLabel = MakeLabel(QStringLiteral("IP address"), p, 8, 8);
    IPAddressComboBox = MakeCombo(p, 3, 24, 121);
    IPAddressComboBox->setEditText(QStringLiteral("192.168.1.60"));
    PortLabeledEdit = new TLabeledEdit(QStringLiteral("Port"), p);
    PortLabeledEdit->Place(144, 24, 65);
    ComPortLabel = MakeLabel(QStringLiteral("Port name"), p, 3, 48);
    ComPortComboBox = MakeCombo(p, 3, 64, 89);
    for (int i = 2; i <= 20; ++i)
        ComPortComboBox->addItem(QStringLiteral("COM%1").arg(i));
    ComPortComboBox->setCurrentIndex(0);
    ComPortComboBox->setEditText(QStringLiteral("COM2"));
    ServerPortLabeledEdit = new TLabeledEdit(QStringLiteral("Server port"), p);
    ServerPortLabeledEdit->Place(144, 64, 65);
    // Never enabled: only the stored settings set it.
    KelmarTestCheckBox = MakeCheck(QStringLiteral("Kelmar device test"), p, 3, 91, 129);
    KelmarTestCheckBox->setEnabled(false);

    LANStatusGroupBox = new TGroupBox(QStringLiteral(" LAN status "), p);
    LANStatusGroupBox->setGeometry(3, 112, 206, 65);
    QWidget* g = LANStatusGroupBox;
    LANStatusClientSLabel = MakeLabel(QStringLiteral("Client connection   :"), g, 8, 16);
    LANStatusClientLabel = MakeValueLabel(QStringLiteral("-"), g, 107, 16, RoomTo(g, 107));
    LANStatusServerSLabel = MakeLabel(QStringLiteral("Server connection :"), g, 8, 32);
    LANStatusServerLabel = MakeValueLabel(QStringLiteral("-"), g, 107, 32, RoomTo(g, 107));
    LANStatusMessagesLabel = MakeValueLabel(QStringLiteral("-"), g, 8, 48, RoomTo(g, 8));

    PortStatusGroupBox = new TGroupBox(QStringLiteral(" Port status "), p);
    PortStatusGroupBox->setGeometry(214, 8, 126, 169);
    g = PortStatusGroupBox;
    auto pair = [g](const QString& caption, const QString& value, int top, QLabel*& s, QLabel*& v) {
        s = MakeLabel(caption, g, 8, top);
        v = MakeValueLabel(value, g, 56, top, RoomTo(g, 56));
    };
    pair(QStringLiteral("Status"), QStringLiteral("-"), 24, StatusSLabel, StatusLabel);
    pair(QStringLiteral("Baud"), QStringLiteral("-"), 40, BaudSLabel, BaudLabel);
    pair(QStringLiteral("Bits"), QStringLiteral("-"), 56, BitsSLabel, BitsLabel);
    pair(QStringLiteral("Parity"), QStringLiteral("-"), 72, ParitySLabel, ParityLabel);
    pair(QStringLiteral("Stop bits"), QStringLiteral("-"), 88, StopbitsSLabel, StopBitsLabel);
    pair(QStringLiteral("Serial Rx"), QStringLiteral("0"), 104, SerialRxSLabel, SerialRxLabel);
    pair(QStringLiteral("Serial Tx"), QStringLiteral("0"), 120, SerialTxSLabel, SerialTxLabel);
    pair(QStringLiteral("LAN Rx"), QStringLiteral("0"), 136, LANRxSLabel, LANRxLabel);
    pair(QStringLiteral("LAN Tx"), QStringLiteral("0"), 152, LANTxSLabel, LANTxLabel);

    CreateCOMBitBtn = MakeButton(QStringLiteral("Create COM"), TGlyph::Create, p, 3, 184, 97, 25);
    DeleteCOMBitBtn = MakeButton(QStringLiteral("Delete COM"), TGlyph::Delete, p, 112, 184, 97, 25);
    DeleteCOMBitBtn->setEnabled(false);
    HideBitBtn = MakeButton(QStringLiteral("Hide"), TGlyph::Hide, p, 272, 184, 69, 25);
    HideBitBtn->setToolTip(QStringLiteral("Hide dialog. Use icon in systray to show dialog."));

    LogMessagesMemo = new QPlainTextEdit(p);
    LogMessagesMemo->setGeometry(3, 216, 338, 92);
    LogMessagesMemo->setReadOnly(true);
    // A vertical bar only: long lines wrap, and each message stays one line of the log.
    LogMessagesMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    LogMessagesMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    LogMessagesMemo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    LogMessagesMemo->setContextMenuPolicy(Qt::CustomContextMenu);
    // The log is written only by the program, and read-only for the user: an undo history
    // would keep every line ever logged (and every line dropped off the top) for good.
    LogMessagesMemo->setUndoRedoEnabled(false);
    LogMessagePopupMenu = new QMenu(this);
    ClearAllMessagesClick = LogMessagePopupMenu->addAction(QStringLiteral("Clear all messages"));
    ClearAllMessagesClick->setObjectName(QStringLiteral("ClearAllMessagesClick"));

    // ---- "UDP Setup" ----
    p = UDPSetupTabSheet;
    UDPMACLabel = MakeLabel(QStringLiteral("Modules MAC list"), p, 3, 8);
    UDPMACListBox = new QListWidget(p);
    UDPMACListBox->setGeometry(3, 24, 134, 284);
    UDPInfoLabel1 = MakeLabel(QStringLiteral("UDP SEARCH works only with original."), p, 144, 8);
    UDPInfoLabel2 = MakeLabel(QStringLiteral("Kelmar devices  on local network"), p, 144, 24);
    UDPInfoLabel3 = MakeLabel(QStringLiteral("segment."), p, 144, 40);
    UDPModuleParamsGroupBox = new TGroupBox(QStringLiteral(" Module parameters "), p);
    UDPModuleParamsGroupBox->setGeometry(142, 56, 201, 185);
    g = UDPModuleParamsGroupBox;
    UDPIPAddressEdit = new TLabeledEdit(QStringLiteral("IP"), g);
    UDPIPAddressEdit->Place(8, 32, 113);
    UDPIPAddressEdit->setReadOnly(true);
    UDPPortEdit = new TLabeledEdit(QStringLiteral("Port"), g);
    UDPPortEdit->Place(128, 32, 62);
    UDPMaskEdit = new TLabeledEdit(QStringLiteral("Mask"), g);
    UDPMaskEdit->Place(8, 72, 182);
    UDPMaskEdit->setReadOnly(true);
    UDPGatewayEdit = new TLabeledEdit(QStringLiteral("Gateway"), g);
    UDPGatewayEdit->Place(8, 112, 182);
    UDPGatewayEdit->setReadOnly(true);
    NVTLabel = MakeValueLabel(QStringLiteral("NVT (unknown)"), g, 8, 144, RoomTo(g, 8));
    TEALabel = MakeValueLabel(QStringLiteral("TEA Auth. (unknown)"), g, 8, 160, RoomTo(g, 8));
    UDPSearchBitBtn
        = MakeButton(QStringLiteral("&Search modules"), TGlyph::Search, p, 232, 250, 110, 25);
    UDPSearchBitBtn->setToolTip(QStringLiteral("Seach for modules in local LAN segemnt"));
    UDPUseThisIPBitBtn
        = MakeButton(QStringLiteral("&Use this IP"), TGlyph::UseThis, p, 232, 282, 110, 25);
    UDPUseThisIPBitBtn->setToolTip(QStringLiteral("Copy found IP to Virtual port settings"));
    SetDefaultButton(UDPUseThisIPBitBtn);
    // Hidden and inert: no control of this window opens the set-up dialog.
    UDPSetupModuleBtn
        = MakeButton(QStringLiteral("Setup module"), TGlyph::Setup, p, 80, 275, 110, 25);
    UDPSetupModuleBtn->setEnabled(false);
    UDPSetupModuleBtn->setVisible(false);

    // ---- "Settings" ----
    p = SettingsTabSheet;
    TEAGroupBox = new TGroupBox(QStringLiteral(" TEA Key "), p);
    TEAGroupBox->setGeometry(3, 8, 190, 105);
    auto keyEdit = [this](const QString& caption, int left, int top, const QString& text) {
        auto* e = new TLabeledEdit(caption, TEAGroupBox, TLabeledEdit::LabelPosition::Left);
        e->Place(left, top, 65);
        e->setMaxLength(8);
        e->setText(text);
        return e;
    };
    UKEdit1 = keyEdit(QStringLiteral("1:"), 24, 24, QStringLiteral("3A7F19C2"));
    UKEdit2 = keyEdit(QStringLiteral("2:"), 24, 48, QStringLiteral("B04E6D15"));
    UKEdit3 = keyEdit(QStringLiteral("3:"), 112, 24, QStringLiteral("5C92E8A1"));
    UKEdit4 = keyEdit(QStringLiteral("4:"), 112, 48, QStringLiteral("0F63D7B4"));
    TEAEnabledCheckBox = MakeCheck(QStringLiteral("Use TEA auth."), TEAGroupBox, 16, 80);

    NVTGroupBox = new TGroupBox(QStringLiteral(" NVT "), p);
    NVTGroupBox->setGeometry(200, 8, 142, 105);
    NVTEnabledCheckBox = MakeCheck(QStringLiteral("NVT enable"), NVTGroupBox, 8, 16);
    NVTEnabledCheckBox->setToolTip(QStringLiteral("Enable NVT commands"));
    // The sub-options wait for "NVT enable".
    NVTFilterCheckBox = MakeCheck(QStringLiteral("NVT filter"), NVTGroupBox, 32, 40);
    NVTFilterCheckBox->setToolTip(
        QStringLiteral("Use for RFC2217 (remote serial port) compatible devices"));
    NVTFilterCheckBox->setEnabled(false);
    NVTPortSetupCheckBox = MakeCheck(QStringLiteral("NVT port setup"), NVTGroupBox, 32, 60);
    NVTPortSetupCheckBox->setToolTip(
        QStringLiteral("Synchronize remote port setting (Set remote Baudrate, Parity.. via NVT "
                       "based on virtual port parameters"));
    NVTPortSetupCheckBox->setEnabled(false);
    NVTKeepCheckBox = MakeCheck(QStringLiteral("Keep connection"), NVTGroupBox, 32, 80);
    NVTKeepCheckBox->setToolTip(QStringLiteral("Send keep connection message every 30 sec"));
    NVTKeepCheckBox->setEnabled(false);

    LogEnabledCheckBox = MakeCheck(QStringLiteral("Log enabled"), p, 3, 128);
    LogEnabledCheckBox->setToolTip(QStringLiteral("Enable log messages"));
    TCPServerModeCheckBox = MakeCheck(QStringLiteral("TCP server mode"), p, 3, 152);
    TCPServerModeCheckBox->setToolTip(QStringLiteral("Port manager listen on defined port"));
    StartupCreateCheckBox = MakeCheck(QStringLiteral("Create port on start VSP"), p, 3, 176);
    StartupHideCheckBox = MakeCheck(QStringLiteral("Hide on startup"), p, 3, 200);
    PingFailCheckBox = MakeCheck(QStringLiteral("Don't create port if ping fail"), p, 3, 224);
    ConnectClosedCheckBox
        = MakeCheck(QStringLiteral("Connect to module if port is closed"), p, 3, 248);
    StartOnBootCheckBox = MakeCheck(QStringLiteral("Start VSP on boot"), p, 3, 272);
    ShowSettingsBitBtn
        = MakeButton(QStringLiteral("&Show settings"), TGlyph::Settings, p, 236, 283, 105, 25);

    // ---- Logo panel, over the lower part of every page ----
    LogoPanel = new QFrame(this);
    LogoPanel->setGeometry(8, 338, 337, 105);
    LogoPanel->setFrameShape(QFrame::Panel);
    LogoPanel->setFrameShadow(QFrame::Raised);
    LogoPanel->setAutoFillBackground(true);
    LogoImage = new TImage(LogoPanel);
    LogoImage->setGeometry(8, 8, 321, 89);
    EnsureResources();
    LogoImage->LoadPicture(QString::fromLatin1(LogoResource));
    LogoImage->setCursor(Qt::PointingHandCursor);
    VersionLabel = new QLabel(QStringLiteral("Version 2.1.8"), LogoPanel);
    QFont bold = VersionLabel->font();
    bold.setBold(true);
    VersionLabel->setFont(bold);
    QPalette versionColours = VersionLabel->palette();
    versionColours.setColor(QPalette::WindowText, QColor(0x00, 0x00, 0x80)); // navy
    versionColours.setColor(QPalette::Window, Qt::white);
    VersionLabel->setPalette(versionColours);
    VersionLabel->setAutoFillBackground(true);
    VersionLabel->move(16, 80);
    VersionLabel->adjustSize();
    LogoPanel->raise();

    MainPageControl->setCurrentWidget(SettingsTabSheet);

    // ---- Components ----
    VSPClientSocket = Link->VSPClientSocket();
    VSPServerSocket = Link->VSPServerSocket();
    TCPSetupClientSocket = new TClientSocket(this);
    MainTimer = new QTimer(this);
    MainTimer->setTimerType(Qt::PreciseTimer);
    MainTimer->setInterval(5);

    // Names for lookups by name (tests, accessibility).
    const std::pair<QObject*, const char*> names[] = {
        { MainPageControl, "MainPageControl" },
        { VSPTabSheet, "VSPTabSheet" },
        { UDPSetupTabSheet, "UDPSetupTabSheet" },
        { SettingsTabSheet, "SettingsTabSheet" },
        { LogoPanel, "LogoPanel" },
        { LogoImage, "LogoImage" },
        { VersionLabel, "VersionLabel" },
        { IPAddressLabel, "IPAddressLabel" },
        { IPAddressComboBox, "IPAddressComboBox" },
        { PortLabeledEdit, "PortLabeledEdit" },
        { ComPortLabel, "ComPortLabel" },
        { ComPortComboBox, "ComPortComboBox" },
        { ServerPortLabeledEdit, "ServerPortLabeledEdit" },
        { KelmarTestCheckBox, "KelmarTestCheckBox" },
        { LANStatusGroupBox, "LANStatusGroupBox" },
        { LANStatusClientSLabel, "LANStatusClientSLabel" },
        { LANStatusClientLabel, "LANStatusClientLabel" },
        { LANStatusServerSLabel, "LANStatusServerSLabel" },
        { LANStatusServerLabel, "LANStatusServerLabel" },
        { LANStatusMessagesLabel, "LANStatusMessagesLabel" },
        { PortStatusGroupBox, "PortStatusGroupBox" },
        { StatusSLabel, "StatusSLabel" },
        { StatusLabel, "StatusLabel" },
        { BaudSLabel, "BaudSLabel" },
        { BaudLabel, "BaudLabel" },
        { BitsSLabel, "BitsSLabel" },
        { BitsLabel, "BitsLabel" },
        { ParitySLabel, "ParitySLabel" },
        { ParityLabel, "ParityLabel" },
        { StopbitsSLabel, "StopbitsSLabel" },
        { StopBitsLabel, "StopBitsLabel" },
        { SerialRxSLabel, "SerialRxSLabel" },
        { SerialRxLabel, "SerialRxLabel" },
        { SerialTxSLabel, "SerialTxSLabel" },
        { SerialTxLabel, "SerialTxLabel" },
        { LANRxSLabel, "LANRxSLabel" },
        { LANRxLabel, "LANRxLabel" },
        { LANTxSLabel, "LANTxSLabel" },
        { LANTxLabel, "LANTxLabel" },
        { CreateCOMBitBtn, "CreateCOMBitBtn" },
        { DeleteCOMBitBtn, "DeleteCOMBitBtn" },
        { HideBitBtn, "HideBitBtn" },
        { LogMessagesMemo, "LogMessagesMemo" },
        { LogMessagePopupMenu, "LogMessagePopupMenu" },
        { UDPMACLabel, "UDPMACLabel" },
        { UDPMACListBox, "UDPMACListBox" },
        { UDPInfoLabel1, "UDPInfoLabel1" },
        { UDPInfoLabel2, "UDPInfoLabel2" },
        { UDPInfoLabel3, "UDPInfoLabel3" },
        { UDPModuleParamsGroupBox, "UDPModuleParamsGroupBox" },
        { UDPIPAddressEdit, "UDPIPAddressEdit" },
        { UDPPortEdit, "UDPPortEdit" },
        { UDPMaskEdit, "UDPMaskEdit" },
        { UDPGatewayEdit, "UDPGatewayEdit" },
        { NVTLabel, "NVTLabel" },
        { TEALabel, "TEALabel" },
        { UDPSearchBitBtn, "UDPSearchBitBtn" },
        { UDPUseThisIPBitBtn, "UDPUseThisIPBitBtn" },
        { UDPSetupModuleBtn, "UDPSetupModuleBtn" },
        { TEAGroupBox, "TEAGroupBox" },
        { UKEdit1, "UKEdit1" },
        { UKEdit2, "UKEdit2" },
        { UKEdit3, "UKEdit3" },
        { UKEdit4, "UKEdit4" },
        { TEAEnabledCheckBox, "TEAEnabledCheckBox" },
        { NVTGroupBox, "NVTGroupBox" },
        { NVTEnabledCheckBox, "NVTEnabledCheckBox" },
        { NVTFilterCheckBox, "NVTFilterCheckBox" },
        { NVTPortSetupCheckBox, "NVTPortSetupCheckBox" },
        { NVTKeepCheckBox, "NVTKeepCheckBox" },
        { LogEnabledCheckBox, "LogEnabledCheckBox" },
        { TCPServerModeCheckBox, "TCPServerModeCheckBox" },
        { StartupCreateCheckBox, "StartupCreateCheckBox" },
        { StartupHideCheckBox, "StartupHideCheckBox" },
        { PingFailCheckBox, "PingFailCheckBox" },
        { ConnectClosedCheckBox, "ConnectClosedCheckBox" },
        { StartOnBootCheckBox, "StartOnBootCheckBox" },
        { ShowSettingsBitBtn, "ShowSettingsBitBtn" },
        { VSPClientSocket, "VSPClientSocket" },
        { VSPServerSocket, "VSPServerSocket" },
        { TCPSetupClientSocket, "TCPSetupClientSocket" },
        { MainTimer, "MainTimer" },
    };
    for (const auto& [object, name] : names)
        object->setObjectName(QLatin1String(name));

    CentreOnScreen(this);
}

} // namespace vsp
