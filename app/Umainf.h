#pragma once
// TMainForm: the main window and the controller of the whole program. It owns every
// control (the controls hold the live configuration), the virtual port, the data link (with
// its two endpoints), the set-up console's endpoint, the 5 ms timer and both workers. Every
// handler runs on the UI thread. The handlers are split into files by subsystem:
//   app/Umainf.cpp          start-up, first show, close, message dispatch
//   app/Umainf_layout.cpp   the window's controls
//   app/Umainf_log.cpp      log, status labels, counters, timer
//   app/Umainf_tray.cpp     notification icon, hide, logo link
//   app/Umainf_config.cpp   settings store, command line, start on boot
//   vport/Umainf_port.cpp   create / delete the port, open / close reactions
//   vport/Umainf_report.cpp the settings report
//   link/Umainf_link.cpp    TCP link manager and ping results    } forwards to the data
//   link/Umainf_relay.cpp   the data relay                       } link, TDataLink
//   link/Umainf_nvt.cpp     NVT options, keep-connection, TEA,   } (link/DataLink.h)
//                           port-setting sync
//   setup/Umainf_modules.cpp module list of the "UDP Setup" page
//   setup/Umainf_readout.cpp read-out of the module's set-up console
//   setup/Umainf_setupdialog.cpp how the "Setup Module" dialog is opened

#include "app/Platform.h"
#include "link/DataLink.h"
#include "setup/ConsoleReadout.h"
#include "vport/Vsportlib_tlb.h"

#include <QElapsedTimer>
#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>

class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QListWidget;
class QMenu;
class QAction;
class QPlainTextEdit;
class QPushButton;
class QSystemTrayIcon;
class QTabWidget;
class QTimer;

namespace vsp {

class TClientSocket;
class TServerSocket;
class TCustomWinSocket;
class TPingThread;
class TUDPThread;
class TSettingsForm;
class TModuleSetupForm;
class TLabeledEdit;
class TImage;

// The notification-area icon record.
struct TTrayIconData {
    static constexpr int TipSize = 128; // the tip field: 127 characters and a terminator
    QSystemTrayIcon* Icon = nullptr; // none when the desktop offers no tray
    uint32_t Flags = 0; // 7 (message, icon, tip) when added; 4 (tip) after a tip change
    int Id = 1;
    QString Tip;
};

// "Orvane Virtual port manager " followed by the port name, cut to fit the tip field.
QString BuildTrayTip(const QString& portName);

// The command line's usage, for --help and after a rejected parameter.
QString CommandLineUsage();

// The program's two other windows, made hidden beside the main window and living at least as
// long as it. A window built without one has no settings report, or no way into the set-up
// dialog.
struct TOtherWindows {
    TSettingsForm* SettingsForm = nullptr;
    TModuleSetupForm* ModuleSetupForm = nullptr;
};

class TMainForm : public QWidget {
    Q_OBJECT
public:
    // params: the command-line parameters (without the program name). platform: the
    // machine's services, which the windows and workers the form makes use as well. windows:
    // the report window and the set-up dialog. FormCreate runs in here.
    explicit TMainForm(const QStringList& params, TPlatform platform = {},
        TOtherWindows windows = {}, QWidget* parent = nullptr);
    ~TMainForm() override;

    // Set when start-up decided to end the program (command-line error, no driver), or by
    // main on a signal: main then returns without running the message loop.
    bool Terminated = false;
    int ExitCode = 0;
    // Set by main when there is no display: a port that cannot be created at start then
    // ends the program with exit code 1, so that a service manager sees the failure
    // instead of a program that runs on without its port.
    bool EndWhenStartPortFails = false;

    const TPlatform Platform;
    TSettingsForm* const SettingsForm;
    TModuleSetupForm* const ModuleSetupForm;

