// Start-up, first show, close and the main window's message dispatch.

#include "app/Umainf.h"

#include "app/Controls.h"
#include "app/Dialogs.h"
#include "app/Messages.h"
#include "link/Sockets.h"
#include "setup/Udpthread.h"
#include "vport/PtyPort.h"
#include "vport/Uping.h"
#include "vport/Vsportlib_tlb.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QTimer>
#include <cstdio>
#include <utility>

vsp::TMainForm* MainForm = nullptr;

namespace vsp {

TMainForm::TMainForm(
    const QStringList& params, TPlatform platform, TOtherWindows windows, QWidget* parent)
    : QWidget(parent)
    , Platform(std::move(platform))
    , SettingsForm(windows.SettingsForm)
    , ModuleSetupForm(windows.ModuleSetupForm)
    , VSPort(Platform.MakePort ? Platform.MakePort()
                               : std::make_unique<TPtyVSPort>(Platform.PortFolders))
    , LinkEvents(MakeLinkEvents())
    , Link(std::make_unique<TDataLink>(*VSPort, *LinkEvents, Platform.Timings,
          dynamic_cast<const TPtyVSPort*>(VSPort.get()) != nullptr, this))
    , params_(params)
{
    // FormCreate may consult the global, as the main window is already being created.
    MainForm = this;
    CreateControls();
    ConnectHandlers();
    FormCreate();
    if (Platform.Ticks) {
        Platform.Ticks->OnTick = [this] { MainTimerStep(); };
        Platform.Ticks->OnHold = [this] { MainTimer->stop(); };
    }
    if (!Terminated && !(Platform.Ticks && Platform.Ticks->Held())) {
        TickClock.start();
        MainTimer->start();
        PaceMainTimer();
    }
}

TMainForm::~TMainForm()
{
    MainTimer->stop();
    if (Platform.Ticks) {
        Platform.Ticks->OnTick = nullptr;
        Platform.Ticks->OnHold = nullptr;
    }
    if (PingThread) {
        PingThread->Stop();
        delete PingThread;
        PingThread = nullptr;
    }
    if (UDPThread) {
        delete UDPThread; // stops and joins
        UDPThread = nullptr;
    }
    RemoveTrayIcon();
    // Endpoints first, so that no event reaches a half-destroyed window.
    for (TClientSocket* c : { VSPClientSocket, TCPSetupClientSocket }) {
        c->OnConnecting = nullptr;
        c->OnConnect = nullptr;
        c->OnDisconnect = nullptr;
        c->OnRead = nullptr;
        c->OnWrite = nullptr;
        c->OnError = nullptr;
    }
    VSPServerSocket->OnClientConnect = nullptr;
    VSPServerSocket->OnClientDisconnect = nullptr;
    VSPServerSocket->OnClientRead = nullptr;
    VSPServerSocket->OnClientWrite = nullptr;
    VSPServerSocket->OnClientError = nullptr;
    Link->Shutdown();
    TCPSetupClientSocket->Close();
    VSPort->OnRxChar = nullptr;
    VSPort->OnOpenClose = nullptr;
    VSPort->OnBaudRate = nullptr;
    VSPort->OnLineControl = nullptr;
    VSPort->OnHandflow = nullptr;
    VSPort->OnWriteRoom = nullptr;
    VSPort->OnDTR = nullptr;
    VSPort->OnRTS = nullptr;
    VSPort->OnBreak = nullptr;
    VSPort->Delete();
    if (MainForm == this) MainForm = nullptr;
}

void TMainForm::ConnectHandlers()
{
    // Check boxes: a change by program runs the handler exactly as a user's click does.
    connect(KelmarTestCheckBox, &QCheckBox::toggled, this, [this] { KelmarTestCheckBoxClick(); });
    connect(NVTEnabledCheckBox, &QCheckBox::toggled, this, [this] { NVTEnabledCheckBoxClick(); });
    connect(NVTKeepCheckBox, &QCheckBox::toggled, this, [this] { NVTKeepCheckBoxClick(); });

    connect(CreateCOMBitBtn, &QPushButton::clicked, this, [this] { CreateCOMBitBtnClick(); });
    connect(DeleteCOMBitBtn, &QPushButton::clicked, this, [this] { DeleteCOMBitBtnClick(); });
    connect(HideBitBtn, &QPushButton::clicked, this, [this] { HideBitBtnClick(); });
    connect(ShowSettingsBitBtn, &QPushButton::clicked, this, [this] { ShowSettingsBitBtnClick(); });
    connect(UDPSearchBitBtn, &QPushButton::clicked, this, [this] { UDPSearchBitBtnClick(); });
    connect(UDPUseThisIPBitBtn, &QPushButton::clicked, this, [this] { UDPUseThisIPBitBtnClick(); });
    connect(UDPSetupModuleBtn, &QPushButton::clicked, this, [this] { UDPSetupModuleBtnClick(); });
    // The list's click also follows the keyboard, as selecting a line with the arrow keys does.
    connect(UDPMACListBox, &QListWidget::itemClicked, this, [this] { UDPMACListBoxClick(); });
    connect(UDPMACListBox, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row >= 0) UDPMACListBoxClick();
    });
    connect(
        UDPMACListBox, &QListWidget::itemDoubleClicked, this, [this] { UDPMACListBoxDblClick(); });
    connect(
        ComPortComboBox, &QComboBox::editTextChanged, this, [this] { ComPortComboBoxChange(); });
    connect(LogoImage, &TImage::clicked, this, [this] { LogoImageClick(); });
    connect(
        LogMessagesMemo, &QPlainTextEdit::textChanged, this, [this] { LogMessagesMemoChange(); });
    connect(LogMessagesMemo, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        LogMessagePopupMenu->popup(LogMessagesMemo->mapToGlobal(pos));
    });
    connect(
        ClearAllMessagesClick, &QAction::triggered, this, [this] { ClearAllMessagesClickClick(); });
    connect(MainTimer, &QTimer::timeout, this, [this] { OnMainTimerTimer(); });

    VSPort->OnRxChar = [this](int32_t count) { OnVSPortRxChar(count); };
    VSPort->OnOpenClose = [this](bool on) { OnVSPortOpenClose(on); };
    VSPort->OnBaudRate = [this](int32_t baud) { OnVSPortBaudRate(baud); };
    VSPort->OnLineControl = [this](int32_t stop, int32_t parity, int32_t bits) {
        OnVSPortLineControl(stop, parity, bits);
    };
    VSPort->OnHandflow = [this](int32_t hs, int32_t fr, int32_t xon, int32_t xoff) {
        OnVSPortHandflow(hs, fr, xon, xoff);
    };
    VSPort->OnWriteRoom = [this] { Link->ResumeHeldOutput(LinkOptions()); };
    VSPort->OnDTR = [this](bool on) { OnVSPortDTR(on); };
    VSPort->OnRTS = [this](bool on) { OnVSPortRTS(on); };
    VSPort->OnBreak = [this](bool on) { OnVSPortBreak(on); };

    VSPClientSocket->OnConnecting = [this](TCustomWinSocket* s) { OnVSPClientSocketConnecting(s); };
    VSPClientSocket->OnConnect = [this](TCustomWinSocket* s) { OnVSPClientSocketConnect(s); };
    VSPClientSocket->OnDisconnect = [this](TCustomWinSocket* s) { OnVSPClientSocketDisconnect(s); };
    VSPClientSocket->OnRead = [this](TCustomWinSocket* s) { OnVSPClientSocketRead(s); };
    VSPClientSocket->OnWrite = [this](TCustomWinSocket* s) { OnVSPClientSocketWrite(s); };
    VSPClientSocket->OnError = [this](TCustomWinSocket* s, int e) { OnVSPClientSocketError(s, e); };

    VSPServerSocket->OnClientConnect = [this](TCustomWinSocket* s) { OnVSPServerSocketAccept(s); };
    VSPServerSocket->OnClientDisconnect
        = [this](TCustomWinSocket* s) { OnVSPServerSocketClientDisconnect(s); };
    VSPServerSocket->OnClientRead = [this](TCustomWinSocket* s) { OnVSPClientSocketRead(s); };
    VSPServerSocket->OnClientWrite = [this](TCustomWinSocket* s) { OnVSPClientSocketWrite(s); };
    VSPServerSocket->OnClientError
        = [this](TCustomWinSocket* s, int e) { OnVSPServerSocketClientError(s, e); };

    TCPSetupClientSocket->OnConnecting
        = [this](TCustomWinSocket* s) { OnTCPSetupClientSocketConnecting(s); };
    TCPSetupClientSocket->OnConnect
        = [this](TCustomWinSocket* s) { OnTCPSetupClientSocketConnect(s); };
    TCPSetupClientSocket->OnRead = [this](TCustomWinSocket* s) { OnTCPSetupClientSocketRead(s); };
    TCPSetupClientSocket->OnError
        = [this](TCustomWinSocket* s, int e) { OnTCPSetupClientSocketError(s, e); };
}

