#pragma once
// The little Telnet (NVT) the data link needs: 0xFF escaping in both directions, removal
// of the commands a module puts into its stream, the RFC 2217 port-control frame and the
// keep-connection message. Pure functions over bytes and one small receiver that keeps the
// stream's state between reads; the relay decides when each applies and does the sending.

#include <cstdint>

namespace vsp {

// Application to module: doubles every 0xFF among the count bytes, in place. The caller
// provides room for 2 * count bytes. Returns the new count.
int32_t NvtEscapeOutgoing(uint8_t* bytes, int32_t count);

// The receive side of "NVT filter": one stream state machine that takes every Telnet
// command out of what the module sends, wherever it stands and however TCP cut the stream
// into reads, and turns IAC IAC back into one 0xFF. RFC 2217 servers answer each setting and
// may report line state at any moment, so a command can follow data in the same read.
//
// Removed: IAC and a command byte (0xF0-0xF9: SE, NOP, DM, BRK, IP, AO, AYT, EC, EL, GA);
// IAC WILL/WONT/DO/DONT with their option byte; IAC SB ... IAC SE with its content (IAC IAC
// inside is one content byte, not the IAC of the end). Every other byte reaches the program
// unchanged and in order.
//
// Malformed input costs bounded data and says so:
//  - IAC followed by a byte below 0xF0 is no command: the module did not escape its 0xFF,
//    and both bytes are data;
//  - IAC last in a read waits for the next one to say what it is; the owner gives up on it
//    after a short while (TakeHeldIac) and it is data;
//  - a subnegotiation not closed within SubnegotiationLimit bytes ends there: its bytes are
//    dropped, the result says so, and what follows is read afresh (an IAC in its last
//    place with it, since it may begin the IAC SE one byte too late).
// One object per link; Reset() at every new connection. No I/O, no logging: the owner does
// both with what Receive returns.
class TNvtReceiver {
public:
    // The longest subnegotiation taken whole, IAC SB and IAC SE included. RFC 2217 frames are
    // at most 14 bytes even with every value byte doubled.
    static constexpr int32_t SubnegotiationLimit = 64;
    // What one read can add: the IAC the last read ended with, found to be data.
    static constexpr int32_t MaxGrowth = 1;

    struct TResult {
        int32_t Count = 0; // bytes written for the program
        int32_t SubnegotiationsDropped = 0; // given up at the limit in this read
    };

    void Reset() { state_ = TState::Data; }
    // Processes count bytes from `in` into `out`, which has room for count + MaxGrowth bytes
    // and does not overlap `in`.
    TResult Receive(const uint8_t* in, int32_t count, uint8_t* out);
    // The last read ended with a lone IAC that waits for the next one.
    bool HoldsIac() const { return state_ == TState::Iac; }
    // Gives up waiting: true when an IAC was held, which is then one data byte 0xFF.
    bool TakeHeldIac();

private:
    enum class TState {
        Data, // between commands
        Iac, // IAC seen: the next byte says what it is
        Negotiation, // IAC WILL/WONT/DO/DONT: the option byte comes next
        Subnegotiation, // IAC SB ...: until IAC SE
        SubnegotiationIac, // IAC inside it: SE ends it, anything else is content
    };
    TState state_ = TState::Data;
    int32_t subnegotiationLength_ = 0;
};

// One frame to put on the wire as it is: not escaped again, never counted as relay data.
struct TelnetFrame {
    static constexpr int Capacity = 14; // SET-BAUDRATE with all four value bytes doubled
    uint8_t Bytes[Capacity] = {};
    int Size = 0;
};

// Frames that go out together, one behind the other: the five of the line settings at most.
struct TelnetFrames {
    static constexpr int Capacity = 5 * TelnetFrame::Capacity;
    uint8_t Bytes[Capacity] = {};
    int Size = 0;
    // Appends the frame when there is room; false (and nothing added) when there is not.
    bool Add(const TelnetFrame& frame);
};

// IAC SB COM-PORT-OPTION command value IAC SE (7 bytes). A value byte 0xFF goes as IAC IAC
// (RFC 854): sent single, an RFC 2217 server takes it for the start of the closing IAC SE
// and reads on into the data behind the frame (ser2net does).
TelnetFrame PortControlFrame(uint8_t command, uint8_t value);

// The SET-BAUDRATE frame: the rate as 4 bytes, most significant first (10 bytes unless a
// value byte is 0xFF). The 32-bit pattern is sent as it is, whatever its sign.
TelnetFrame BaudRateFrame(int32_t baudRate);

// IAC NOP.
TelnetFrame KeepConnectionMessage();

} // namespace vsp