    // ---- Controls (names are the ones every handler uses) ----
    QTabWidget* MainPageControl;
    QWidget* VSPTabSheet;
    QWidget* UDPSetupTabSheet;
    QWidget* SettingsTabSheet;
    QFrame* LogoPanel;
    TImage* LogoImage;
    QLabel* VersionLabel;

    // "Virtual SP"
    QLabel* IPAddressLabel;
    QComboBox* IPAddressComboBox;
    TLabeledEdit* PortLabeledEdit;
    QLabel* ComPortLabel;
    QComboBox* ComPortComboBox;
    TLabeledEdit* ServerPortLabeledEdit;
    std::unique_ptr<TVSPort> VSPort;
    QCheckBox* KelmarTestCheckBox;
    QGroupBox* LANStatusGroupBox;
    QLabel* LANStatusClientSLabel;
    QLabel* LANStatusClientLabel;
    QLabel* LANStatusServerSLabel;
    QLabel* LANStatusServerLabel;
    QLabel* LANStatusMessagesLabel;
    QGroupBox* PortStatusGroupBox;
    QLabel* StatusSLabel;
    QLabel* StatusLabel;
    QLabel* BaudSLabel;
    QLabel* BaudLabel;
    QLabel* BitsSLabel;
    QLabel* BitsLabel;
    QLabel* ParitySLabel;
    QLabel* ParityLabel;
    QLabel* StopbitsSLabel;
    QLabel* StopBitsLabel;
    QLabel* SerialRxSLabel;
    QLabel* SerialRxLabel;
    QLabel* SerialTxSLabel;
    QLabel* SerialTxLabel;
    QLabel* LANRxSLabel;
    QLabel* LANRxLabel;
    QLabel* LANTxSLabel;
    QLabel* LANTxLabel;
    QPushButton* CreateCOMBitBtn;
    QPushButton* DeleteCOMBitBtn;
    QPushButton* HideBitBtn;
    QPlainTextEdit* LogMessagesMemo;

    // "UDP Setup"
    QLabel* UDPMACLabel;
    QListWidget* UDPMACListBox;
    QLabel* UDPInfoLabel1;
    QLabel* UDPInfoLabel2;
    QLabel* UDPInfoLabel3;
    QGroupBox* UDPModuleParamsGroupBox;
    TLabeledEdit* UDPIPAddressEdit;
    TLabeledEdit* UDPPortEdit;
    TLabeledEdit* UDPMaskEdit;
    TLabeledEdit* UDPGatewayEdit;
    QLabel* NVTLabel;
    QLabel* TEALabel;
    QPushButton* UDPSearchBitBtn;
    QPushButton* UDPUseThisIPBitBtn;
    QPushButton* UDPSetupModuleBtn;

    // "Settings"
    QGroupBox* TEAGroupBox;
    TLabeledEdit* UKEdit1;
    TLabeledEdit* UKEdit2;
    TLabeledEdit* UKEdit3;
    TLabeledEdit* UKEdit4;
    QCheckBox* TEAEnabledCheckBox;
    QGroupBox* NVTGroupBox;
    QCheckBox* NVTEnabledCheckBox;
    QCheckBox* NVTFilterCheckBox;
    QCheckBox* NVTPortSetupCheckBox;
    QCheckBox* NVTKeepCheckBox;
    QCheckBox* LogEnabledCheckBox;
    QCheckBox* TCPServerModeCheckBox;
    QCheckBox* StartupCreateCheckBox;
    QCheckBox* StartupHideCheckBox;
    QCheckBox* PingFailCheckBox;
    QCheckBox* ConnectClosedCheckBox;
    QCheckBox* StartOnBootCheckBox;
    QPushButton* ShowSettingsBitBtn;

    // Components without a place on screen.
    TClientSocket* VSPClientSocket;
    TServerSocket* VSPServerSocket;
    TClientSocket* TCPSetupClientSocket;
    QTimer* MainTimer;
    QElapsedTimer TickClock;
    QMenu* LogMessagePopupMenu;
    QAction* ClearAllMessagesClick;

