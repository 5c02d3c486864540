#pragma once
// The "Setup Module" dialog: writes a whole configuration into a module through its
// set-up console, answering the console's prompts one after another.

#include "app/Platform.h"

#include <QWidget>
#include <cstdint>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QPushButton;
class QTextEdit;
class QTimer;
class QButtonGroup;

namespace vsp {

class TClientSocket;
class TCustomWinSocket;
class TLabeledEdit;
class TRadioGroup;

// Names another TCP port for the set-up console than SetupConsolePort; tests point the
// dialog and the settings report's read-out at a simulated module with it.
constexpr char SetupPortVariable[] = "VSP_SETUP_PORT";

// The port a value of SetupPortVariable names, 0 when it is empty or names none; then
// problem (when given) says why, or is empty.
int ParseSetupPort(const QByteArray& value, QString* problem = nullptr);

// The set-up console's port as the dialog and the read-out use it: the platform's, else
// SetupConsolePort.
int SetupConsolePortInUse(const TPlatform& platform);

class TModuleSetupForm : public QWidget {
    Q_OBJECT
public:
    // platform: the machine's services, the main window's.
    explicit TModuleSetupForm(TPlatform platform = {}, QWidget* parent = nullptr);
    ~TModuleSetupForm() override;

    // "TCP/IP"
    TLabeledEdit* TCPIPEdit;
    TLabeledEdit* TCPPortEdit;
    TLabeledEdit* TCPMaskEdit;
    TLabeledEdit* TCPGatewayEdit;
    QCheckBox* OutNVTCheck;
    QCheckBox* OutKeepConnection;
    TRadioGroup* OutEraseOn;
    // "In IP setup"
    TLabeledEdit* InIPEdit;
    TLabeledEdit* InMaskEdit;
    // "Out IP setup"
    TLabeledEdit* OutIPEdit;
    TLabeledEdit* OutPortEdit;
    TRadioGroup* IPModeRadio;
    // "Security setup"
    TLabeledEdit* TEA0Edit;
    TLabeledEdit* TEA1Edit;
    TLabeledEdit* TEA2Edit;
    TLabeledEdit* TEA3Edit;
    // "Serial setup"
    QComboBox* SSpeedCombo;
    QComboBox* SBits;
    QComboBox* SParityCombo;
    QCheckBox* SVarParityCheck;
    QComboBox* SStopCombo;
    QCheckBox* SSpaceCommpress;
    QComboBox* SFlowControl;
    QComboBox* SRSControll;
    TLabeledEdit* STimeout;
    TLabeledEdit* SDelay;
    QComboBox* STxControll;
    // "I/O Controll setup"
    TLabeledEdit* IOTrigger;
    TLabeledEdit* IOPUInit;
    TLabeledEdit* IOPUAnd;
    TLabeledEdit* IOPUOr;
    TLabeledEdit* IOKeep;
    TLabeledEdit* IOAnd;
    TLabeledEdit* IOOr;

    QPushButton* BitBtn1; // "Write Configuration"
    QPushButton* BitBtn2; // Close
    QTextEdit* RichEdit1; // the log view, covering the dialog while shown
    TClientSocket* ClientSocket1;

    int32_t SetupStep = 0;

    // A console that connects but never prompts is given up after this long without its
    // first prompt; after that the dialogue waits for each prompt as long as it takes.
    static constexpr int PromptTimeout = 10000; // ms
    QTimer* PromptTimer;
    // Lines of the dialogue the log keeps (a real one has a hundred or so), and the most
    // of one received piece it shows: its end.
    static constexpr int LogLineLimit = 500;
    static constexpr int LogPieceLimit = 64 * 1024;

    void FormShow();
    void BitBtn1Click();
    void ClientSocket1Connect(TCustomWinSocket* socket);
    void ClientSocket1Read(TCustomWinSocket* socket);
    void ClientSocket1Error(TCustomWinSocket* socket, int errorCode);
    void FormClose();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    const TPlatform platform_;
    void InsertReceived(const QByteArray& piece);
    void PromptTimerTimeout();
    void SendSetupCommand(TCustomWinSocket* socket, const QString& command);

    // Changes whenever a connection begins or ends, so that a step waiting for its message
    // box to close can tell whether its connection is still the one it answered on.
    uint64_t dialogue_ = 0;
};

} // namespace vsp
