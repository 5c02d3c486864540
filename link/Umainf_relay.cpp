// The data relay. The program's bytes go from the virtual port into the pending store and
// reach the module on the next flush (every second 5 ms tick); the module's bytes go into
// the port as each received block arrives. While the link is down the store keeps the
// program's bytes, in order, and asks for a reconnect; while a connect is under way they
// wait for its result.

#include "app/Umainf.h"
#include "link/Nvt.h"
#include "link/Sockets.h"
#include "link/Telnet.h"
#include "vport/Uping.h"

#include <QCheckBox>
#include <QLabel>
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
} // namespace

void TMainForm::OnVSPortRxChar(int32_t)
{
    if (DiscardClosedInput && !VSPort->IsOpened()) {
        // What a closed program left in the port after its time ran out.
        uint8_t sink[ReceiveBlockSize];
        while (VSPort->Read(sink, ReceiveBlockSize) > 0) { }
        SerialInputHeld = false;
        return;
    }
    // The store is full enough: leave the bytes in the port; the timer polls again. A
    // full store is the usual state of a writer whose module went away, so the reconnect
    // is asked for all the same.
    if (PendingCount > PendingReadLimit) {
        SerialInputHeld = true;
        if (LinkError || !DataConnection) RequestReconnect();
        return;
    }
    // At most one reading's worth; the rest stays in the port and the timer polls again.
    int32_t n = qMax<int32_t>(0, VSPort->GetInCount());
    SerialInputHeld = false;
    if (PendingCount + n > PendingReadLimit) {
        SerialInputHeld = true;
        n = PendingReadLimit;
    }
    // PendingCount <= 16,384 here, so even doubled the new bytes fit (see PendingCapacity).
    int32_t got = n > 0 ? qMax<int32_t>(0, VSPort->Read(PendingBuffer.get() + PendingCount, n)) : 0;
    if (NVTFilterCheckBox->isChecked())
        got = EscapeOutgoing(PendingBuffer.get() + PendingCount, got);
    Count(SerialRxCount, got);
    CountersChanged = true;
    PendingCount += got;
    // Measured with the new bytes counted once more, so the warning comes a block early.
    const bool overrun = PendingCount + got >= OverrunWarning;
    const QString stored = overrun ? QStringLiteral("Buffer overrun")
                                   : QStringLiteral("TCP not connected, data stored in buffer");
    if (LinkError) {
        Log(stored);
        RequestReconnect();
    } else if (DataConnection) {
        // the next flush sends them
    } else {
        RequestReconnect();
        Log(stored);
    }
    PaceMainTimer();
}

void TMainForm::MainTimerStep()
{
    // The keep-connection check, once every 3,001 ticks (about 15 s).
    const int32_t old = KeepTicks;
    KeepTicks += 1;
    if (old >= KeepCheckTicks) SendKeepConnection();
    TeaWaitStep();
    NvtIacWaitStep();
    CloseDrainStep();
    ReconnectScheduleStep();
    // While the link is suspended the count keeps growing; stop short of overflowing.
    if (FlushTicks < INT32_MAX) FlushTicks += 1;
    if (FlushTicks <= 1) {
        ShowCounters();
        return;
    }
    if (!LinkError) FlushPending();
    if (SerialInputHeld) OnVSPortRxChar(0);
    // The port says when it has room; a port that cannot say is polled here.
    ResumeHeldOutput();
    ShowCounters();
}

void TMainForm::ResumeHeldOutput()
{
    // The module's bytes the port could not take yet; once they are in, reading resumes.
    if (SerialOutputHeld && DeliverHeldBlock() && DataConnection)
        OnVSPClientSocketRead(DataConnection);
}

bool TMainForm::DeliverHeldBlock()
{
    if (HeldCount > 0 && VSPort->IsOpened()) {
        const int32_t written = qMax<int32_t>(0, VSPort->Write(HeldBlock, HeldCount));
        Count(SerialTxCount, written);
        CountersChanged = true;
        HeldCount -= written;
        memmove(HeldBlock, HeldBlock + written, size_t(HeldCount));
    } else {
        HeldCount = 0; // the program closed the port: its bytes go, as any data while closed
    }
    SerialOutputHeld = HeldCount > 0;
    return !SerialOutputHeld;
}

bool TMainForm::AwaitingTeaChallenge() const
{
    // A module that authenticates takes the first 12 bytes it receives as the answer to its
    // challenge: the program's bytes (stored while the link was down, or written right after
    // the connect) wait until the challenge has been answered.
    return TEAEnabledCheckBox->isChecked() && !TeaAnswered && !TeaWaitOver;
}

