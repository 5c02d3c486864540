// The main window's controls: three pages, the logo panel over their lower part, and the
// components without a place on screen. Positions are pixels at 96 dpi, relative to the
// parent, as (left, top, width, height).

#include "app/Controls.h"
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

QLabel* MakeLabel(const QString& text, QWidget* parent, int left, int top)
{
    auto* l = new QLabel(text, parent);
    l->move(left, top);
    l->adjustSize();
    return l;
}

QCheckBox* MakeCheck(const QString& text, QWidget* parent, int left, int top, int width = -1)
{
    auto* c = new QCheckBox(text, parent);
    c->adjustSize();
    c->setGeometry(left, top, width > 0 ? width : c->width(), 17);
    return c;
}

QPushButton* MakeButton(const QString& text, QWidget* parent, int left, int top, int width,
                        int height)
{
    auto* b = new QPushButton(text, parent);
    b->setGeometry(left, top, width, height);
    b->setAutoDefault(false);
    return b;
}

QComboBox* MakeCombo(QWidget* parent, int left, int top, int width)
{
    auto* c = new QComboBox(parent);
    c->setEditable(true);
    c->setInsertPolicy(QComboBox::NoInsert);
    c->setGeometry(left, top, width, 21);
    return c;
}

} // namespace

void TMainForm::CreateControls()
{
    setWindowTitle(QStringLiteral("Kelmar Virtual port manager"));
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint
                   | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
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
    KelmarTestCheckBox = MakeCheck(QStringLiteral("Kelmar device test"), p, 3, 91, 129);
    KelmarTestCheckBox->setEnabled(false);

    LANStatusGroupBox = new QGroupBox(QStringLiteral(" LAN status "), p);
    LANStatusGroupBox->setGeometry(3, 112, 206, 65);
    LANStatusClientSLabel = MakeLabel(QStringLiteral("Client connection   :"), LANStatusGroupBox, 8, 16);
    LANStatusClientLabel = MakeLabel(QStringLiteral("-"), LANStatusGroupBox, 107, 16);
    LANStatusServerSLabel = MakeLabel(QStringLiteral("Server connection :"), LANStatusGroupBox, 8, 32);
    LANStatusServerLabel = MakeLabel(QStringLiteral("-"), LANStatusGroupBox, 107, 32);
    LANStatusMessagesLabel = MakeLabel(QStringLiteral("-"), LANStatusGroupBox, 8, 48);

    PortStatusGroupBox = new QGroupBox(QStringLiteral(" Port status "), p);
    PortStatusGroupBox->setGeometry(214, 8, 126, 169);
    auto pair = [this](const QString& caption, const QString& value, int top, QLabel*& s, QLabel*& v) {
        s = MakeLabel(caption, PortStatusGroupBox, 8, top);
        v = MakeLabel(value, PortStatusGroupBox, 56, top);
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

    CreateCOMBitBtn = MakeButton(QStringLiteral("Create COM"), p, 3, 184, 97, 25);
    DeleteCOMBitBtn = MakeButton(QStringLiteral("Delete COM"), p, 112, 184, 97, 25);
    DeleteCOMBitBtn->setEnabled(false);
    HideBitBtn = MakeButton(QStringLiteral("Hide"), p, 272, 184, 69, 25);
    HideBitBtn->setToolTip(QStringLiteral("Hide dialog. Use icon in systray to show dialog."));

    LogMessagesMemo = new QPlainTextEdit(p);
    LogMessagesMemo->setGeometry(3, 216, 338, 92);
    LogMessagesMemo->setReadOnly(true);
    LogMessagesMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    LogMessagesMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    LogMessagesMemo->setContextMenuPolicy(Qt::CustomContextMenu);
    LogMessagePopupMenu = new QMenu(this);
    ClearAllMessagesClick = LogMessagePopupMenu->addAction(QStringLiteral("Clear all messages"));

    // ---- "UDP Setup" ----
    p = UDPSetupTabSheet;
    UDPMACLabel = MakeLabel(QStringLiteral("Modules MAC list"), p, 3, 8);
    UDPMACListBox = new QListWidget(p);
    UDPMACListBox->setGeometry(3, 24, 134, 284);
    UDPInfoLabel1 = MakeLabel(QStringLiteral("UDP SEARCH works only with original."), p, 144, 8);
    UDPInfoLabel2 = MakeLabel(QStringLiteral("Kelmar devices  on local network"), p, 144, 24);
    UDPInfoLabel3 = MakeLabel(QStringLiteral("segment."), p, 144, 40);
    UDPModuleParamsGroupBox = new QGroupBox(QStringLiteral(" Module parameters "), p);
    UDPModuleParamsGroupBox->setGeometry(142, 56, 201, 185);
    QWidget* g = UDPModuleParamsGroupBox;
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
    NVTLabel = MakeLabel(QStringLiteral("NVT (unknown)"), g, 8, 144);
    TEALabel = MakeLabel(QStringLiteral("TEA Auth. (unknown)"), g, 8, 160);
    UDPSearchBitBtn = MakeButton(QStringLiteral("&Search modules"), p, 232, 250, 110, 25);
    UDPSearchBitBtn->setToolTip(QStringLiteral("Seach for modules in local LAN segemnt"));
    UDPUseThisIPBitBtn = MakeButton(QStringLiteral("&Use this IP"), p, 232, 282, 110, 25);
    UDPUseThisIPBitBtn->setToolTip(QStringLiteral("Copy found IP to Virtual port settings"));
    UDPUseThisIPBitBtn->setDefault(true);
    UDPSetupModuleBtn = MakeButton(QStringLiteral("Setup module"), p, 80, 275, 110, 25);
    UDPSetupModuleBtn->setEnabled(false);
    UDPSetupModuleBtn->setVisible(false);

    // ---- "Settings" ----
    p = SettingsTabSheet;
    TEAGroupBox = new QGroupBox(QStringLiteral(" TEA Key "), p);
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

    NVTGroupBox = new QGroupBox(QStringLiteral(" NVT "), p);
    NVTGroupBox->setGeometry(200, 8, 142, 105);
    NVTEnabledCheckBox = MakeCheck(QStringLiteral("NVT enable"), NVTGroupBox, 8, 16);
    NVTEnabledCheckBox->setToolTip(QStringLiteral("Enable NVT commands"));
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
    ShowSettingsBitBtn = MakeButton(QStringLiteral("&Show settings"), p, 236, 283, 105, 25);

    // ---- Logo panel, over the lower part of every page ----
    LogoPanel = new QFrame(this);
    LogoPanel->setGeometry(8, 338, 337, 105);
    LogoPanel->setFrameShape(QFrame::Panel);
    LogoPanel->setFrameShadow(QFrame::Raised);
    LogoImage = new TImage(LogoPanel);
    LogoImage->setGeometry(8, 8, 321, 89);
    LogoImage->setCursor(Qt::PointingHandCursor);
    VersionLabel = new QLabel(QStringLiteral("Version 2.1.8"), LogoPanel);
    VersionLabel->move(16, 80);
    QFont bold = VersionLabel->font();
    bold.setBold(true);
    VersionLabel->setFont(bold);
    VersionLabel->setStyleSheet(QStringLiteral("color: navy; background: white;"));
    VersionLabel->adjustSize();
    LogoPanel->raise();

    MainPageControl->setCurrentWidget(SettingsTabSheet);

    // ---- Components ----
    VSPClientSocket = new TClientSocket(this);
    VSPServerSocket = new TServerSocket(this);
    TCPSetupClientSocket = new TClientSocket(this);
    MainTimer = new QTimer(this);
    MainTimer->setTimerType(Qt::PreciseTimer);
    MainTimer->setInterval(5);
}

} // namespace vsp
