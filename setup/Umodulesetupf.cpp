#include "setup/Umodulesetupf.h"

#include "app/Controls.h"
#include "app/Dialogs.h"
#include "app/Shell.h"
#include "link/Sockets.h"
#include "setup/ConsoleReadout.h"
#include "setup/SetupDialogue.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QShowEvent>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>
#include <limits>
#include <utility>

namespace vsp {

namespace {

constexpr int OuterWidth = 527;
constexpr int OuterHeight = 558;

QGroupBox* MakeGroup(
    const QString& caption, QWidget* parent, int left, int top, int width, int height)
{
    auto* g = new TGroupBox(caption, parent);
    g->setGeometry(left, top, width, height);
    return g;
}

TLabeledEdit* MakeEdit(
    const QString& caption, QWidget* parent, int left, int top, int width, const QString& text)
{
    auto* e = new TLabeledEdit(caption, parent);
    e->Place(left, top, width);
    e->setText(text);
    return e;
}

// An editable list with its caption above it, placed like a labelled edit's.
QComboBox* MakeCaptionedCombo(const QString& caption, QWidget* parent, int left, int top, int width,
    const QStringList& items, int index)
{
    auto* c = MakeCombo(parent, left, top, width);
    c->addItems(items);
    c->setCurrentIndex(index);
    auto* label = new QLabel(caption, parent);
    label->setBuddy(c);
    label->adjustSize();
    label->move(left, top - label->height());
    return c;
}

// The same, showing the item whose text is text.
QComboBox* MakeCaptionedCombo(const QString& caption, QWidget* parent, int left, int top, int width,
    const QStringList& items, const QString& text)
{
    return MakeCaptionedCombo(caption, parent, left, top, width, items, int(items.indexOf(text)));
}

} // namespace

TModuleSetupForm::TModuleSetupForm(TPlatform platform, QWidget* parent)
    : QWidget(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint)
    , platform_(std::move(platform))
{
    setObjectName(QStringLiteral("ModuleSetupForm"));
    setWindowTitle(QStringLiteral("Setup Module"));
    setWindowIcon(MainIcon());
    setFont(DesignFont());
    SetOuterSize(this, QSize(OuterWidth, OuterHeight), true);

    // The fields start out as the dialogue's own defaults.
    const ModuleSetupValues d;

    // Inside each group: captions above their fields, in columns, rows 37 pixels apart.
    QGroupBox* g = MakeGroup(QStringLiteral("TCP/IP"), this, 8, 8, 241, 225);
    TCPIPEdit = MakeEdit(QStringLiteral("Module IP address"), g, 8, 32, 110, d.TCPIPEdit);
    TCPPortEdit = MakeEdit(QStringLiteral("Port"), g, 124, 32, 109, d.TCPPortEdit);
    TCPMaskEdit = MakeEdit(QStringLiteral("Subnet mask"), g, 8, 69, 110, d.TCPMaskEdit);
    TCPGatewayEdit = MakeEdit(QStringLiteral("Gateway"), g, 124, 69, 109, d.TCPGatewayEdit);
    OutNVTCheck = MakeCheck(QStringLiteral("Network Virtual Terminal"), g, 8, 96);
    OutNVTCheck->setChecked(d.OutNVTCheck);
    OutKeepConnection = MakeCheck(QStringLiteral("Keep Connection"), g, 8, 114);
    OutKeepConnection->setChecked(d.OutKeepConnection);
    OutEraseOn = new TRadioGroup(QStringLiteral("Erase buffer on"),
        { QStringLiteral("None"), QStringLiteral("Close TCP/IP connection"),
            QStringLiteral("Open TCP/IP connection"), QStringLiteral("Open && Close TCP/IP con.") },
        g);
    OutEraseOn->setGeometry(8, 134, 225, 84);
    OutEraseOn->SetItemIndex(d.OutEraseOn);

    g = MakeGroup(QStringLiteral("In IP setup"), this, 8, 240, 241, 73);
    InIPEdit = MakeEdit(QStringLiteral("IP address"), g, 8, 36, 110, d.InIPEdit);
    InMaskEdit = MakeEdit(QStringLiteral("Mask"), g, 124, 36, 109, d.InMaskEdit);

    g = MakeGroup(QStringLiteral("Out IP setup"), this, 8, 320, 241, 89);
    OutIPEdit = MakeEdit(QStringLiteral("IP address"), g, 8, 36, 110, d.OutIPEdit);
    OutPortEdit = MakeEdit(QStringLiteral("Port"), g, 124, 36, 44, d.OutPortEdit);
    IPModeRadio = new TRadioGroup(
        QStringLiteral("IP mode"), { QStringLiteral("TCP"), QStringLiteral("UDP") }, g);
    IPModeRadio->setGeometry(172, 12, 61, 70);
    IPModeRadio->SetItemIndex(d.IPModeRadio);

    g = MakeGroup(QStringLiteral("Security setup"), this, 8, 416, 241, 105);
    TEA0Edit = MakeEdit(QStringLiteral("TEA key:0"), g, 8, 36, 110, d.TEA0Edit);
    TEA1Edit = MakeEdit(QStringLiteral("TEA key:1"), g, 124, 36, 109, d.TEA1Edit);
    TEA2Edit = MakeEdit(QStringLiteral("TEA key:2"), g, 8, 76, 110, d.TEA2Edit);
    TEA3Edit = MakeEdit(QStringLiteral("TEA key:3"), g, 124, 76, 109, d.TEA3Edit);

    g = MakeGroup(QStringLiteral("Serial setup"), this, 256, 8, 257, 225);
    SSpeedCombo = MakeCaptionedCombo(QStringLiteral("Speed"), g, 8, 32, 75,
        { QStringLiteral("300"), QStringLiteral("600"), QStringLiteral("1200"),
            QStringLiteral("2400"), QStringLiteral("4800"), QStringLiteral("9600"),
            QStringLiteral("19200"), QStringLiteral("38400"), QStringLiteral("57600"),
            QStringLiteral("115200") },
        d.SSpeedCombo);
    SBits = MakeCaptionedCombo(QStringLiteral("Data bits"), g, 91, 32, 75,
        { QStringLiteral("7"), QStringLiteral("8") }, d.SBits);
    SStopCombo = MakeCaptionedCombo(QStringLiteral("Stop bits"), g, 174, 32, 75,
        { QStringLiteral("1"), QStringLiteral("2") }, d.SStopCombo);
    SParityCombo = MakeCaptionedCombo(QStringLiteral("Parity"), g, 8, 69, 75,
        { QStringLiteral("none"), QStringLiteral("odd"), QStringLiteral("event"),
            QStringLiteral("mark"), QStringLiteral("space") },
        d.SParityCombo);
    SFlowControl = MakeCaptionedCombo(QStringLiteral("Flow control"), g, 91, 69, 158,
        { QStringLiteral("none"), QStringLiteral("RTS / CTS"), QStringLiteral("XON / XOFF") },
        d.SFlowControl);
    SRSControll = MakeCaptionedCombo(QStringLiteral("RS232 / RS422 Controll"), g, 8, 106, 140,
        { QStringLiteral("RTS = Low [+8V]"), QStringLiteral("RTS = High [-8V]"),
            QStringLiteral("Tx RTS HW echo ON"), QStringLiteral("Tx RTS HW echo OFF") },
        d.SRSControll);
    STxControll = MakeCaptionedCombo(QStringLiteral("Tx controll"), g, 8, 143, 140,
        { QStringLiteral("FULL duplex"), QStringLiteral("HALF duplex (RS485)") }, d.STxControll);
    STimeout = MakeEdit(QStringLiteral("Serial line timeout"), g, 154, 106, 95, d.STimeout);
    STimeout->setToolTip(QStringLiteral("0 - off"));
    SDelay = MakeEdit(QStringLiteral("Char transmit delay"), g, 154, 143, 95, d.SDelay);
    SDelay->setToolTip(QStringLiteral("0 - off"));
    SVarParityCheck = MakeCheck(QStringLiteral("Variable parity"), g, 8, 170);
    SVarParityCheck->setChecked(d.SVarParityCheck);
    SSpaceCommpress = MakeCheck(QStringLiteral("Buffer space compression"), g, 8, 190);
    SSpaceCommpress->setChecked(d.SSpaceCommpress);

    g = MakeGroup(QStringLiteral("I/O Controll setup"), this, 256, 240, 257, 169);
    IOTrigger = MakeEdit(QStringLiteral("Trigger AND mask"), g, 8, 32, 116, d.IOTrigger);
    IOPUInit = MakeEdit(QStringLiteral("Power Up INIT"), g, 8, 69, 116, d.IOPUInit);
    IOPUAnd = MakeEdit(QStringLiteral("Power Up AND mask"), g, 8, 106, 116, d.IOPUAnd);
    IOPUOr = MakeEdit(QStringLiteral("Power Up OR mask"), g, 8, 143, 116, d.IOPUOr);
    IOKeep = MakeEdit(QStringLiteral("KEEP mask"), g, 133, 32, 116, d.IOKeep);
    IOAnd = MakeEdit(QStringLiteral("AND mask"), g, 133, 69, 116, d.IOAnd);
    IOOr = MakeEdit(QStringLiteral("OR mask"), g, 133, 106, 116, d.IOOr);

    BitBtn1
        = new QPushButton(GlyphIcon(TGlyph::Write), QStringLiteral("Write Configuration"), this);
    BitBtn1->setGeometry(264, 488, 121, 25);
    BitBtn1->setIconSize(QSize(GlyphSize, GlyphSize));
    SetDefaultButton(BitBtn1);
    BitBtn2 = new QPushButton(GlyphIcon(TGlyph::Close), QStringLiteral("&Close"), this);
    BitBtn2->setGeometry(392, 488, 121, 25);
    BitBtn2->setIconSize(QSize(GlyphSize, GlyphSize));
    BitBtn2->setAutoDefault(false);

    // The log view lies over everything while a configuration is written.
    RichEdit1 = new QTextEdit(this);
    RichEdit1->setGeometry(rect());
    RichEdit1->setReadOnly(true);
    RichEdit1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QPalette keepSelection = RichEdit1->palette();
    for (auto role : { QPalette::Highlight, QPalette::HighlightedText })
        keepSelection.setColor(
            QPalette::Inactive, role, keepSelection.color(QPalette::Active, role));
    RichEdit1->setPalette(keepSelection);
    // A tail of the dialogue is all the log keeps, and nothing of it to undo: a console
    // that talks without end must not fill the memory.
    RichEdit1->setUndoRedoEnabled(false);
    RichEdit1->document()->setMaximumBlockCount(LogLineLimit);
    RichEdit1->hide();

    PromptTimer = new QTimer(this);
    PromptTimer->setObjectName(QStringLiteral("PromptTimer"));
    PromptTimer->setSingleShot(true);
    PromptTimer->setInterval(PromptTimeout);
    connect(PromptTimer, &QTimer::timeout, this, [this] { PromptTimerTimeout(); });

    ClientSocket1 = new TClientSocket(this);
    ClientSocket1->OnConnect = [this](TCustomWinSocket* s) { ClientSocket1Connect(s); };
    ClientSocket1->OnRead = [this](TCustomWinSocket* s) { ClientSocket1Read(s); };
    ClientSocket1->OnError = [this](TCustomWinSocket* s, int e) { ClientSocket1Error(s, e); };

    connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
    connect(BitBtn2, &QPushButton::clicked, this, [this] { close(); });

    const std::pair<QObject*, const char*> names[] = {
        { TCPIPEdit, "TCPIPEdit" },
        { TCPPortEdit, "TCPPortEdit" },
        { TCPMaskEdit, "TCPMaskEdit" },
        { TCPGatewayEdit, "TCPGatewayEdit" },
        { OutNVTCheck, "OutNVTCheck" },
        { OutKeepConnection, "OutKeepConnection" },
        { OutEraseOn, "OutEraseOn" },
        { InIPEdit, "InIPEdit" },
        { InMaskEdit, "InMaskEdit" },
        { OutIPEdit, "OutIPEdit" },
        { OutPortEdit, "OutPortEdit" },
        { IPModeRadio, "IPModeRadio" },
        { TEA0Edit, "TEA0Edit" },
        { TEA1Edit, "TEA1Edit" },
        { TEA2Edit, "TEA2Edit" },
        { TEA3Edit, "TEA3Edit" },
        { SSpeedCombo, "SSpeedCombo" },
        { SBits, "SBits" },
        { SParityCombo, "SParityCombo" },
        { SVarParityCheck, "SVarParityCheck" },
        { SStopCombo, "SStopCombo" },
        { SSpaceCommpress, "SSpaceCommpress" },
        { SFlowControl, "SFlowControl" },
        { SRSControll, "SRSControll" },
        { STimeout, "STimeout" },
        { SDelay, "SDelay" },
        { STxControll, "STxControll" },
        { IOTrigger, "IOTrigger" },
        { IOPUInit, "IOPUInit" },
        { IOPUAnd, "IOPUAnd" },
        { IOPUOr, "IOPUOr" },
        { IOKeep, "IOKeep" },
        { IOAnd, "IOAnd" },
        { IOOr, "IOOr" },
        { BitBtn1, "BitBtn1" },
        { BitBtn2, "BitBtn2" },
        { RichEdit1, "RichEdit1" },
        { ClientSocket1, "ClientSocket1" },
    };
    for (const auto& [object, name] : names)
        object->setObjectName(QLatin1String(name));

    CentreOnScreen(this);
}

TModuleSetupForm::~TModuleSetupForm()
{
    // The socket dies with the window; no event of it may reach a half-destroyed dialog.
    ClientSocket1->OnConnect = nullptr;
    ClientSocket1->OnRead = nullptr;
    ClientSocket1->OnError = nullptr;
    ClientSocket1->Close();
}

// ---- the dialogue with the module's set-up console ----

namespace {

QColor ReceivedColour()
{
    return QColor(0, 128, 0);
}
QColor OwnColour()
{
    return QColor(0, 0, 0);
}

// The console ends its lines with CR LF; the log view breaks a line at each of them once.
QString ShownText(const QString& text)
{
    QString shown = text;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

// Inserts at the end of the log, without a line break, and keeps the caret there so the
// newest text stays in view.
void InsertLog(QTextEdit* log, const QString& text, const QColor& colour)
{
    QTextCursor cursor(log->document());
    cursor.movePosition(QTextCursor::End);
    QTextCharFormat format;
    format.setForeground(colour);
    cursor.insertText(ShownText(text), format);
    log->setTextCursor(cursor);
    log->ensureCursorVisible();
}

// The dialog's own lines stand on lines of their own: whatever comes next starts on the
// line below.
void AppendLogLine(QTextEdit* log, const QString& line)
{
    QTextCursor cursor(log->document());
    cursor.movePosition(QTextCursor::End);
    if (!cursor.block().text().isEmpty()) cursor.insertBlock();
    QTextCharFormat format;
    format.setForeground(OwnColour());
    cursor.insertText(line, format);
    cursor.insertBlock();
    log->setTextCursor(cursor);
    log->ensureCursorVisible();
}

// The position of the item a box shows: the selected item while the text is still its
// text; otherwise the item whose text was typed exactly, or -1 (no item) for any other text.
int ListPosition(const QComboBox* box)
{
    const QString text = box->currentText();
    const int selected = box->currentIndex();
    if (selected >= 0 && box->itemText(selected) == text) return selected;
    return box->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
}

ModuleSetupValues Snapshot(const TModuleSetupForm& f)
{
    ModuleSetupValues v;
    v.TCPIPEdit = f.TCPIPEdit->text();
    v.TCPPortEdit = f.TCPPortEdit->text();
    v.TCPMaskEdit = f.TCPMaskEdit->text();
    v.TCPGatewayEdit = f.TCPGatewayEdit->text();
    v.OutNVTCheck = f.OutNVTCheck->isChecked();
    v.OutKeepConnection = f.OutKeepConnection->isChecked();
    v.OutEraseOn = f.OutEraseOn->ItemIndex();
    v.InIPEdit = f.InIPEdit->text();
    v.InMaskEdit = f.InMaskEdit->text();
    v.OutIPEdit = f.OutIPEdit->text();
    v.OutPortEdit = f.OutPortEdit->text();
    v.IPModeRadio = f.IPModeRadio->ItemIndex();
    v.TEA0Edit = f.TEA0Edit->text();
    v.TEA1Edit = f.TEA1Edit->text();
    v.TEA2Edit = f.TEA2Edit->text();
    v.TEA3Edit = f.TEA3Edit->text();
    v.SSpeedCombo = f.SSpeedCombo->currentText();
    v.SBits = f.SBits->currentText();
    v.SParityCombo = ListPosition(f.SParityCombo);
    v.SVarParityCheck = f.SVarParityCheck->isChecked();
    v.SStopCombo = ListPosition(f.SStopCombo);
    v.SSpaceCommpress = f.SSpaceCommpress->isChecked();
    v.SFlowControl = ListPosition(f.SFlowControl);
    v.SRSControll = ListPosition(f.SRSControll);
    v.STimeout = f.STimeout->text();
    v.SDelay = f.SDelay->text();
    v.STxControll = ListPosition(f.STxControll);
    v.IOTrigger = f.IOTrigger->text();
    v.IOPUInit = f.IOPUInit->text();
    v.IOPUAnd = f.IOPUAnd->text();
    v.IOPUOr = f.IOPUOr->text();
    v.IOKeep = f.IOKeep->text();
    v.IOAnd = f.IOAnd->text();
    v.IOOr = f.IOOr->text();
    return v;
}

} // namespace

int ParseSetupPort(const QByteArray& value, QString* problem)
{
    if (problem) problem->clear();
    if (value.isEmpty()) return 0;
    bool ok = false;
    const uint port = value.toUInt(&ok, 10);
    if (ok && port >= 1 && port <= 65535) return int(port);
    if (problem)
        *problem = QStringLiteral("%1=\"%2\" is not a TCP port (1-65535); the set-up console is "
                                  "reached on port %3")
                       .arg(QLatin1String(SetupPortVariable), QString::fromLocal8Bit(value))
                       .arg(int(SetupConsolePort));
    return 0;
}

int SetupConsolePortInUse(const TPlatform& platform)
{
    return platform.SetupPort > 0 ? platform.SetupPort : int(SetupConsolePort);
}

void TModuleSetupForm::FormShow()
{
    RichEdit1->hide();
    RichEdit1->clear();
    BitBtn1->setEnabled(true);
}

void TModuleSetupForm::BitBtn1Click()
{
    RichEdit1->show();
    RichEdit1->raise();
    // Keys must not go on editing the fields the log now hides.
    RichEdit1->setFocus();
    ++dialogue_;
    ClientSocket1->Host = TCPIPEdit->text();
    ClientSocket1->Port = SetupConsolePortInUse(platform_);
    ClientSocket1->Open();
}

void TModuleSetupForm::ClientSocket1Connect(TCustomWinSocket*)
{
    ++dialogue_;
    AppendLogLine(RichEdit1, QStringLiteral("Connected to module"));
    SetupStep = 0;
    BitBtn1->setEnabled(false);
    PromptTimer->start();
}

void TModuleSetupForm::InsertReceived(const QByteArray& piece)
{
    // The line the piece continues, as the log holds it now.
    int column = int(RichEdit1->document()->lastBlock().length()) - 1;
    QByteArray shown = LastLines(CutLongLines(piece, &column), LogLineLimit);
    if (shown.size() > LogPieceLimit) shown = shown.right(LogPieceLimit);
    InsertLog(RichEdit1, QString::fromLatin1(shown), ReceivedColour());
}

void TModuleSetupForm::PromptTimerTimeout()
{
    if (!ClientSocket1->Connected()) return;
    // Connected, but the console never asked for anything: give up on it, so that the
    // dialog can be used again instead of waiting for ever.
    ++dialogue_;
    AppendLogLine(RichEdit1, QStringLiteral("The module did not answer"));
    ClientSocket1->Close();
    RichEdit1->hide();
    BitBtn1->setEnabled(true);
}

void TModuleSetupForm::ClientSocket1Read(TCustomWinSocket* socket)
{
    const int waiting = socket->ReceiveLength();
    if (waiting <= 0) return;
    QByteArray piece(waiting, Qt::Uninitialized);
    const int got = socket->ReceiveBuf(piece.data(), waiting);
    if (got <= 0) return;
    piece.truncate(got);
    InsertReceived(piece);
    if (!IsConsolePrompt(piece)) return;
    // The console is there and answering. From now on it may take as long as it needs
    // between two prompts (a module writing its flash pauses): a dialogue cut short here
    // would leave its configuration half written. Closing the dialog ends it.
    PromptTimer->stop();

    const int step = SetupStep;
    const SetupStepAction action = SetupDialogueStep(step, Snapshot(*this));
    // Counted before any box is shown: a prompt handled while the box is up is the next
    // step's, so no step is ever answered twice.
    if (SetupStep < std::numeric_limits<int32_t>::max()) ++SetupStep;

    switch (action.Kind) {
    case SetupStepKind::SendCommand:
        InsertLog(RichEdit1, action.LogLabel, OwnColour());
        SendSetupCommand(socket, action.Command);
        break;
    case SetupStepKind::ConfirmReset: {
        for (const QString& line : action.LogLines)
            AppendLogLine(RichEdit1, line);
        // The box runs its own event loop: the dialog may be closed, or the connection end
        // or be replaced, before it returns. The reset goes only to the connection whose
        // prompt asked for it.
        const uint64_t dialogue = dialogue_;
        const QPointer<TModuleSetupForm> self(this);
        MessageBox({ this, action.BoxText, QString::fromLatin1(SetupBoxCaption),
                       MsgIcon::Information, MsgButtons::Ok },
            platform_.MessageBox);
        if (!self || dialogue_ != dialogue || !ClientSocket1->Connected()) return;
        SendSetupCommand(socket, action.Command);
        break;
    }
    case SetupStepKind::Finished: {
        for (const QString& line : action.LogLines)
            AppendLogLine(RichEdit1, line);
        MessageBox({ this, action.BoxText, QString::fromLatin1(SetupBoxCaption),
                       MsgIcon::Information, MsgButtons::Ok },
            platform_.MessageBox);
        break;
    }
    }
}

void TModuleSetupForm::SendSetupCommand(TCustomWinSocket* socket, const QString& command)
{
    InsertLog(RichEdit1, command + QLatin1String(SetupCommandLogEnd), OwnColour());
    const QByteArray bytes = SetupCommandBytes(command);
    // A failure raises the error event from in here; there is nothing left to do after it.
    socket->SendBuf(bytes.constData(), int(bytes.size()));
}

void TModuleSetupForm::ClientSocket1Error(TCustomWinSocket*, int errorCode)
{
    ++dialogue_;
    PromptTimer->stop();
    if (errorCode == WSAECONNABORTED)
        AppendLogLine(RichEdit1, QStringLiteral("Connection closed by remote host"));
    RichEdit1->hide();
    // A failed connection is of no further use; closing it lets "Write Configuration" open
    // a new one once the dialog is shown again. Quietly: nothing reaches the user.
    ClientSocket1->Close();
}

void TModuleSetupForm::FormClose()
{
    ++dialogue_;
    PromptTimer->stop();
    ClientSocket1->Close();
}

void TModuleSetupForm::showEvent(QShowEvent* e)
{
    QWidget::showEvent(e);
    // Now the frame may be known: keep the outer size, and the log view over all of it.
    SetOuterSize(this, QSize(OuterWidth, OuterHeight), true);
    RichEdit1->setGeometry(rect());
    // Only a show by the program opens the dialog anew: a restore from minimised (a show
    // the window system sends) finds the dialogue where it was.
    if (!e->spontaneous()) FormShow();
}

void TModuleSetupForm::closeEvent(QCloseEvent* e)
{
    FormClose();
    QWidget::closeEvent(e);
}

} // namespace vsp
