#pragma once
// TMainForm: the main window and the controller of the whole program. It owns every
// control (the controls hold the live configuration), the virtual port, the three TCP
// endpoints, the 5 ms timer, both workers and all run-time state. Every handler runs on
// the UI thread. The handlers are split into files by subsystem:
//   app/Umainf.cpp          start-up, first show, close, message dispatch
//   app/Umainf_layout.cpp   the window's controls
//   app/Umainf_log.cpp      log, status labels, counters, timer
//   app/Umainf_tray.cpp     notification icon, hide, logo link
//   app/Umainf_config.cpp   settings store, command line, start on boot
//   vport/Umainf_port.cpp   create / delete the port, open / close reactions
//   vport/Umainf_report.cpp the settings report
//   link/Umainf_link.cpp    TCP link manager and ping results
//   link/Umainf_relay.cpp   the data relay
//   link/Umainf_nvt.cpp     NVT options, keep-connection, TEA answer, port-setting sync
//   setup/Umainf_modules.cpp module list of the "UDP Setup" page
//   setup/Umainf_readout.cpp read-out of the module's set-up console
//   setup/Umainf_setupdialog.cpp how the "Setup Module" dialog is opened

#include "app/Platform.h"
#include "link/LineSettings.h"
#include "link/Nvt.h"
#include "link/Reconnect.h"
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
struct TControlLine;

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
    int32_t KeepTicks = 0;
    int32_t FlushTicks = 0;
    bool SerialInputHeld = false;
    bool CommandLineMode = false;
    int32_t LanRxCount = 0;
    int32_t LanTxCount = 0;
    int32_t SerialRxCount = 0;
    int32_t SerialTxCount = 0;
    bool LinkError = false;
    bool TeaAnswered = false;
    bool LinkActivity = false;
    // NVT filter, module to program: what a received block leaves unfinished (a command
    // or an escaped 0xFF cut by the read) is taken up by the next. Reset when a module
    // connection starts.
    TNvtReceiver NvtReceiver;
    // A lone IAC at the end of a read waits this many ticks (0.2 s) for the byte that says
    // what it is, then goes to the program as data.
    static constexpr int32_t NvtIacWaitLimitTicks = 40;
    int32_t NvtIacWaitTicks = 0;
    // An overlong subnegotiation is logged once per connection: a module that sends them
    // sends them all the time.
    bool NvtOverlongTold = false;
    int32_t PendingCount = 0;
    TCustomWinSocket* DataConnection = nullptr;
    TPingThread* PingThread = nullptr;

    // The pending store: one allocation for the program's life. The reading rule keeps at
    // most 16,384 + 16,384 bytes before escaping; escaping can double the newest 16,384,
    // so 16,384 * 3 bytes can never be overrun by the program's bytes. Line-setting frames
    // made while the link is down wait there too, in their place among those bytes: the
    // room above keeps a few hundred of them even when the program filled its share.
    static constexpr int32_t PendingReadLimit = 16384;
    static constexpr int32_t PendingFrameRoom = 4096;
    static constexpr int32_t PendingCapacity = PendingReadLimit * 3 + PendingFrameRoom;
    std::unique_ptr<uint8_t[]> PendingBuffer;
    // The store's first bytes that belong to the current connection only: the rest of a
    // message the connection took in part, the TEA answer, the line settings told at its
    // start. Sent on another connection they would be garbage, so a new connection drops
    // them.
    int32_t PendingBoundCount = 0;
    // The program's line settings, and which of them go with the bytes in the store. Frames
    // of changes made while bytes wait stop this short of the capacity, so that the settings
    // told at a connection's start always fit.
    TPendingSettings PendingSettings;
    static constexpr int32_t LineSettingsRoom = TelnetFrames::Capacity;

    // A module that authenticates speaks first; one that does not would hold the program's
    // bytes for ever. After this many ticks (3 s) without a challenge they go out unanswered.
    static constexpr int32_t TeaWaitLimitTicks = 600;
    int32_t TeaWaitTicks = 0;
    bool TeaWaitOver = false;

    // Client mode: while the link is wanted (port open, or "Connect to module if port is
    // closed" with the port created, or a closed program's bytes still waiting) and down, the
    // timer and every write ask this schedule for an attempt, so that a program that only
    // reads gets its link back and a module that refuses is not stormed.
    TReconnectSchedule Reconnect;
    bool PortCreated = false;
    // Without an ICMP socket the check at "Create COM" connects to the data port, and a
    // reconnection's own connect is its check; said once.
    bool EchoFallbackTold = false;
    void TellEchoMethod();
    int EchoMethodKnown = -1; // -1 not asked yet, else whether an echo check can be made
    bool EchoCheckUsable();

    // What a program wrote and the link has not carried when it closes the port: the close
    // waits for it at most CloseDrainMs, as a serial line's close waits for its output,
    // with the link kept meanwhile; then it is dropped, with one log line.
    int32_t CloseDrainTicks = -1; // ticks since such a close; -1: none waits
    bool CloseJustReported = false; // that close, until the event loop's next turn
    bool DiscardClosedInput = false; // until the next open, the port's input is the old program's
    bool ProgramBytesWaiting() const;
    void CloseDrainStep();
    void FinishPortClose(); // what the close left for the end of the wait
    void DropProgramBytes();

    static constexpr int32_t ReceiveBlockSize = 512;

    // Module to port: what the port did not take of the last block waits here, and the
    // connection is not read again until it is delivered, so TCP slows the module down
    // instead of the bytes being thrown away while the program is a little behind.
    bool SerialOutputHeld = false;
    int32_t HeldCount = 0;
    uint8_t HeldBlock[ReceiveBlockSize + TNvtReceiver::MaxGrowth] = {};
    bool DeliverHeldBlock(); // true when nothing waits any more
    void ResumeHeldOutput(); // the timer step, and the port's room event

    // The 5 ms timer runs at its pace only while the relay has work; idle, it wakes a few
    // times a second and runs the ticks that have passed, so counting stays as it was.
    static constexpr int MainTimerInterval = 5;
    static constexpr int IdleTimerInterval = 250;
    static constexpr int32_t TicksFor(int ms)
    {
        return ms <= 0 ? 0 : (ms + MainTimerInterval - 1) / MainTimerInterval;
    }
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
    bool CountersChanged = false;
    void ShowCounters(); // the four labels, if a count changed since they were last set
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
    // Ping (1, 10) for a client link that is down, when the schedule says so and no attempt
    // is under way: its own result decides, and a reconnect would replace the connection it
    // is making.
    void RequestReconnect();
    // A connection that ends with bytes the module never acknowledged says how many.
    void TellUnacknowledged(TCustomWinSocket* socket);
    bool ClientLinkWanted() const;
    bool ClientLinkUp() const;
    void ReconnectScheduleStep();
    // A module connection starts (client connect or accept): fresh TEA and NVT state.
    void StartConnection(TCustomWinSocket* socket);

    // ---- link/Umainf_relay.cpp ----
    void OnVSPortRxChar(int32_t count);
    void MainTimerStep();
    void FlushPending();
    bool AwaitingTeaChallenge() const; // the flush holds the program's bytes until answered
    void TeaWaitStep();
    void OnVSPClientSocketRead(TCustomWinSocket* socket);
    // The module's bytes (after the NVT filter) into the port; what it does not take waits.
    void DeliverToPort(const uint8_t* bytes, int32_t n);
    void NvtIacWaitStep(); // the timer's end of waiting for the byte behind a lone IAC
    void DeliverHeldIac(); // a lone IAC the receiver holds goes to the port as data

    // ---- link/Umainf_relay.cpp: the pending store and what goes into it ----
    // A client connection whose error event has run is dead until the ping decides: it
    // does not count as a link to the module.
    bool LinkUsable() const;
    // Puts bytes into the store, at its head or behind what waits there; false when they
    // do not fit (the module has stopped reading and the store is full).
    bool StorePending(const uint8_t* bytes, int32_t size, bool atHead);
    // One send of the whole store on the connection: counted, the rest moved to the front.
    // Returns what the connection took, or -1 (would block, or failed: the error event has
    // run inside the send).
    int SendPending(TCustomWinSocket* connection);
    enum class TSendResult {
        Whole, // the connection took it, or took part and the rest waits at the head of the store
        Nothing, // the connection would block
        Failed, // the error event has run inside the send (or the connection was already dead)
    };
    // One Telnet message (a frame, IAC NOP, the TEA answer) on the connection. A message cut
    // in two would make the module read whatever follows as part of it, so a rest the
    // connection did not take goes to the head of the store.
    TSendResult SendMessage(
        TCustomWinSocket* connection, const uint8_t* bytes, int size, bool takeLock);
    // Takes n bytes off the head of the store (what belonged to the last connection).
    void DropPendingHead(int32_t n);
    // A change of the program's line: with "NVT port setup" on, its frames go behind the
    // bytes the program wrote before it; while the link is down (or the TEA answer is
    // awaited) they wait in the store in that place, unless nothing waits, in which case the
    // next connection is told anyway. True when the frames are in the current connection's
    // stream (sent, or waiting for it).
    bool SendLineChange(const TLineSettings& now, const TelnetFrames& frames);
    bool PortSetupWanted() const; // "NVT port setup" on

    // ---- link/Umainf_nvt.cpp: hooks the relay calls, NVT options, TEA, port settings ----
    int32_t EscapeOutgoing(uint8_t* bytes, int32_t count); // returns the grown count
    void SendKeepConnection();
    void NVTEnabledCheckBoxClick();
    void NVTKeepCheckBoxClick();
    void OnVSPClientSocketWrite(TCustomWinSocket* socket);
    void AnswerTeaChallenge(TCustomWinSocket* socket, const uint8_t* block, int32_t count);
    void OnVSPortBaudRate(int32_t baudRate);
    void OnVSPortLineControl(int32_t stopBits, int32_t parity, int32_t wordLength);
    void OnVSPortHandflow(
        int32_t controlHandShake, int32_t flowReplace, int32_t xonLimit, int32_t xoffLimit);
    // A new module connection is told the line settings of the first byte it will get (with
    // "NVT port setup" on), ahead of the store and behind the TEA answer.
    void TellLineSettings();
    // The program's break condition and modem lines, which a port hears only from programs
    // run through vsp-run, go to the module as SET-CONTROL like the other settings.
    void OnVSPortDTR(bool on);
    void OnVSPortRTS(bool on);
    void OnVSPortBreak(bool on);
    // The module's modem lines (NOTIFY-MODEMSTATE), for a program that reads them.
    void ModuleModemState(int32_t state);
    void SendControlLine(const TControlLine& line, bool on);

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
