#pragma once
// TDataLink: the data link between the virtual port and the module, in one object. It owns
// the two data endpoints (the client, and the listener whose one accepted connection carries
// the data in server mode), the connection that carries the data, the pending store of the
// program's bytes, the held block of the module's bytes, the four byte counters, the TEA
// wait, the NVT receiver, the line settings told to the module, the reconnection schedule
// and the close of a program that leaves bytes behind.
//
// It takes no control of the window: every event comes with the options the window read from
// its controls at that moment (TLinkOptions), and what the link has to show goes out through
// TDataLinkEvents (log lines, label texts, counter values, echo-check requests). The window's
// handlers forward to the methods here, so that a test can drive the link with a fake port
// and loopback sockets and no window.

#include "link/LineSettings.h"
#include "link/LinkTimings.h"
#include "link/Nvt.h"
#include "link/Reconnect.h"

#include <QString>
#include <array>
#include <cstdint>
#include <memory>

class QObject;

namespace vsp {

class TClientSocket;
class TServerSocket;
class TCustomWinSocket;
class TVSPort;
struct TControlLine;

// What the window's controls say at the moment of an event; read again at the next one.
struct TLinkOptions {
    bool ServerMode = false; // "TCP server mode"
    bool NvtFilter = false; // "NVT filter"
    bool PortSetup = false; // "NVT port setup"
    bool KeepConnection = false; // "Keep connection"
    bool TeaEnabled = false; // "Use TEA auth."
    bool ConnectClosed = false; // "Connect to module if port is closed"
    QString Address; // the module's address as typed, for the log lines
    std::array<QString, 4> TeaKey; // the four key boxes
};

// The labels the link writes (in this order: the window keeps a table of them).
enum class TLinkLabel { Client, Server, Baud, Parity, StopBits, Bits };

struct TLinkCounters {
    int32_t SerialRx = 0;
    int32_t SerialTx = 0;
    int32_t LanRx = 0;
    int32_t LanTx = 0;
};

// What the link tells the window.
class TDataLinkEvents {
public:
    virtual ~TDataLinkEvents() = default;
    virtual void Log(const QString& message) = 0;
    virtual void SetLabel(TLinkLabel label, const QString& text) = 0;
    // The counters changed since they were last shown (at most once per tick).
    virtual void ShowCounters(const TLinkCounters& counters) = 0;
    // Ping (s, f) of the address; false when the request was dropped. moduleAnswered: what
    // to post where no echo check can be made.
    virtual bool RequestPing(uint32_t successCode, uint32_t failureCode, bool moduleAnswered) = 0;
    // A key box that is no key: the window tells the user.
    virtual void TeaKeyError(const QString& text) = 0;
    // The bytes a closed program left have gone (or were dropped): the close goes on.
    virtual void PortCloseDrained() = 0;
    // The link has work for the timer (or none any more): the timer may change its pace.
    virtual void Pace() = 0;
};

class TDataLink {
public:
    // The timer's tick; every delay of the link is counted in ticks.
    static constexpr int TickMs = 5;
    static constexpr int32_t TicksFor(int ms) { return ms <= 0 ? 0 : (ms + TickMs - 1) / TickMs; }

    // The pending store: one allocation for the program's life. The reading rule keeps at
    // most 16,384 + 16,384 bytes before escaping; escaping can double the newest 16,384,
    // so 16,384 * 3 bytes can never be overrun by the program's bytes. Line-setting frames
    // made while the link is down wait there too, in their place among those bytes: the
    // room above keeps a few hundred of them even when the program filled its share.
    static constexpr int32_t PendingReadLimit = 16384;
    static constexpr int32_t PendingFrameRoom = 4096;
    static constexpr int32_t PendingCapacity = PendingReadLimit * 3 + PendingFrameRoom;
    // Frames of changes made while bytes wait stop this short of the capacity, so that the
    // settings told at a connection's start always fit.
    static constexpr int32_t LineSettingsRoom = TelnetFrames::Capacity;
    static constexpr int32_t ReceiveBlockSize = 512;
    // A lone IAC at the end of a read waits this many ticks (0.2 s) for the byte that says
    // what it is, then goes to the program as data.
    static constexpr int32_t NvtIacWaitLimitTicks = 40;
    // A module that authenticates speaks first; one that does not would hold the program's
    // bytes for ever. After this many ticks (3 s) without a challenge they go out unanswered.
    static constexpr int32_t TeaWaitLimitTicks = 600;

    // port: the virtual port the link relays for. portHearsLineFormat: the port learns the
    // program's data bits and parity only from a program run through vsp-run (the pty), so
    // a format it reports is worth a log line. endpointParent: where the endpoints show in
    // the object tree (the window); the link deletes them all the same.
    TDataLink(TVSPort& port, TDataLinkEvents& events, const TLinkTimings& timings,
        bool portHearsLineFormat = false, QObject* endpointParent = nullptr);
    ~TDataLink();
    TDataLink(const TDataLink&) = delete;
    TDataLink& operator=(const TDataLink&) = delete;