    // ---- Run-time state, in this order ----
    TTrayIconData TrayIconData;
    TUDPThread* UDPThread = nullptr;
    bool FirstShow = false;
    bool CommandLineMode = false;
    TPingThread* PingThread = nullptr;

    // The data link: the relay, the link manager and their state. The handlers below that
    // belong to it forward to it with the options the controls hold at that moment.
    std::unique_ptr<TDataLinkEvents> LinkEvents; // what the link shows goes through here
    std::unique_ptr<TDataLinkEvents> MakeLinkEvents();
    std::unique_ptr<TDataLink> Link;
    TLinkOptions LinkOptions() const;

    // Without an ICMP socket the check at "Create COM" connects to the data port, and a
    // reconnection's own connect is its check; said once.
    bool EchoFallbackTold = false;
    void TellEchoMethod();
    int EchoMethodKnown = -1; // -1 not asked yet, else whether an echo check can be made
    bool EchoCheckUsable();

    void FinishPortClose(); // what the close left for the end of the wait

    // The 5 ms timer runs at its pace only while the relay has work; idle, it wakes a few
    // times a second and runs the ticks that have passed, so counting stays as it was.
    static constexpr int MainTimerInterval = TDataLink::TickMs;
    static constexpr int IdleTimerInterval = 250;
    static constexpr int32_t TicksFor(int ms) { return TDataLink::TicksFor(ms); }
    qint64 TicksDue = 0; // ticks accounted for since the window was created
    void PaceMainTimer();

    // ---- app/Umainf.cpp: start-up, first show, close ----
    void FormCreate();
    void FormShow();
    // Returns false when the close is abandoned.
    bool FormClose();
    void KelmarTestCheckBoxClick();
    void WndProc(int msg, std::uintptr_t wParam, std::intptr_t lParam);

    // ---- app/Umainf_layout.cpp ----
    void CreateControls();

    // ---- app/Umainf_config.cpp ----
    void LoadSettings(); // may set Terminated (driver check)
    bool SaveSettings(); // false: a write failed and the close is abandoned
    // The settings key could not be read at all, so no control holds what is stored: a
    // close must not write them over the stored values. The file, for the close to name.
    bool StoreLoadIncomplete = false;
    QString IncompleteStorePath;
    int ApplyCommandLine(); // 0, or the 1-based position of the first rejected parameter

    // ---- app/Umainf_log.cpp ----
    // A flood of lines (a line per block of a busy link) must not cost a text layout per
    // line: past LogBurstLines lines in LogWindowMs the memo is written once at the end of
    // the window, with the newest lines, which are all it could show.
    static constexpr int LogBurstLines = 64;
    static constexpr int LogWindowMs = 250;
    // Logged, not in the memo yet (at most the memo's 30 lines); the text is made when
    // they go in, so that a line of a flood costs little more than its place in the list.
    struct TPendingLine {
        QString Message;
        int MsecsOfDay;
    };
    QList<TPendingLine> LogPending;
    // The time of day is read once per window (a read costs a time-zone check); the lines
    // inside take their time from the monotonic clock.
    QElapsedTimer LogWindow;
    int LogWindowStart = 0; // time of day in ms when the window began
    int LogWindowLines = 0;
    void StartLogWindow();
    bool LogWriting = false; // the memo is being written by the log itself
    QTimer* LogFlushTimer = nullptr;
    void FlushLog(); // puts the pending lines into the memo now
    void Log(const QString& message);
    void LogMessagesMemoChange();
    void ClearAllMessagesClickClick();
    void ShowCounter(QLabel* label, int32_t value);
    // The relay counts every block at once but shows the counts once per timer tick: a
    // label set for every 512 bytes would cost more than relaying them, and a person sees
    // no difference.
    void ShowCounters(const TLinkCounters& counters);
    void ResetCounters();
    void OnMainTimerTimer();

