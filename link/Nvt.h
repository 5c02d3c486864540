#pragma once
// The little Telnet (NVT) the data link needs: 0xFF escaping in both directions, removal
// of the commands a module puts at the front of a received block, the RFC 2217
// port-control frame and the keep-connection message. Pure functions over bytes and one
// small receiver that keeps the stream's state between blocks; the relay decides when each
// applies and does the sending.

#include <cstdint>

namespace vsp {

// Application to module: doubles every 0xFF among the count bytes, in place. The caller
// provides room for 2 * count bytes. Returns the new count.
int32_t NvtEscapeOutgoing(uint8_t* bytes, int32_t count);

// Removes the Telnet commands that lead a received block and returns the new count (0
// when nothing is left for the application). Only the front of the block is looked at:
// commands after the first data byte pass as data. Removed:
//  - IAC WILL/WONT/DO/DONT together with their option byte (a negotiation cut off at
//    the end of the block is dropped);
//  - IAC SB ... IAC SE (IAC IAC inside is an escaped data byte, not an end); when the
//    block holds no IAC SE, the whole block is dropped;
//  - IAC followed by any other command byte (two bytes).
// IAC IAC at the front is an escaped data byte: it is left for NvtUnescapeIncoming, so
// it reaches the application as one 0xFF like the same pair anywhere else. A block that
// is (or ends up as) a lone 0xFF keeps it as data.
int32_t StripLeadingCommands(uint8_t* block, int32_t count);

// Module to application: every 0xFF 0xFF pair becomes one 0xFF, in place, walking left
// to right (0xFF 0xFF 0xFF 0xFF gives 0xFF 0xFF; a lone 0xFF stays). Returns the new
// count.
int32_t NvtUnescapeIncoming(uint8_t* block, int32_t count);

// The receive side of "NVT filter" as one stream: leading-command removal and the 0xFF
// unescape of each received block, with what a block leaves unfinished carried into the
// next one. A read takes what TCP happens to have, so a block can end inside a command at
// the front (IAC alone, a negotiation before its option, a subnegotiation before its IAC
// SE) or after the first half of an escaped 0xFF; the rest of it is taken as if the next
// block had been appended. A block that opens fresh still has its own leading commands
// removed, as every block has (RFC 2217 servers answer with a block that starts with one).
// One object per link; Reset() at every new connection.
class TNvtReceiver {
public:
    // The longest subnegotiation followed across reads; one that runs on past it is given
    // up at the end of a block, as one whose IAC SE is not in its block always was.
    static constexpr int32_t SubnegotiationLimit = 1024;

    void Reset() { state_ = TState::FrontStart; }
    // Processes one received block in place; returns the number of bytes for the program
    // (never more than count).
    int32_t Receive(uint8_t* block, int32_t count);

private:
    enum class TState {
        FrontStart, // at the front of a block: an IAC opens a command
        FrontIac, // IAC at the front: the next byte says what it is
        FrontNegotiation, // IAC WILL/WONT/DO/DONT: the option byte comes next
        FrontSubnegotiation, // IAC SB ...: until IAC SE
        FrontSubnegotiationIac, // IAC inside it: SE ends it, anything else is skipped
        Data, // after the first data byte: commands pass as data, IAC IAC is one 0xFF
        DataIac, // a 0xFF went to the program; a 0xFF right behind it is its escape
    };
    TState state_ = TState::FrontStart;
    int32_t subnegotiationLength_ = 0;
};

// One frame to put on the wire as it is: not escaped again, never counted as relay data.
struct TelnetFrame {
    static constexpr int Capacity = 14; // SET-BAUDRATE with all four value bytes doubled
    uint8_t Bytes[Capacity] = {};
    int Size = 0;
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