    TClientSocket* VSPClientSocket() const { return client_.get(); }
    TServerSocket* VSPServerSocket() const { return server_.get(); }

    // ---- Link manager ----
    void OpenClientLink();
    void CloseClientLink();
    bool OpenServerLink(); // false: the port could not be listened on (logged)
    void CloseServerLink();
    void OnVSPClientSocketConnecting(const TLinkOptions& o, TCustomWinSocket* socket);
    void OnVSPClientSocketConnect(const TLinkOptions& o, TCustomWinSocket* socket);
    void OnVSPClientSocketDisconnect(const TLinkOptions& o, TCustomWinSocket* socket);
    void OnVSPClientSocketError(const TLinkOptions& o, TCustomWinSocket* socket, int errorCode);
    void OnVSPServerSocketAccept(const TLinkOptions& o, TCustomWinSocket* socket);
    void OnVSPServerSocketClientDisconnect(const TLinkOptions& o, TCustomWinSocket* socket);
    void OnVSPServerSocketClientError(
        const TLinkOptions& o, TCustomWinSocket* socket, int errorCode);
    void PingResult(const TLinkOptions& o, uint32_t code);

    // ---- Relay ----
    void OnVSPortRxChar(const TLinkOptions& o);
    void OnVSPClientSocketRead(const TLinkOptions& o, TCustomWinSocket* socket);
    void OnVSPClientSocketWrite(); // marks link activity
    // One tick of the main timer.
    void TimerStep(const TLinkOptions& o);
    void FlushPending(const TLinkOptions& o);
    // The port has room again for the module's bytes it refused.
    void ResumeHeldOutput(const TLinkOptions& o);
    // Puts bytes into the store, at its head or behind what waits there; false when they
    // do not fit (the module has stopped reading and the store is full).
    bool StorePending(const uint8_t* bytes, int32_t size, bool atHead);
    // The flush holds the program's bytes until the module's challenge is answered.
    bool AwaitingTeaChallenge(const TLinkOptions& o) const;

    // ---- NVT, TEA, line settings ----
    void SendKeepConnection(const TLinkOptions& o);
    void KeepConnectionChecked(); // "Keep connection" was checked
    void AnswerTeaChallenge(
        const TLinkOptions& o, TCustomWinSocket* socket, const uint8_t* block, int32_t count);
    void OnVSPortBaudRate(const TLinkOptions& o, int32_t baudRate);
    void OnVSPortLineControl(
        const TLinkOptions& o, int32_t stopBits, int32_t parity, int32_t wordLength);
    void OnVSPortHandflow(const TLinkOptions& o, int32_t controlHandShake, int32_t flowReplace);
    // The program's break condition and modem lines, which a port hears only from programs
    // run through vsp-run, go to the module as SET-CONTROL like the other settings.
    void OnVSPortDTR(const TLinkOptions& o, bool on);
    void OnVSPortRTS(const TLinkOptions& o, bool on);
    void OnVSPortBreak(const TLinkOptions& o, bool on);

    // ---- The port's life ----
    // A new port: bytes stored for an earlier one, and an earlier link's error, are not its.
    void PortCreating();
    void PortCreated(); // it was made

    // The port goes: what a closed program left is dropped now.
    void PortDeleting();
    void PortOpened(const TLinkOptions& o);
    // The program closed the port. True when what it wrote still waits for the link: the
    // close goes on (PortCloseDrained) once it went out or its time ran out.
    bool PortClosing();
    // The event loop has turned since that close.
    void CloseReported() { closeJustReported_ = false; }
    void ResetCounters();
    // The window goes: no connection is used any more, and the endpoints close.
    void Shutdown();

    // ---- The timer's pace ----
    // Bytes can move (or a wait runs out): the timer should tick at its 5 ms pace.
    bool WantsPace() const;
    // The timer goes to its pace: the first tick at pace flushes.
    void AtPace() { flushTicks_ = qMax(flushTicks_, 1); }

    // ---- State ----
    TCustomWinSocket* DataConnection() const { return dataConnection_; }
    bool LinkError() const { return linkError_; }
    int32_t PendingCount() const { return pendingCount_; }
    bool SerialInputHeld() const { return serialInputHeld_; }
    bool SerialOutputHeld() const { return serialOutputHeld_; }
    int32_t SerialRxCount() const { return counters_.SerialRx; }
    int32_t SerialTxCount() const { return counters_.SerialTx; }
    int32_t LanRxCount() const { return counters_.LanRx; }
    int32_t LanTxCount() const { return counters_.LanTx; }
    bool TeaAnswered() const { return teaAnswered_; }
    int32_t KeepTicks() const { return keepTicks_; }
    int32_t FlushTicks() const { return flushTicks_; }
    bool ClientLinkUp() const;

private:
    enum class TSendResult {
        Whole, // the connection took it, or took part and the rest waits at the head of the store
        Nothing, // the connection would block
        Failed, // the error event has run inside the send (or the connection was already dead)
    };

