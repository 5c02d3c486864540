// The TCP link manager: one connection carries the port's data, either the client
// endpoint's or the one connection accepted in server mode. A broken client link is not
// closed or reopened blindly: a ping decides, and its result arrives as WM_PINGRESULT.

#include "app/Messages.h"
#include "app/Umainf.h"
#include "link/Sockets.h"
#include "vport/Uping.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <iterator>

#include "app/Controls.h"

namespace vsp {

namespace {
void SetLabel(QLabel* label, const QString& text)
{
    label->setText(text);
    label->adjustSize();
}
} // namespace

void TMainForm::OpenClientLink()
{
    // An attempt under way is not started again: the module may have taken it already, and
    // would see one connection made and dropped, and then another.
    if (VSPClientSocket->Connected() || VSPClientSocket->Connecting()) return;
    Reconnect.Begin();
    VSPClientSocket->Open();
}

void TMainForm::CloseClientLink()
{
    // Raises the disconnect event first when connected; a pending or failed attempt is
    // dropped without events.
    VSPClientSocket->Close();
}

bool TMainForm::OpenServerLink()
{
    const int error = VSPServerSocket->Open();
    if (error == 0) return true;
    Log(QStringLiteral("Can't listen on TCP port %1 (error %2)")
            .arg(VSPServerSocket->Port)
            .arg(error));
    SetLabel(LANStatusServerLabel, QStringLiteral("Error"));
    return false;
}

void TMainForm::CloseServerLink()
{
    for (int i = 0; i < VSPServerSocket->ActiveConnections(); ++i)
        if (VSPServerSocket->Connections(i) == DataConnection) DataConnection = nullptr;
    VSPServerSocket->Close();
}

bool TMainForm::EchoCheckUsable()
{
    if (Platform.WorkerPing) return true;
    if (EchoMethodKnown < 0)
        EchoMethodKnown = CPing::Method(Platform.AvoidRawSocket) != CPing::TMethod::None;
    return EchoMethodKnown > 0;
}

bool TMainForm::RequestPing(uint32_t successCode, uint32_t failureCode, bool moduleAnswered)
{
    TellEchoMethod();
    if (!EchoCheckUsable()) {
        // A TCP connect in place of the echo would be one more connection to the module's
        // data port, which a module that hands its buffered bytes to each new connection
        // would hand to the check. The reconnection's own connect is the check instead, and
        // an error says by its kind whether the module was there.
        PostMessage(this, WM_PINGRESULT, moduleAnswered ? successCode : failureCode, 0);
        return true;
    }
    return PingThread && PingThread->RequestPing(successCode, failureCode);
}

void TMainForm::RequestReconnect()
{
    if (TCPServerModeCheckBox->isChecked() || ClientLinkUp() || VSPClientSocket->Connecting())
        return;
    if (!Reconnect.Due(ProgramBytesWaiting())) return;
    // A check already running (the last error's) decides first; ask again afterwards.
    if (RequestPing(PING_RECONNECT, PING_NO_ACTION)) Reconnect.Begin();
}

bool TMainForm::ClientLinkWanted() const
{
    return !TCPServerModeCheckBox->isChecked()
        && (VSPort->IsOpened() || (PortCreated && ConnectClosedCheckBox->isChecked())
            || CloseDrainTicks >= 0);
}

bool TMainForm::ClientLinkUp() const
{
    return VSPClientSocket->Connected() && DataConnection == VSPClientSocket->Socket()
        && !LinkError;
}

void TMainForm::ReconnectScheduleStep()
{
    Reconnect.Tick();
    if (ClientLinkWanted() && !ClientLinkUp()) RequestReconnect();
}

void TMainForm::TellUnacknowledged(TCustomWinSocket* socket)
{
    // TCP cannot give them back, and they may be the write a program believes done.
    if (const int n = socket ? socket->UnacknowledgedBytes() : 0; n > 0)
        Log(QStringLiteral("%1 bytes sent to the module were not acknowledged").arg(n));
}

void TMainForm::StartConnection(TCustomWinSocket* socket)
{
    DataConnection = socket;
    // Every module connection is authenticated on its own.
    TeaAnswered = false;
    TeaWaitOver = false;
    TeaWaitTicks = 0;
    // An IAC the last connection ended with was its data; the new stream starts afresh.
    DeliverHeldIac();
    NvtReceiver.Reset();
    NvtIacWaitTicks = 0;
    NvtOverlongTold = false;
    // The rest of a message cut on the last connection, its TEA answer or its line settings
    // are not the new one's: the module would read them as the start of its stream. So is
    // the rest of a line change's frames that it took in part; the change itself is told
    // with the settings at the start.
    DropPendingHead(PendingBoundCount);
    DropPendingHead(PendingSettings.CutFrameRest());
    PaceMainTimer(); // what waits can go now
}

// ---- Client mode ----

void TMainForm::OnVSPClientSocketConnecting(TCustomWinSocket*)
{
    SetLabel(LANStatusClientLabel, QStringLiteral("Connecting..."));
}

void TMainForm::OnVSPClientSocketConnect(TCustomWinSocket* socket)
{
    Log(QStringLiteral("TCP connected module ") + IPAddressComboBox->currentText());
    SetLabel(LANStatusClientLabel, QStringLiteral("Connected"));
    LinkError = false;
    Reconnect.Up();
    StartConnection(socket);
    TellLineSettings();
}

void TMainForm::OnVSPClientSocketDisconnect(TCustomWinSocket* socket)
{
    Log(QStringLiteral("TCP disconneted module ") + IPAddressComboBox->currentText());
    SetLabel(LANStatusClientLabel, QStringLiteral("Closed"));
    Reconnect.Down();
    // Only this connection's end empties the link: an accepted server connection that
    // carries the data must not be forgotten because the client endpoint closed.
    if (DataConnection == socket) DataConnection = nullptr;
}

void TMainForm::OnVSPClientSocketError(TCustomWinSocket* socket, int errorCode)
{
    if (VSPClientSocket->Connected())
        Reconnect.Down(); // a connection broke
    else
        Reconnect.End(); // an attempt failed
    // The flush stops until a ping has decided whether to close the link (module there)
    // or to keep waiting (module gone).
    LinkError = true;
    RequestPing(PING_CLOSE, PING_ERROR_LAN, PeerAnswered(errorCode));
    Log(QStringLiteral("TCP error %1").arg(errorCode));
    TellUnacknowledged(socket);
}

// ---- Server mode ----

void TMainForm::OnVSPServerSocketAccept(TCustomWinSocket* socket)
{
    if (DataConnection) {
        // Its own disconnect event runs inside Close and leaves DataConnection alone.
        socket->Close();
        Log(QStringLiteral("TCP connection refused (more than 1 client not suported)"));
        return;
    }
    StartConnection(socket);
    Log(QStringLiteral("TCP connected"));
    SetLabel(LANStatusServerLabel, QStringLiteral("Connected"));
    TellLineSettings();
    // What the program wrote while no module was connected goes out in one piece; should
    // the fresh connection not take it all, the rest stays for the next flush.
    if (PendingCount > 0 && !AwaitingTeaChallenge()) SendPending(socket);
}

void TMainForm::OnVSPServerSocketClientDisconnect(TCustomWinSocket* socket)
{
    if (DataConnection == socket) DataConnection = nullptr;
    Log(QStringLiteral("TCP disconnected"));
    SetLabel(LANStatusServerLabel, QStringLiteral("Listen"));
}

void TMainForm::OnVSPServerSocketClientError(TCustomWinSocket* socket, int errorCode)
{
    if (errorCode == WSAECONNABORTED) {
        Log(QStringLiteral("Connection closed by remote module"));
        SetLabel(LANStatusServerLabel, QStringLiteral("Listen"));
    } else {
        Log(QStringLiteral("TCP error"));
        SetLabel(LANStatusServerLabel, QStringLiteral("Error"));
    }
    if (DataConnection == socket) {
        TellUnacknowledged(socket);
        DataConnection = nullptr;
    }
}

// ---- Ping results ----

void TMainForm::PingResult(uint32_t code)
{
    TCustomWinSocket* client = VSPClientSocket->Socket();
    switch (code) {
    case PING_CANNOT_START:
        SetLabel(LANStatusClientLabel, QStringLiteral("Error PING"));
        Reconnect.End();
        break;
    case PING_RECONNECT:
        // The link came back meanwhile (a connect the port's open started): keep it.
        if (ClientLinkUp() || VSPClientSocket->Connecting()) {
            if (ClientLinkUp()) Reconnect.End();
            break;
        }
        LinkError = false;
        if (DataConnection == client) DataConnection = nullptr;
        CloseClientLink();
        OpenClientLink();
        break;
    case PING_ERROR_LAN:
        SetLabel(LANStatusClientLabel, QStringLiteral("Error LAN"));
        break;
    case PING_CLOSE:
        SetLabel(LANStatusClientLabel, QStringLiteral("Close"));
        LinkError = false;
        if (DataConnection == client) DataConnection = nullptr;
        CloseClientLink();
        break;
    default: // PING_NO_ACTION and anything unknown
        Reconnect.End();
        break;
    }
}

} // namespace vsp