void TMainForm::FormCreate()
{
    // The ping worker, idle until asked.
    PingThread = new TPingThread(this, Platform.WorkerPing, Platform.AvoidRawSocket);
    PingThread->AddressSource = [this] { return IPAddressComboBox->currentText(); };

    const int n = int(params_.size());
    CommandLineMode = n > 0;

    // With parameters the store is not read (unless -R asks for it): they alone set the window.
    if (n > 0) {
        const int k = ApplyCommandLine();
        if (k > 0) {
            const QString text = QStringLiteral("Error in command line parameter (%1)").arg(k);
            // Whoever typed it in a terminal reads what was wrong and how it is written;
            // without a display the box itself goes to standard error.
            if (!Headless()) std::fprintf(stderr, "%s\n", qPrintable(text));
            MessageBox({ this, text, QStringLiteral("Orvane Virtual Com"), MsgIcon::Error,
                           MsgButtons::Ok },
                Platform.MessageBox);
            std::fprintf(stderr, "%s", qPrintable(CommandLineUsage()));
            std::fflush(stderr);
            Terminated = true;
            ExitCode = 2;
            return;
        }
    } else {
        LoadSettings();
    }
    // A failed driver check (also through -R) ends the program before the window is used.
    if (Terminated) return;

    // Once per run, and only when the window is drawn in a stand-in font.
    static bool fontNoted = false;
    if (const QString note = DesignFontNote(); !note.isEmpty() && !std::exchange(fontNoted, true))
        Log(note);

    AddTrayIcon();
    FirstShow = true;
    UDPThread = new TUDPThread(this, Platform);
    if (KelmarTestCheckBox->isChecked()) KelmarTestCheckBoxClick();
}