void TMainForm::TeaWaitStep()
{
    if (!DataConnection || LinkError || !AwaitingTeaChallenge()) return;
    if (++TeaWaitTicks < TeaWaitLimitTicks) return;
    // A challenge that still comes is answered as the first block of the connection.
    TeaWaitOver = true;
    Log(QStringLiteral("No TEA challenge from module, data sent without authentication"));
}

void TMainForm::FlushPending()
{
    FlushTicks = 0;
    if (!DataConnection || PendingCount == 0 || AwaitingTeaChallenge()) return;
    SendPending(DataConnection);
}

int TMainForm::SendPending(TCustomWinSocket* connection)
{
    connection->Lock();
    // A failure other than "would block" raises the error event inside SendBuf.
    const int sent = connection->SendBuf(PendingBuffer.get(), PendingCount);
    connection->Unlock();
    if (sent <= 0) return sent;
    // Only the program's bytes are relay data: not the messages and frames among them.
    const int32_t bound = qMin(sent, PendingBoundCount);
    const int32_t frames = PendingSettings.LeftHead(sent);
    Count(LanTxCount, sent - bound - frames);
    CountersChanged = true;
    PendingBoundCount -= bound;
    if (sent < PendingCount)
        memmove(PendingBuffer.get(), PendingBuffer.get() + sent, size_t(PendingCount - sent));
    PendingCount -= sent;
    return sent;
}

bool TMainForm::LinkUsable() const
{
    return DataConnection && !LinkError;
}

bool TMainForm::ProgramBytesWaiting() const
{
    return PendingCount > PendingBoundCount || SerialInputHeld;
}

void TMainForm::CloseDrainStep()
{
    if (CloseDrainTicks < 0) return;
    if (!ProgramBytesWaiting()) {
        // All handed to the connection, which closes behind them.
        CloseDrainTicks = -1;
        FinishPortClose();
        return;
    }
    if (++CloseDrainTicks < TicksFor(Platform.Timings.CloseDrainMs)) return;
    CloseDrainTicks = -1;
    DropProgramBytes();
    FinishPortClose();
}

void TMainForm::DropProgramBytes()
{
    // The rest of a message the connection took in part stays: it is the connection's.
    int32_t dropped = PendingCount - PendingBoundCount;
    PendingCount = PendingBoundCount;
    PendingSettings.DroppedTail(PendingCount);
    uint8_t sink[ReceiveBlockSize];
    for (int32_t n; (n = VSPort->Read(sink, ReceiveBlockSize)) > 0;)
        dropped += n;
    SerialInputHeld = false;
    DiscardClosedInput = !VSPort->IsOpened();
    if (dropped > 0)
        Log(QStringLiteral("%1 bytes a closed program wrote were not sent to the module; dropped")
                .arg(dropped));
}

bool TMainForm::StorePending(const uint8_t* bytes, int32_t size, bool atHead)
{
    // The store is sized for the reading rule; a message does not fit only when the
    // module has stopped reading and the store is full.
    if (PendingCount + size > PendingCapacity) return false;
    uint8_t* store = PendingBuffer.get();
    if (atHead) {
        memmove(store + size, store, size_t(PendingCount));
        memcpy(store, bytes, size_t(size));
        PendingBoundCount += size;
        PendingSettings.PutAtHead(size);
    } else {
        memcpy(store + PendingCount, bytes, size_t(size));
    }
    PendingCount += size;
    return true;
}

TMainForm::TSendResult TMainForm::SendMessage(
    TCustomWinSocket* connection, const uint8_t* bytes, int size, bool takeLock)
{
    if (takeLock) connection->Lock();
    const int sent = connection->SendBuf(bytes, size);
    if (takeLock) connection->Unlock();
    if (sent == size) return TSendResult::Whole;
    if (sent < 0) {
        // A failure empties DataConnection (server) or suspends the link (client).
        const bool failed = DataConnection != connection || LinkError;
        return failed ? TSendResult::Failed : TSendResult::Nothing;
    }
    // The stream goes on with the rest at the next flush.
    if (connection != DataConnection || !StorePending(bytes + sent, size - sent, true))
        return TSendResult::Failed;
    return TSendResult::Whole;
}

bool TMainForm::PortSetupWanted() const
{
    return NVTPortSetupCheckBox->isChecked();
}

