// Creating and deleting the virtual port, and what happens when another program opens or
// closes it. This is where the data link is armed: the endpoints get their addresses at
// creation, and the link follows the port's opening and closing.

#include "app/Dialogs.h"
#include "app/SysUtils.h"
#include "app/Umainf.h"
#include "link/Sockets.h"
#include "vport/PtyPort.h"
#include "vport/Uping.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include "app/Controls.h"

namespace vsp {

void TMainForm::TellEchoMethod()
{
    // Said once, at the first check: without it a user would not know why the module's
    // data port sees a connection come and go at "Create COM".
    if (EchoFallbackTold) return;
    EchoFallbackTold = true;
    if (CPing::Method(Platform.AvoidRawSocket) == CPing::TMethod::None)
        Log(QStringLiteral(
            "ICMP not permitted for this user; the module is checked by connecting to it"));
}

int TMainForm::PingAddressNow(const QString& address)
{
    TellEchoMethod();
    if (Platform.PingNow) return Platform.PingNow(address);
    try {
        CPing ping(false, Platform.AvoidRawSocket);
        // Asked to end meanwhile, the program does not sit out the check's time.
        ping.CancelFd = Platform.StopFd;
        ping.SetTarget(address);
        ping.SetFallbackPort(VSPClientSocket->Port);
        return ping.Ping() ? 1 : 0;
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

namespace {

// A TCP port typed in the field with this caption: a number (else StrToInt's own error),
// and one a connection can use. Anything else would only fail later, as a socket error
// that says nothing to the user.
int PortNumberIn(const QString& text, const char* caption, bool zeroAllowed = false)
{
    const int port = StrToInt(text);
    if ((port < 1 || port > 65535) && !(zeroAllowed && port == 0))
        throw EConvertError(
            QStringLiteral("'%1' is out of range for \"%2\": a TCP port is 1 to 65535")
                .arg(text, QLatin1String(caption)));
    return port;
}

} // namespace

void TMainForm::CreateCOMBitBtnClick()
{
    const QString name = ComPortComboBox->currentText();
    // Bytes stored for an earlier port, and an earlier link's error, are not this port's.
    Link->PortCreating();
    // Both port fields must be port numbers, whichever mode is in use. Outside server mode
    // nothing listens, and a server port of 0 (as stores and services have it) says so.
    try {
        VSPServerSocket->Port = PortNumberIn(
            ServerPortLabeledEdit->text(), "Server port", !TCPServerModeCheckBox->isChecked());
        VSPClientSocket->Host = IPAddressComboBox->currentText();
        VSPClientSocket->Port = PortNumberIn(PortLabeledEdit->text(), "Port");
    } catch (const EConvertError& e) {
        MessageBox({ this, e.Message(), ApplicationTitle(), MsgIcon::Error, MsgButtons::Ok },
            Platform.MessageBox);
        return;
    }
    // The ping blocks this thread for up to 5 s: show the waiting text first.
    CreateCOMBitBtn->setEnabled(false);
    LANStatusMessagesLabel->setText(QStringLiteral("Send ping to a device. Wait, please..."));
    LANStatusMessagesLabel->adjustSize();
    LogMessagesMemo->clear();
    repaint();

    const QString address = IPAddressComboBox->currentText();
    const int reply = PingAddressNow(address);
    if (reply < 0) {
        LANStatusClientLabel->setText(QStringLiteral("Error PING"));
    } else if (reply > 0) {
        Log(QStringLiteral("Device %1 found (ping received)").arg(address));
        LANStatusMessagesLabel->setText(QStringLiteral("Device %1 found").arg(address));
        if (ConnectClosedCheckBox->isChecked()) OpenClientLink();
    } else {
        Log(QStringLiteral("Ping to device failed, check device"));
        LANStatusMessagesLabel->setText(QStringLiteral("Device not found (ping failed)"));
        if (PingFailCheckBox->isChecked()) {
            LANStatusMessagesLabel->setText(
                QStringLiteral("Can't create serial port (ping failed)"));
            Log(QStringLiteral("Can't create serial port (%1 ping failed)").arg(address));
            CreateCOMBitBtn->setEnabled(true);
            LANStatusMessagesLabel->adjustSize();
            return;
        }
    }

    if (VSPort->CreatePort(name)) {
        Log(QStringLiteral("Serial port %1 created").arg(name));
        // The name is not where programs open it on Linux: say where that is.
        // The log is off by default: the name box shows it too, while the port exists.
        if (const auto* pty = dynamic_cast<const TPtyVSPort*>(VSPort.get())) {
            Log(QStringLiteral("Port link %1").arg(pty->LinkPath()));
            ComPortComboBox->setToolTip(pty->LinkPath());
        }
        DeleteCOMBitBtn->setEnabled(true);
        StatusLabel->setText(QStringLiteral("Created"));
        Link->PortCreated();
    } else {
        CloseClientLink();
        const QString text = QStringLiteral("Can't create serial port") + name;
        LANStatusMessagesLabel->setText(text);
        Log(text);
        // On Linux the reason is worth a line of its own (a file in the way, a folder that
        // is not private...).
        if (const auto* pty = dynamic_cast<const TPtyVSPort*>(VSPort.get()))
            if (!pty->LastError().isEmpty()) Log(pty->LastError());
        CreateCOMBitBtn->setEnabled(true);
    }
    LANStatusMessagesLabel->adjustSize();
}

void TMainForm::DeleteCOMBitBtnClick()
{
    if (VSPort->IsOpened()) {
        MessageBox({ this, QStringLiteral("Port is opend, can't be removed"), ApplicationTitle(),
                       MsgIcon::Error, MsgButtons::Ok },
            Platform.MessageBox);
        return;
    }
    Link->PortDeleting();
    VSPort->Delete();
    ComPortComboBox->setToolTip(QString());
    CloseClientLink();
    CloseServerLink();
    LANStatusServerLabel->setText(QStringLiteral("Closed"));
    LANStatusClientLabel->setText(QStringLiteral("Closed"));
    CreateCOMBitBtn->setEnabled(true);
    DeleteCOMBitBtn->setEnabled(false);
    Log(QStringLiteral("Serial port %1 removed").arg(ComPortComboBox->currentText()));
    StatusLabel->setText(QStringLiteral("Removed"));
    LANStatusMessagesLabel->setText(QStringLiteral("-"));
}

void TMainForm::OnVSPortOpenClose(bool on)
{
    const QString name = ComPortComboBox->currentText();
    if (on) {
        Log(QStringLiteral("Port %1 opened").arg(name));
        // What the last program left goes; the client link comes up for this one.
        Link->PortOpened(LinkOptions());
        StatusLabel->setText(QStringLiteral("Opened"));
        ResetCounters();
        if (TCPServerModeCheckBox->isChecked() && !VSPServerSocket->Active()) {
            if (OpenServerLink()) LANStatusServerLabel->setText(QStringLiteral("Listen"));
        }
        return;
    }
    Log(QStringLiteral("Port %1 closed").arg(name));
    StatusLabel->setText(QStringLiteral("Closed"));
    BitsLabel->setText(QStringLiteral("-"));
    StopBitsLabel->setText(QStringLiteral("-"));
    ParityLabel->setText(QStringLiteral("-"));
    BaudLabel->setText(QStringLiteral("-"));
    if (Link->PortClosing()) {
        // What the program wrote may still go out for a while; the close ends when it did.
        QMetaObject::invokeMethod(
            this, [this] { Link->CloseReported(); }, Qt::QueuedConnection);
        return;
    }
    FinishPortClose();
}

void TMainForm::FinishPortClose()
{
    if (!ConnectClosedCheckBox->isChecked()) CloseClientLink();
    if (VSPServerSocket->Active()) {
        CloseServerLink();
        LANStatusServerLabel->setText(QStringLiteral("Closed"));
    }
}

} // namespace vsp