void TMainForm::KelmarTestCheckBoxClick()
{
    if (!KelmarTestCheckBox->isChecked()) return;
    NVTEnabledCheckBox->setChecked(true);
    NVTFilterCheckBox->setChecked(true);
    NVTPortSetupCheckBox->setChecked(true);
}

void TMainForm::FormShow()
{
    if (FirstShow) {
        FirstShow = false;
        if (StartupCreateCheckBox->isChecked()) {
            CreateCOMBitBtn->click();
            if (Terminated) return; // a signal ended the program while its box was up
            // "Delete COM" is enabled exactly while a port exists.
            if (EndWhenStartPortFails && !DeleteCOMBitBtn->isEnabled()) {
                ExitCode = 1;
                QMetaObject::invokeMethod(
                    QCoreApplication::instance(), [] { QCoreApplication::exit(1); },
                    Qt::QueuedConnection);
                return;
            }
        }
        if (StartupHideCheckBox->isChecked()) PostMessage(this, WM_STARTUPHIDE);
    }
    UDPSearchBitBtn->click();
}

bool TMainForm::FormClose()
{
    if (VSPort->IsOpened()) {
        const MsgResult r = MessageBox(
            { this,
                QStringLiteral(
                    "Port is opend, can't be removed. Close application? (port will be blocked)"),
                ApplicationTitle(), MsgIcon::Error, MsgButtons::YesNo },
            Platform.MessageBox);
        if (r != MsgResult::Yes) return false;
    }
    // Settings given on the command line are not the user's to keep: only a normal start saves.
    if (!CommandLineMode && !SaveSettings()) return false;
    RemoveTrayIcon();
    VSPort->Delete();
    VSPClientSocket->Close();
    // An idle worker ends at once; a check under way is given up, not waited for.
    if (PingThread) {
        PingThread->Stop();
        delete PingThread;
        PingThread = nullptr;
    }
    return true;
}

void TMainForm::WndProc(int msg, std::uintptr_t wParam, std::intptr_t lParam)
{
    switch (msg) {
    case WM_TRAYNOTIFY:
        if (lParam == WM_LBUTTONDOWN && !isVisible()) {
            show();
            raise();
            activateWindow();
        }
        break;
    case WM_STARTUPHIDE:
        HideBitBtn->click();
        break;
    case WM_PINGRESULT:
        PingResult(uint32_t(wParam));
        break;
    case WM_UDPMODULEFOUND:
        UDPModuleFound();
        break;
    default:
        break;
    }
}

bool TMainForm::event(QEvent* e)
{
    if (TWinMessage::IsWinMessage(e)) {
        const auto* m = static_cast<TWinMessage*>(e);
        WndProc(m->Msg, m->WParam, m->LParam);
        return true;
    }
    return QWidget::event(e);
}

void TMainForm::showEvent(QShowEvent* e)
{
    QWidget::showEvent(e);
    if (!e->spontaneous()) FormShow();
}

void TMainForm::closeEvent(QCloseEvent* e)
{
    if (!FormClose()) {
        e->ignore();
        return;
    }
    e->accept();
    // The main window closing ends the program, also while other windows are open.
    QCoreApplication::quit();
}

} // namespace vsp