void TMainForm::DropPendingHead(int32_t n)
{
    if (n <= 0) return;
    PendingSettings.LeftHead(n);
    PendingCount -= n;
    memmove(PendingBuffer.get(), PendingBuffer.get() + n, size_t(PendingCount));
    PendingBoundCount = qMax(0, PendingBoundCount - n);
}

bool TMainForm::SendLineChange(const TLineSettings& now, const TelnetFrames& frames)
{
    int32_t stored = 0;
    bool sent = false;
    if (PortSetupWanted()) {
        const uint8_t* bytes = frames.Bytes;
        const int size = frames.Size;
        // As on a serial line, the frames go out behind the bytes the program wrote before
        // the change. Normally the flush empties the store at once and they follow directly.
        if (LinkUsable() && !AwaitingTeaChallenge()) {
            if (PendingCount > 0) FlushPending();
            sent = LinkUsable() && PendingCount == 0
                && SendMessage(DataConnection, bytes, size, false) == TSendResult::Whole;
        }
        // Otherwise they wait in the store in their place: for this connection (the module is
        // not reading, or its TEA answer is still to go), or for the next one when bytes
        // written before the change wait too. With nothing waiting, the next connection is
        // told the settings at its start.
        const bool inPlace = LinkUsable() || PendingCount > PendingBoundCount;
        if (!sent && inPlace && PendingCount + size <= PendingCapacity - LineSettingsRoom
            && StorePending(bytes, size, false))
            stored = size;
    }
    PendingSettings.Changed(now, PendingCount, stored);
    return LinkUsable() && (sent || stored > 0);
}

void TMainForm::OnVSPClientSocketRead(TCustomWinSocket* socket)
{
    LinkActivity = true;
    // The port has not yet taken the previous block: leave this data in the connection.
    if (SerialOutputHeld && !DeliverHeldBlock()) return;
    uint8_t block[ReceiveBlockSize];
    int32_t n = socket->ReceiveBuf(block, ReceiveBlockSize);
    if (n <= 0) return;
    Count(LanRxCount, n);
    CountersChanged = true;
    // The first block of a connection is the module's challenge, never data.
    if (!TeaAnswered && TEAEnabledCheckBox->isChecked()) {
        TeaAnswered = true;
        AnswerTeaChallenge(socket, block, n);
        return;
    }
    if (!NVTFilterCheckBox->isChecked()) {
        NvtReceiver.Reset(); // switched on again, it starts between commands
        DeliverToPort(block, n);
        return;
    }
    // Commands go wherever they stand, and escaped 0xFF become one, with the stream's state
    // kept across reads: a read ends wherever TCP had bytes, inside a command too.
    uint8_t data[ReceiveBlockSize + TNvtReceiver::MaxGrowth];
    const TNvtReceiver::TResult got = NvtReceiver.Receive(block, n, data);
    if (got.SubnegotiationsDropped > 0 && !NvtOverlongTold) {
        NvtOverlongTold = true;
        Log(QStringLiteral("Telnet subnegotiation from module longer than %1 bytes, dropped")
                .arg(TNvtReceiver::SubnegotiationLimit));
    }
    if (got.ModemState >= 0) ModuleModemState(got.ModemState);
    NvtIacWaitTicks = 0;
    if (NvtReceiver.HoldsIac()) PaceMainTimer();
    if (got.Count > 0) DeliverToPort(data, got.Count);
}

void TMainForm::NvtIacWaitStep()
{
    if (NvtReceiver.HoldsIac() && ++NvtIacWaitTicks >= NvtIacWaitLimitTicks) DeliverHeldIac();
}

void TMainForm::DeliverHeldIac()
{
    // An IAC that no byte followed is a data byte the module did not escape. It goes behind
    // whatever the port has not taken yet.
    if (SerialOutputHeld || !NvtReceiver.TakeHeldIac()) return;
    const uint8_t iac = telnet::IAC;
    DeliverToPort(&iac, 1);
}

void TMainForm::DeliverToPort(const uint8_t* bytes, int32_t n)
{
    if (!VSPort->IsOpened()) {
        Log(QStringLiteral("Serial port closed, data dropped out"));
        return;
    }
    const int32_t written = qMax<int32_t>(0, VSPort->Write(bytes, n));
    Count(SerialTxCount, written);
    CountersChanged = true;
    if (written < n) {
        // The program is behind: keep the rest and stop reading until it is taken.
        HeldCount = n - written;
        memcpy(HeldBlock, bytes + written, size_t(HeldCount));
        SerialOutputHeld = true;
        PaceMainTimer();
    }
}

} // namespace vsp