    // ---- app/Umainf_tray.cpp ----
    void AddTrayIcon();
    void RemoveTrayIcon();
    void ComPortComboBoxChange();
    void HideBitBtnClick();
    bool HideMinimisesToldOnce = false; // without a tray, "Hide" has said why it minimises
    void LogoImageClick();

    // ---- vport/Umainf_port.cpp ----
    void CreateCOMBitBtnClick();
    void DeleteCOMBitBtnClick();
    void OnVSPortOpenClose(bool on);
    // One synchronous echo check of the address: 1 reply, 0 none, -1 the check cannot be
    // set up.
    int PingAddressNow(const QString& address);

    // ---- vport/Umainf_report.cpp ----
    void ShowSettingsBitBtnClick();

    // ---- link/Umainf_link.cpp ----
    void OpenClientLink();
    void CloseClientLink();
    bool OpenServerLink(); // false: the port could not be listened on (logged)
    void CloseServerLink();
    void OnVSPClientSocketConnecting(TCustomWinSocket* socket);
    void OnVSPClientSocketConnect(TCustomWinSocket* socket);
    void OnVSPClientSocketDisconnect(TCustomWinSocket* socket);
    void OnVSPClientSocketError(TCustomWinSocket* socket, int errorCode);
    void OnVSPServerSocketAccept(TCustomWinSocket* socket);
    void OnVSPServerSocketClientDisconnect(TCustomWinSocket* socket);
    void OnVSPServerSocketClientError(TCustomWinSocket* socket, int errorCode);
    void PingResult(uint32_t code);
    // Ping (s, f); false when the worker is busy and the request was dropped. Where no echo
    // check can be made the result is posted at once: success when moduleAnswered (the
    // module showed itself some other way, as by a reset or a refusal).
    bool RequestPing(uint32_t successCode, uint32_t failureCode, bool moduleAnswered = true);

    // ---- link/Umainf_relay.cpp ----
    void OnVSPortRxChar(int32_t count);
    void MainTimerStep();
    void FlushPending();
    void OnVSPClientSocketRead(TCustomWinSocket* socket);

    // ---- link/Umainf_nvt.cpp: NVT options, keep-connection, TEA, port settings ----
    void SendKeepConnection();
    void NVTEnabledCheckBoxClick();
    void NVTKeepCheckBoxClick();
    void OnVSPClientSocketWrite(TCustomWinSocket* socket);
    void AnswerTeaChallenge(TCustomWinSocket* socket, const uint8_t* block, int32_t count);
    void OnVSPortBaudRate(int32_t baudRate);
    void OnVSPortLineControl(int32_t stopBits, int32_t parity, int32_t wordLength);
    void OnVSPortHandflow(
        int32_t controlHandShake, int32_t flowReplace, int32_t xonLimit, int32_t xoffLimit);
    void OnVSPortDTR(bool on);
    void OnVSPortRTS(bool on);
    void OnVSPortBreak(bool on);

    // ---- setup/Umainf_modules.cpp ----
    void UDPSearchBitBtnClick();
    void UDPMACListBoxClick();
    void UDPUseThisIPBitBtnClick();
    void UDPSetupModuleBtnClick();
    void UDPModuleFound();

    // ---- setup/Umainf_readout.cpp ----
    ReadoutBound SetupReadoutBound; // what the current read-out has put into the report
    void StartSetupReadout();
    void OnTCPSetupClientSocketConnecting(TCustomWinSocket* socket);
    void OnTCPSetupClientSocketConnect(TCustomWinSocket* socket);
    void OnTCPSetupClientSocketRead(TCustomWinSocket* socket);
    void OnTCPSetupClientSocketError(TCustomWinSocket* socket, int errorCode);

    // ---- setup/Umainf_setupdialog.cpp ----
    void UDPMACListBoxDblClick();

protected:
    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    void ConnectHandlers();
    QStringList params_;
};

} // namespace vsp

extern vsp::TMainForm* MainForm;
