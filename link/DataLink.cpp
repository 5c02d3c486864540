// The data link. One connection carries the port's data, either the client endpoint's or the
// one connection accepted in server mode. A broken client link is not closed or reopened
// blindly: an echo check decides, and its result comes back as PingResult.
//
// The program's bytes go from the virtual port into the pending store and reach the module on
// the next flush (every second 5 ms tick); the module's bytes go into the port as each
// received block arrives. While the link is down the store keeps the program's bytes, in
// order, and asks for a reconnect; while a connect is under way they wait for its result.
//
// On the Telnet side: 0xFF escaped towards the module, the module's commands taken out, the
// keep-connection message, the answer to a module's TEA challenge, and the RFC 2217 frames
// that carry the virtual port's line settings to the module, on each change and at the start
// of each connection. The byte work is done by the codecs (Nvt, Tea, Rfc2217).

#include "link/DataLink.h"

#include "link/Rfc2217.h"
#include "link/Sockets.h"
#include "link/Tea.h"
#include "link/Telnet.h"
#include "vport/Uping.h"
#include "vport/Vsportlib_tlb.h"

#include <climits>
#include <cstring>

namespace vsp {

namespace {
// The counters wrap like the 32-bit values they are instead of overflowing.
void Count(int32_t& counter, int32_t n)
{
    counter = int32_t(uint32_t(counter) + uint32_t(n));
}

// "Buffer overrun" is a warning when the store comes close to what the reading rule allows.
constexpr int32_t OverrunWarning = 32756;
constexpr int32_t KeepCheckTicks = 3000;

TReconnectSchedule::TSteps ReconnectSteps(const TLinkTimings& t)
{
    return { TDataLink::TicksFor(t.ReconnectFirstMs), TDataLink::TicksFor(t.ReconnectLimitMs),
        TDataLink::TicksFor(t.ReconnectWithDataMs), TDataLink::TicksFor(t.StableLinkMs) };
}
} // namespace

TDataLink::TDataLink(TVSPort& port, TDataLinkEvents& events, const TLinkTimings& timings,
    bool portHearsLineFormat, QObject* endpointParent)
    : port_(port)
    , events_(events)
    , timings_(timings)
    , portHearsLineFormat_(portHearsLineFormat)
    , client_(std::make_unique<TClientSocket>(endpointParent))
    , server_(std::make_unique<TServerSocket>(endpointParent))
    , pendingBuffer_(new uint8_t[PendingCapacity])
    , reconnect_(ReconnectSteps(timings))
{
    client_->PeerWatch = timings.PeerWatch;
    server_->PeerWatch = timings.PeerWatch;
}

TDataLink::~TDataLink() = default;

void TDataLink::Shutdown()
{
    dataConnection_ = nullptr;
    server_->Close();
    client_->Close();
}

// ---- Link manager ----

void TDataLink::OpenClientLink()
{
    // An attempt under way is not started again: the module may have taken it already, and
    // would see one connection made and dropped, and then another.
    if (client_->Connected() || client_->Connecting()) return;
    reconnect_.Begin();
    client_->Open();
}

void TDataLink::CloseClientLink()
{
    // Raises the disconnect event first when connected; a pending or failed attempt is
    // dropped without events.
    client_->Close();
}

bool TDataLink::OpenServerLink()
{
    const int error = server_->Open();
    if (error == 0) return true;
    events_.Log(
        QStringLiteral("Can't listen on TCP port %1 (error %2)").arg(server_->Port).arg(error));
    events_.SetLabel(TLinkLabel::Server, QStringLiteral("Error"));
    return false;
}

void TDataLink::CloseServerLink()
{
    for (int i = 0; i < server_->ActiveConnections(); ++i)
        if (server_->Connections(i) == dataConnection_) dataConnection_ = nullptr;
    server_->Close();
}

void TDataLink::RequestReconnect()
{
    if (opt_.ServerMode || ClientLinkUp() || client_->Connecting()) return;
    if (!reconnect_.Due(ProgramBytesWaiting())) return;
    // A check already running (the last error's) decides first; ask again afterwards.
    if (events_.RequestPing(PING_RECONNECT, PING_NO_ACTION, true)) reconnect_.Begin();
}

bool TDataLink::ClientLinkWanted() const
{
    return !opt_.ServerMode
        && (port_.IsOpened() || (portCreated_ && opt_.ConnectClosed) || closeDrainTicks_ >= 0);
}

bool TDataLink::ClientLinkUp() const
{
    return client_->Connected() && dataConnection_ == client_->Socket() && !linkError_;
}

void TDataLink::ReconnectScheduleStep()
{
    reconnect_.Tick();
    if (ClientLinkWanted() && !ClientLinkUp()) RequestReconnect();
}

void TDataLink::TellUnacknowledged(TCustomWinSocket* socket)
{
    // TCP cannot give them back, and they may be the write a program believes done.
    if (const int n = socket ? socket->UnacknowledgedBytes() : 0; n > 0)
        events_.Log(QStringLiteral("%1 bytes sent to the module were not acknowledged").arg(n));
}

void TDataLink::StartConnection(TCustomWinSocket* socket)
{
    dataConnection_ = socket;
    // Every module connection is authenticated on its own.
    teaAnswered_ = false;
    teaWaitOver_ = false;
    teaWaitTicks_ = 0;
    // An IAC the last connection ended with was its data; the new stream starts afresh.
    DeliverHeldIac();
    nvtReceiver_.Reset();
    nvtIacWaitTicks_ = 0;
    nvtOverlongTold_ = false;
    // The rest of a message cut on the last connection, its TEA answer or its line settings
    // are not the new one's: the module would read them as the start of its stream. So is
    // the rest of a line change's frames that it took in part; the change itself is told
    // with the settings at the start.
    DropPendingHead(pendingBoundCount_);
    DropPendingHead(pendingSettings_.CutFrameRest());
    events_.Pace(); // what waits can go now
}

void TDataLink::OnVSPClientSocketConnecting(const TLinkOptions&, TCustomWinSocket*)
{
    events_.SetLabel(TLinkLabel::Client, QStringLiteral("Connecting..."));
}

void TDataLink::OnVSPClientSocketConnect(const TLinkOptions& o, TCustomWinSocket* socket)
{
    opt_ = o;
    events_.Log(QStringLiteral("TCP connected module ") + opt_.Address);
    events_.SetLabel(TLinkLabel::Client, QStringLiteral("Connected"));
    linkError_ = false;
    reconnect_.Up();
    StartConnection(socket);
    TellLineSettings();
}

void TDataLink::OnVSPClientSocketDisconnect(const TLinkOptions& o, TCustomWinSocket* socket)
{
    opt_ = o;
    events_.Log(QStringLiteral("TCP disconneted module ") + opt_.Address);
    events_.SetLabel(TLinkLabel::Client, QStringLiteral("Closed"));
    reconnect_.Down();
    // Only this connection's end empties the link: an accepted server connection that
    // carries the data must not be forgotten because the client endpoint closed.
    if (dataConnection_ == socket) dataConnection_ = nullptr;
}

void TDataLink::OnVSPClientSocketError(
    const TLinkOptions& o, TCustomWinSocket* socket, int errorCode)
{
    opt_ = o;
    if (client_->Connected())
        reconnect_.Down(); // a connection broke
    else
        reconnect_.End(); // an attempt failed
    // The flush stops until a ping has decided whether to close the link (module there)
    // or to keep waiting (module gone).
    linkError_ = true;
    events_.RequestPing(PING_CLOSE, PING_ERROR_LAN, PeerAnswered(errorCode));
    events_.Log(QStringLiteral("TCP error %1").arg(errorCode));
    TellUnacknowledged(socket);
}

void TDataLink::OnVSPServerSocketAccept(const TLinkOptions& o, TCustomWinSocket* socket)
{
    opt_ = o;
    if (dataConnection_) {
        // Its own disconnect event runs inside Close and leaves DataConnection alone.
        socket->Close();
        events_.Log(QStringLiteral("TCP connection refused (more than 1 client not suported)"));
        return;
    }
    StartConnection(socket);
    events_.Log(QStringLiteral("TCP connected"));
    events_.SetLabel(TLinkLabel::Server, QStringLiteral("Connected"));
    TellLineSettings();
    // What the program wrote while no module was connected goes out in one piece; should
    // the fresh connection not take it all, the rest stays for the next flush.
    if (pendingCount_ > 0 && !AwaitingTea()) SendPending(socket);
}

void TDataLink::OnVSPServerSocketClientDisconnect(const TLinkOptions&, TCustomWinSocket* socket)
{
    if (dataConnection_ == socket) dataConnection_ = nullptr;
    events_.Log(QStringLiteral("TCP disconnected"));
    events_.SetLabel(TLinkLabel::Server, QStringLiteral("Listen"));
}

void TDataLink::OnVSPServerSocketClientError(
    const TLinkOptions&, TCustomWinSocket* socket, int errorCode)
{
    if (errorCode == WSAECONNABORTED) {
        events_.Log(QStringLiteral("Connection closed by remote module"));
        events_.SetLabel(TLinkLabel::Server, QStringLiteral("Listen"));
    } else {
        events_.Log(QStringLiteral("TCP error"));
        events_.SetLabel(TLinkLabel::Server, QStringLiteral("Error"));
    }
    if (dataConnection_ == socket) {
        TellUnacknowledged(socket);
        dataConnection_ = nullptr;
    }
}

void TDataLink::PingResult(const TLinkOptions& o, uint32_t code)
{
    opt_ = o;
    TCustomWinSocket* client = client_->Socket();
    switch (code) {
    case PING_CANNOT_START:
        events_.SetLabel(TLinkLabel::Client, QStringLiteral("Error PING"));
        reconnect_.End();
        break;
    case PING_RECONNECT:
        // The link came back meanwhile (a connect the port's open started): keep it.
        if (ClientLinkUp() || client_->Connecting()) {
            if (ClientLinkUp()) reconnect_.End();
            break;
        }
        linkError_ = false;
        if (dataConnection_ == client) dataConnection_ = nullptr;
        CloseClientLink();
        OpenClientLink();
        break;
    case PING_ERROR_LAN:
        events_.SetLabel(TLinkLabel::Client, QStringLiteral("Error LAN"));
        break;
    case PING_CLOSE:
        events_.SetLabel(TLinkLabel::Client, QStringLiteral("Close"));
        linkError_ = false;
        if (dataConnection_ == client) dataConnection_ = nullptr;
        CloseClientLink();
        break;
    default: // PING_NO_ACTION and anything unknown
        reconnect_.End();
        break;
    }
}

// ---- Relay: port to store ----

void TDataLink::OnVSPortRxChar(const TLinkOptions& o)
{
    opt_ = o;
    ReadPort();
}

void TDataLink::ReadPort()
{
    if (discardClosedInput_ && !port_.IsOpened()) {
        // What a closed program left in the port after its time ran out.
        uint8_t sink[ReceiveBlockSize];
        while (port_.Read(sink, ReceiveBlockSize) > 0) { }
        serialInputHeld_ = false;
        return;
    }
    // The store is full enough: leave the bytes in the port; the timer polls again. A
    // full store is the usual state of a writer whose module went away, so the reconnect
    // is asked for all the same.
    if (pendingCount_ > PendingReadLimit) {
        serialInputHeld_ = true;
        if (linkError_ || !dataConnection_) RequestReconnect();
        return;
    }
    // At most one reading's worth; the rest stays in the port and the timer polls again.
    int32_t n = qMax<int32_t>(0, port_.GetInCount());
    serialInputHeld_ = false;
    if (pendingCount_ + n > PendingReadLimit) {
        serialInputHeld_ = true;
        n = PendingReadLimit;
    }
    // pendingCount_ <= 16,384 here, so even doubled the new bytes fit (see PendingCapacity).
    uint8_t* tail = pendingBuffer_.get() + pendingCount_;
    int32_t got = n > 0 ? qMax<int32_t>(0, port_.Read(tail, n)) : 0;
    if (opt_.NvtFilter) got = NvtEscapeOutgoing(tail, got);
    Count(counters_.SerialRx, got);
    countersChanged_ = true;
    pendingCount_ += got;
    // Measured with the new bytes counted once more, so the warning comes a block early.
    const bool overrun = pendingCount_ + got >= OverrunWarning;
    const QString stored = overrun ? QStringLiteral("Buffer overrun")
                                   : QStringLiteral("TCP not connected, data stored in buffer");
    if (linkError_) {
        events_.Log(stored);
        RequestReconnect();
    } else if (dataConnection_) {
        // the next flush sends them
    } else {
        RequestReconnect();
        events_.Log(stored);
    }
    events_.Pace();
}

// ---- The timer ----

void TDataLink::TimerStep(const TLinkOptions& o)
{
    opt_ = o;
    // The keep-connection check, once every 3,001 ticks (about 15 s).
    const int32_t old = keepTicks_;
    keepTicks_ += 1;
    if (old >= KeepCheckTicks) Keep();
    TeaWaitStep();
    NvtIacWaitStep();
    CloseDrainStep();
    ReconnectScheduleStep();
    // While the link is suspended the count keeps growing; stop short of overflowing.
    if (flushTicks_ < INT32_MAX) flushTicks_ += 1;
    if (flushTicks_ <= 1) {
        ShowCounters();
        return;
    }
    if (!linkError_) Flush();
    if (serialInputHeld_) ReadPort();
    // The port says when it has room; a port that cannot say is polled here.
    ResumeHeld();
    ShowCounters();
}

void TDataLink::ShowCounters()
{
    if (!countersChanged_) return;
    countersChanged_ = false;
    events_.ShowCounters(counters_);
}

void TDataLink::ResetCounters()
{
    counters_ = {};
    countersChanged_ = false;
    events_.ShowCounters(counters_);
}

bool TDataLink::WantsPace() const
{
    // Bytes that cannot move (the link down, or suspended) wait for the reconnection, which
    // the idle pace serves as well: ticking at 5 ms for them would only burn the CPU.
    return serialOutputHeld_ || nvtReceiver_.HoldsIac()
        || (LinkUsable() && (pendingCount_ > 0 || serialInputHeld_));
}

// ---- Relay: module to port ----

void TDataLink::ResumeHeldOutput(const TLinkOptions& o)
{
    opt_ = o;
    ResumeHeld();
}

void TDataLink::ResumeHeld()
{
    // The module's bytes the port could not take yet; once they are in, reading resumes.
    if (serialOutputHeld_ && DeliverHeldBlock() && dataConnection_) Read(dataConnection_);
}

bool TDataLink::DeliverHeldBlock()
{
    if (heldCount_ > 0 && port_.IsOpened()) {
        const int32_t written = qMax<int32_t>(0, port_.Write(heldBlock_, heldCount_));
        Count(counters_.SerialTx, written);
        countersChanged_ = true;
        heldCount_ -= written;
        memmove(heldBlock_, heldBlock_ + written, size_t(heldCount_));
    } else {
        heldCount_ = 0; // the program closed the port: its bytes go, as any data while closed
    }
    serialOutputHeld_ = heldCount_ > 0;
    return !serialOutputHeld_;
}

void TDataLink::OnVSPClientSocketRead(const TLinkOptions& o, TCustomWinSocket* socket)
{
    opt_ = o;
    Read(socket);
}

void TDataLink::OnVSPClientSocketWrite()
{
    linkActivity_ = true;
}

void TDataLink::Read(TCustomWinSocket* socket)
{
    linkActivity_ = true;
    // The port has not yet taken the previous block: leave this data in the connection.
    if (serialOutputHeld_ && !DeliverHeldBlock()) return;
    uint8_t block[ReceiveBlockSize];
    int32_t n = socket->ReceiveBuf(block, ReceiveBlockSize);
    if (n <= 0) return;
    Count(counters_.LanRx, n);
    countersChanged_ = true;
    // The first block of a connection is the module's challenge, never data.
    if (!teaAnswered_ && opt_.TeaEnabled) {
        teaAnswered_ = true;
        AnswerTeaChallenge(opt_, socket, block, n);
        return;
    }
    if (!opt_.NvtFilter) {
        // An IAC still waiting when the filter went off is the data byte it would have become.
        DeliverHeldIac();
        nvtReceiver_.Reset(); // switched on again, it starts between commands
        DeliverToPort(block, n);
        return;
    }
    // Commands go wherever they stand, and escaped 0xFF become one, with the stream's state
    // kept across reads: a read ends wherever TCP had bytes, inside a command too.
    uint8_t data[ReceiveBlockSize + TNvtReceiver::MaxGrowth];
    const TNvtReceiver::TResult got = nvtReceiver_.Receive(block, n, data);
    if (got.SubnegotiationsDropped > 0 && !nvtOverlongTold_) {
        nvtOverlongTold_ = true;
        events_.Log(
            QStringLiteral("Telnet subnegotiation from module longer than %1 bytes, dropped")
                .arg(TNvtReceiver::SubnegotiationLimit));
    }
    if (got.ModemState >= 0) ModuleModemState(got.ModemState);
    nvtIacWaitTicks_ = 0;
    if (nvtReceiver_.HoldsIac()) events_.Pace();
    if (got.Count > 0) DeliverToPort(data, got.Count);
}

void TDataLink::NvtIacWaitStep()
{
    if (nvtReceiver_.HoldsIac() && ++nvtIacWaitTicks_ >= NvtIacWaitLimitTicks) DeliverHeldIac();
}

void TDataLink::DeliverHeldIac()
{
    // An IAC that no byte followed is a data byte the module did not escape. It goes behind
    // whatever the port has not taken yet, also when a new connection resets the receiver.
    if (!nvtReceiver_.TakeHeldIac()) return;
    const uint8_t iac = telnet::IAC;
    if (serialOutputHeld_)
        heldBlock_[heldCount_++] = iac;
    else
        DeliverToPort(&iac, 1);
}

void TDataLink::DeliverToPort(const uint8_t* bytes, int32_t n)
{
    if (!port_.IsOpened()) {
        events_.Log(QStringLiteral("Serial port closed, data dropped out"));
        return;
    }
    const int32_t written = qMax<int32_t>(0, port_.Write(bytes, n));
    Count(counters_.SerialTx, written);
    countersChanged_ = true;
    if (written < n) {
        // The program is behind: keep the rest and stop reading until it is taken.
        heldCount_ = n - written;
        memcpy(heldBlock_, bytes + written, size_t(heldCount_));
        serialOutputHeld_ = true;
        events_.Pace();
    }
}

// ---- Relay: store to module ----

bool TDataLink::AwaitingTeaChallenge(const TLinkOptions& o) const
{
    return o.TeaEnabled && !teaAnswered_ && !teaWaitOver_;
}

bool TDataLink::AwaitingTea() const
{
    // A module that authenticates takes the first 12 bytes it receives as the answer to its
    // challenge: the program's bytes (stored while the link was down, or written right after
    // the connect) wait until the challenge has been answered.
    return AwaitingTeaChallenge(opt_);
}

void TDataLink::TeaWaitStep()
{
    if (!dataConnection_ || linkError_ || !AwaitingTea()) return;
    if (++teaWaitTicks_ < TeaWaitLimitTicks) return;
    // A challenge that still comes is answered as the first block of the connection.
    teaWaitOver_ = true;
    events_.Log(QStringLiteral("No TEA challenge from module, data sent without authentication"));
}

void TDataLink::FlushPending(const TLinkOptions& o)
{
    opt_ = o;
    Flush();
}

void TDataLink::Flush()
{
    flushTicks_ = 0;
    if (!dataConnection_ || pendingCount_ == 0 || AwaitingTea()) return;
    SendPending(dataConnection_);
}

int TDataLink::SendPending(TCustomWinSocket* connection)
{
    connection->Lock();
    // A failure other than "would block" raises the error event inside SendBuf.
    const int sent = connection->SendBuf(pendingBuffer_.get(), pendingCount_);
    connection->Unlock();
    if (sent <= 0) return sent;
    // Only the program's bytes are relay data: not the messages and frames among them.
    const int32_t bound = qMin(sent, pendingBoundCount_);
    const int32_t frames = pendingSettings_.LeftHead(sent);
    Count(counters_.LanTx, sent - bound - frames);
    countersChanged_ = true;
    pendingBoundCount_ -= bound;
    if (sent < pendingCount_)
        memmove(pendingBuffer_.get(), pendingBuffer_.get() + sent, size_t(pendingCount_ - sent));
    pendingCount_ -= sent;
    return sent;
}

bool TDataLink::LinkUsable() const
{
    return dataConnection_ && !linkError_;
}

bool TDataLink::StorePending(const uint8_t* bytes, int32_t size, bool atHead)
{
    // The store is sized for the reading rule; a message does not fit only when the
    // module has stopped reading and the store is full.
    if (pendingCount_ + size > PendingCapacity) return false;
    uint8_t* store = pendingBuffer_.get();
    if (atHead) {
        memmove(store + size, store, size_t(pendingCount_));
        memcpy(store, bytes, size_t(size));
        pendingBoundCount_ += size;
        pendingSettings_.PutAtHead(size);
    } else {
        memcpy(store + pendingCount_, bytes, size_t(size));
    }
    pendingCount_ += size;
    return true;
}

TDataLink::TSendResult TDataLink::SendMessage(
    TCustomWinSocket* connection, const uint8_t* bytes, int size, bool takeLock)
{
    if (takeLock) connection->Lock();
    const int sent = connection->SendBuf(bytes, size);
    if (takeLock) connection->Unlock();
    if (sent == size) return TSendResult::Whole;
    if (sent < 0) {
        // A failure empties DataConnection (server) or suspends the link (client).
        const bool failed = dataConnection_ != connection || linkError_;
        return failed ? TSendResult::Failed : TSendResult::Nothing;
    }
    // The stream goes on with the rest at the next flush.
    if (connection != dataConnection_ || !StorePending(bytes + sent, size - sent, true))
        return TSendResult::Failed;
    return TSendResult::Whole;
}

void TDataLink::DropPendingHead(int32_t n)
{
    if (n <= 0) return;
    pendingSettings_.LeftHead(n);
    pendingCount_ -= n;
    memmove(pendingBuffer_.get(), pendingBuffer_.get() + n, size_t(pendingCount_));
    pendingBoundCount_ = qMax(0, pendingBoundCount_ - n);
}

// ---- The port's life ----

void TDataLink::PortCreating()
{
    pendingCount_ = 0;
    pendingBoundCount_ = 0;
    pendingSettings_ = {}; // a new pty: the program sets its line afresh
    linkError_ = false;
}

void TDataLink::PortCreated()
{
    portCreated_ = true;
}

void TDataLink::PortDeleting()
{
    if (closeDrainTicks_ >= 0) DropProgramBytes();
    closeDrainTicks_ = -1;
    portCreated_ = false;
}

void TDataLink::PortOpened(const TLinkOptions& o)
{
    opt_ = o;
    // The last program's bytes are not this one's: a write it was told had failed must
    // not be carried out now, nor answered to this one. (A close and an open reported
    // together cannot be told apart: a program that set the line and one that writes,
    // one right after the other, as a script does.)
    if (closeDrainTicks_ >= 0 && !closeJustReported_) DropProgramBytes();
    closeDrainTicks_ = -1;
    discardClosedInput_ = false;
    if (!client_->Connected() && !opt_.ServerMode) OpenClientLink();
}

bool TDataLink::PortClosing()
{
    if (!ProgramBytesWaiting()) return false;
    // As a serial line's close waits for its output: what the program wrote may still
    // go out for a while, on the link as it is now, or as it comes up.
    closeDrainTicks_ = 0;
    closeJustReported_ = true;
    return true;
}

bool TDataLink::ProgramBytesWaiting() const
{
    return pendingCount_ > pendingBoundCount_ || serialInputHeld_;
}

void TDataLink::CloseDrainStep()
{
    if (closeDrainTicks_ < 0) return;
    if (!ProgramBytesWaiting()) {
        // All handed to the connection, which closes behind them.
        closeDrainTicks_ = -1;
        events_.PortCloseDrained();
        return;
    }
    if (++closeDrainTicks_ < TicksFor(timings_.CloseDrainMs)) return;
    closeDrainTicks_ = -1;
    DropProgramBytes();
    events_.PortCloseDrained();
}

void TDataLink::DropProgramBytes()
{
    // The rest of a message the connection took in part stays: it is the connection's.
    int32_t dropped = pendingCount_ - pendingBoundCount_;
    pendingCount_ = pendingBoundCount_;
    pendingSettings_.DroppedTail(pendingCount_);
    uint8_t sink[ReceiveBlockSize];
    for (int32_t n; (n = port_.Read(sink, ReceiveBlockSize)) > 0;)
        dropped += n;
    serialInputHeld_ = false;
    discardClosedInput_ = !port_.IsOpened();
    if (dropped > 0)
        events_.Log(
            QStringLiteral("%1 bytes a closed program wrote were not sent to the module; dropped")
                .arg(dropped));
}

// ---- Keep-connection message ----

void TDataLink::SendKeepConnection(const TLinkOptions& o)
{
    opt_ = o;
    Keep();
}

void TDataLink::Keep()
{
    keepTicks_ = 0;
    if (!opt_.KeepConnection) return;
    // Bytes that wait (the program's, a TEA answer still to come) are no idleness, and a NOP
    // sent past them could land ahead of the answer or inside a frame the store cut.
    if (!linkActivity_ && LinkUsable() && pendingCount_ == 0 && !AwaitingTea()) {
        const TelnetFrame nop = KeepConnectionMessage();
        // A link too busy to take two bytes is not idle: the next check tries again.
        if (SendMessage(dataConnection_, nop.Bytes, nop.Size, true) != TSendResult::Whole) return;
        events_.Log(QStringLiteral("Keep connection message sent"));
        // The message itself counts as activity: on an idle link it goes out on every
        // second check.
        linkActivity_ = true;
        return;
    }
    linkActivity_ = false;
}

void TDataLink::KeepConnectionChecked()
{
    // The first message then waits a full idle period instead of going out at once.
    linkActivity_ = true;
}

// ---- TEA challenge ----

void TDataLink::AnswerTeaChallenge(
    const TLinkOptions& o, TCustomWinSocket* socket, const uint8_t* block, int32_t count)
{
    opt_ = o;
    // The key is read from the boxes for every challenge: an edit counts from the next one,
    // and no other user of TEA can change it meanwhile.
    const TeaKeyParse key = ParseTeaKey(opt_.TeaKey);
    if (!key.Key) {
        events_.TeaKeyError(TeaKeyErrorText(key.BadBox, opt_.TeaKey[size_t(key.BadBox - 1)]));
        return;
    }
    const TeaAnswer answer = AnswerTeaChallengeBytes(block, count, *key.Key);
    if (!answer.CrcOk) {
        events_.Log(QStringLiteral("Input TEA string CRC error"));
        return;
    }
    // The module's verdict is not awaited: one that rejects the answer closes the link.
    const auto* response = reinterpret_cast<const uint8_t*>(answer.Response);
    // Should the new connection not take it at once, it still goes out before any data.
    if (SendMessage(socket, response, TeaChallengeChars, true) == TSendResult::Nothing
        && socket == dataConnection_)
        StorePending(response, TeaChallengeChars, true);
}

// ---- Line settings to the module (RFC 2217) ----

namespace {
void AddLineControl(TelnetFrames& frames, const TLineSettings::TLineControl& line)
{
    // Always parity, stop size, data size, in this order.
    frames.Add(PortControlFrame(telnet::SET_PARITY, SetParityValue(line.Parity)));
    frames.Add(PortControlFrame(telnet::SET_STOPSIZE, SetStopSizeValue(line.StopBits)));
    frames.Add(PortControlFrame(telnet::SET_DATASIZE, SetDataSizeValue(line.WordLength)));
}

void AddHandflow(TelnetFrames& frames, const TLineSettings::THandflow& flow)
{
    frames.Add(PortControlFrame(
        telnet::SET_CONTROL, SetControlValue(flow.ControlHandShake, flow.FlowReplace)));
}
} // namespace

// A line the program switches with SET-CONTROL: its setting, its two values, its name.
struct TControlLine {
    std::optional<bool> TLineSettings::*Setting;
    uint8_t On, Off;
    const char* Name;
};

namespace {
constexpr TControlLine BreakLine { &TLineSettings::Break, telnet::CONTROL_BREAK_ON,
    telnet::CONTROL_BREAK_OFF, "break" };
constexpr TControlLine DtrLine { &TLineSettings::Dtr, telnet::CONTROL_DTR_ON,
    telnet::CONTROL_DTR_OFF, "DTR" };
constexpr TControlLine RtsLine { &TLineSettings::Rts, telnet::CONTROL_RTS_ON,
    telnet::CONTROL_RTS_OFF, "RTS" };
constexpr TControlLine ControlLines[] = { BreakLine, DtrLine, RtsLine };

QString ControlLineSetText(const TControlLine& line, bool on)
{
    return QStringLiteral("Remote %1 set %2")
        .arg(QLatin1String(line.Name), on ? QStringLiteral("on") : QStringLiteral("off"));
}
} // namespace

bool TDataLink::SendLineChange(const TLineSettings& now, const TelnetFrames& frames)
{
    int32_t stored = 0;
    bool sent = false;
    if (opt_.PortSetup) {
        const uint8_t* bytes = frames.Bytes;
        const int size = frames.Size;
        // As on a serial line, the frames go out behind the bytes the program wrote before
        // the change. Normally the flush empties the store at once and they follow directly.
        if (LinkUsable() && !AwaitingTea()) {
            if (pendingCount_ > 0) Flush();
            sent = LinkUsable() && pendingCount_ == 0
                && SendMessage(dataConnection_, bytes, size, false) == TSendResult::Whole;
        }
        // Otherwise they wait in the store in their place: for this connection (the module is
        // not reading, or its TEA answer is still to go), or for the next one when bytes
        // written before the change wait too. With nothing waiting, the next connection is
        // told the settings at its start.
        const bool inPlace = LinkUsable() || pendingCount_ > pendingBoundCount_;
        if (!sent && inPlace && pendingCount_ + size <= PendingCapacity - LineSettingsRoom
            && StorePending(bytes, size, false))
            stored = size;
    }
    pendingSettings_.Changed(now, pendingCount_, stored);
    return LinkUsable() && (sent || stored > 0);
}

// With "NVT port setup" on, a change is never lost for the module: made while the link is
// down, it is logged as refused at that moment and shown, and the module is told on the next
// connection, in its place among the bytes that wait.

void TDataLink::OnVSPortBaudRate(const TLinkOptions& o, int32_t baudRate)
{
    opt_ = o;
    TLineSettings now = pendingSettings_.Current();
    now.BaudRate = baudRate;
    const bool connected = LinkUsable();
    if (!opt_.PortSetup || !connected)
        events_.Log(QStringLiteral("Can't set remonte baudrate, not connected to module"));
    if (opt_.PortSetup) events_.SetLabel(TLinkLabel::Baud, QString::number(baudRate));
    TelnetFrames frames;
    frames.Add(BaudRateFrame(baudRate));
    if (SendLineChange(now, frames) && connected)
        events_.Log(QStringLiteral("Remonte baudrate set"));
}

void TDataLink::OnVSPortLineControl(
    const TLinkOptions& o, int32_t stopBits, int32_t parity, int32_t wordLength)
{
    opt_ = o;
    TLineSettings now = pendingSettings_.Current();
    // A pty knows the program's data bits and parity only from a program run through
    // vsp-run; whoever wonders whether the library reached a program reads it here.
    const bool fromLibrary
        = parity != PARITY_UNKNOWN && wordLength != WORDLENGTH_UNKNOWN && portHearsLineFormat_;
    if (fromLibrary
        && (!now.LineControl || now.LineControl->Parity != parity
            || now.LineControl->WordLength != wordLength))
        events_.Log(
            QStringLiteral("Line format from the program through vsp-run: %1 data bits, %2 parity")
                .arg(DataBitsText(wordLength), ParityText(parity)));
    now.LineControl = TLineSettings::TLineControl { stopBits, parity, wordLength };
    const bool connected = LinkUsable();
    if (!opt_.PortSetup || !connected)
        events_.Log(
            QStringLiteral("Remonte control options couldn't be set, not connected to module"));
    if (opt_.PortSetup) {
        events_.SetLabel(TLinkLabel::Parity, ParityText(parity));
        if (const auto text = StopBitsText(stopBits)) events_.SetLabel(TLinkLabel::StopBits, *text);
        events_.SetLabel(TLinkLabel::Bits, DataBitsText(wordLength));
    }
    TelnetFrames frames;
    AddLineControl(frames, *now.LineControl);
    if (SendLineChange(now, frames) && connected)
        events_.Log(QStringLiteral("Remonte control options set"));
}

void TDataLink::OnVSPortHandflow(
    const TLinkOptions& o, int32_t controlHandShake, int32_t flowReplace)
{
    opt_ = o;
    TLineSettings now = pendingSettings_.Current();
    now.Handflow = TLineSettings::THandflow { controlHandShake, flowReplace };
    const bool connected = LinkUsable();
    if (!opt_.PortSetup || !connected)
        events_.Log(QStringLiteral("Remonte handshake couldn't be set, not connected to module"));
    TelnetFrames frames;
    AddHandflow(frames, *now.Handflow);
    if (SendLineChange(now, frames) && connected)
        events_.Log(QStringLiteral("Remonte handshake set"));
}

void TDataLink::OnVSPortDTR(const TLinkOptions& o, bool on)
{
    opt_ = o;
    SendControlLine(DtrLine, on);
}

void TDataLink::OnVSPortRTS(const TLinkOptions& o, bool on)
{
    opt_ = o;
    SendControlLine(RtsLine, on);
}

void TDataLink::OnVSPortBreak(const TLinkOptions& o, bool on)
{
    opt_ = o;
    SendControlLine(BreakLine, on);
}

void TDataLink::SendControlLine(const TControlLine& line, bool on)
{
    TLineSettings now = pendingSettings_.Current();
    now.*line.Setting = on;
    const bool connected = LinkUsable();
    if (!opt_.PortSetup || !connected)
        events_.Log(QStringLiteral("Remote %1 couldn't be set, not connected to module")
                        .arg(QLatin1String(line.Name)));
    TelnetFrames frames;
    frames.Add(PortControlFrame(telnet::SET_CONTROL, on ? line.On : line.Off));
    if (SendLineChange(now, frames) && connected) events_.Log(ControlLineSetText(line, on));
}

void TDataLink::ModuleModemState(int32_t state)
{
    port_.SetCTS(state & telnet::MODEMSTATE_CTS);
    port_.SetDSR(state & telnet::MODEMSTATE_DSR);
    port_.SetRING(state & telnet::MODEMSTATE_RI);
    port_.SetDCD(state & telnet::MODEMSTATE_CD);
}

void TDataLink::TellLineSettings()
{
    // The module may have opened its line with settings of its own (ser2net does at every
    // connection, many modules after a reboot): the program's bytes must not cross at those.
    if (!opt_.PortSetup) return;
    const TLineSettings head = pendingSettings_.AtHead(pendingCount_);
    TelnetFrames frames;
    if (head.BaudRate) frames.Add(BaudRateFrame(*head.BaudRate));
    if (head.LineControl) AddLineControl(frames, *head.LineControl);
    if (head.Handflow) AddHandflow(frames, *head.Handflow);
    for (const TControlLine& line : ControlLines)
        if (const std::optional<bool> on = head.*line.Setting)
            frames.Add(PortControlFrame(telnet::SET_CONTROL, *on ? line.On : line.Off));
    // At the head of the store and bound to this connection: behind the TEA answer, which
    // goes first, and ahead of every byte that waits.
    if (frames.Size == 0 || !StorePending(frames.Bytes, frames.Size, true)) return;
    if (head.BaudRate) events_.Log(QStringLiteral("Remonte baudrate set"));
    if (head.LineControl) events_.Log(QStringLiteral("Remonte control options set"));
    if (head.Handflow) events_.Log(QStringLiteral("Remonte handshake set"));
    for (const TControlLine& line : ControlLines)
        if (const std::optional<bool> on = head.*line.Setting)
            events_.Log(ControlLineSetText(line, *on));
}

} // namespace vsp