    // Ping (1, 10) for a client link that is down, when the schedule says so and no attempt
    // is under way: its own result decides, and a reconnect would replace the connection it
    // is making.
    void RequestReconnect();
    // A connection that ends with bytes the module never acknowledged says how many.
    void TellUnacknowledged(TCustomWinSocket* socket);
    bool ClientLinkWanted() const;
    void ReconnectScheduleStep();
    // A module connection starts (client connect or accept): fresh TEA and NVT state.
    void StartConnection(TCustomWinSocket* socket);

    void ReadPort();
    void Read(TCustomWinSocket* socket);
    void Flush();
    bool AwaitingTea() const;
    void TeaWaitStep();
    // The module's bytes (after the NVT filter) into the port; what it does not take waits.
    void DeliverToPort(const uint8_t* bytes, int32_t n);
    bool DeliverHeldBlock(); // true when nothing waits any more
    void ResumeHeld();
    void NvtIacWaitStep(); // the timer's end of waiting for the byte behind a lone IAC
    void DeliverHeldIac(); // a lone IAC the receiver holds goes to the port as data
    void CloseDrainStep();
    bool ProgramBytesWaiting() const;
    void DropProgramBytes();
    void ShowCounters(); // the counters, if one changed since they were last shown
    void Keep();

    // A client connection whose error event has run is dead until the ping decides: it
    // does not count as a link to the module.
    bool LinkUsable() const;
    // One send of the whole store on the connection: counted, the rest moved to the front.
    // Returns what the connection took, or -1 (would block, or failed: the error event has
    // run inside the send).
    int SendPending(TCustomWinSocket* connection);
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
    // A new module connection is told the line settings of the first byte it will get (with
    // "NVT port setup" on), ahead of the store and behind the TEA answer.
    void TellLineSettings();
    // The module's modem lines (NOTIFY-MODEMSTATE), for a program that reads them.
    void ModuleModemState(int32_t state);
    void SendControlLine(const TControlLine& line, bool on);

    TVSPort& port_;
    TDataLinkEvents& events_;
    const TLinkTimings timings_;
    const bool portHearsLineFormat_;
    TLinkOptions opt_; // those of the event being handled
    std::unique_ptr<TClientSocket> client_;
    std::unique_ptr<TServerSocket> server_;

    TCustomWinSocket* dataConnection_ = nullptr;
    bool linkError_ = false;
    int32_t keepTicks_ = 0;
    int32_t flushTicks_ = 0;
    bool linkActivity_ = false;
    TLinkCounters counters_;
    bool countersChanged_ = false;

    std::unique_ptr<uint8_t[]> pendingBuffer_;
    int32_t pendingCount_ = 0;
    bool serialInputHeld_ = false;
    // The store's first bytes that belong to the current connection only: the rest of a
    // message the connection took in part, the TEA answer, the line settings told at its
    // start. Sent on another connection they would be garbage, so a new connection drops
    // them.
    int32_t pendingBoundCount_ = 0;
    // The program's line settings, and which of them go with the bytes in the store.
    TPendingSettings pendingSettings_;

    // Module to port: what the port did not take of the last block waits here, and the
    // connection is not read again until it is delivered, so TCP slows the module down
    // instead of the bytes being thrown away while the program is a little behind.
    bool serialOutputHeld_ = false;
    int32_t heldCount_ = 0;
    // One more than a block gives: the held IAC that joins it (DeliverHeldIac).
    uint8_t heldBlock_[ReceiveBlockSize + TNvtReceiver::MaxGrowth + 1] = {};

    bool teaAnswered_ = false;
    int32_t teaWaitTicks_ = 0;
    bool teaWaitOver_ = false;

    // NVT filter, module to program: what a received block leaves unfinished (a command
    // or an escaped 0xFF cut by the read) is taken up by the next. Reset when a module
    // connection starts.
    TNvtReceiver nvtReceiver_;
    int32_t nvtIacWaitTicks_ = 0;
    // An overlong subnegotiation is logged once per connection: a module that sends them
    // sends them all the time.
    bool nvtOverlongTold_ = false;

    // Client mode: while the link is wanted (port open, or "Connect to module if port is
    // closed" with the port created, or a closed program's bytes still waiting) and down, the
    // timer and every write ask this schedule for an attempt, so that a program that only
    // reads gets its link back and a module that refuses is not stormed.
    TReconnectSchedule reconnect_;
    bool portCreated_ = false;

    // What a program wrote and the link has not carried when it closes the port: the close
    // waits for it at most CloseDrainMs, as a serial line's close waits for its output,
    // with the link kept meanwhile; then it is dropped, with one log line.
    int32_t closeDrainTicks_ = -1; // ticks since such a close; -1: none waits
    bool closeJustReported_ = false; // that close, until the event loop's next turn
    bool discardClosedInput_ = false; // until the next open, the port's input is the old program's
};

} // namespace vsp
