#include "link/Nvt.h"

#include "link/Telnet.h"

#include <cstring>

namespace vsp {

using namespace telnet;

int32_t NvtEscapeOutgoing(uint8_t* bytes, int32_t count)
{
    if (count <= 0) return 0;
    int32_t doubled = 0;
    for (int32_t i = 0; i < count; ++i)
        doubled += bytes[i] == IAC;
    // Fill from the back so every byte moves once and nothing unread is overwritten.
    int32_t to = count + doubled;
    for (int32_t from = count - 1; from >= 0 && to > from; --from) {
        bytes[--to] = bytes[from];
        if (bytes[from] == IAC) bytes[--to] = IAC;
    }
    return count + doubled;
}

static bool IsNegotiation(uint8_t command)
{
    return command == WILL || command == WONT || command == DO || command == DONT;
}

// Index of the SE that ends the subnegotiation opened at block[0..1], or -1. IAC IAC
// inside is a data byte 0xFF: its second IAC must not be taken for the one before SE.
static int32_t SubnegotiationEnd(const uint8_t* block, int32_t count)
{
    int32_t i = 2;
    while (i + 1 < count) {
        if (block[i] != IAC) {
            ++i;
            continue;
        }
        if (block[i + 1] == SE) return i + 1;
        i += 2;
    }
    return -1;
}

int32_t StripLeadingCommands(uint8_t* block, int32_t count)
{
    if (count <= 0) return 0;
    int32_t start = 0;
    while (count - start > 1 && block[start] == IAC) {
        const uint8_t* at = block + start;
        const int32_t left = count - start;
        const uint8_t command = at[1];
        if (command == IAC) break; // an escaped data byte: the incoming unescape makes it one 0xFF
        if (command == SB) {
            const int32_t end = SubnegotiationEnd(at, left);
            if (end < 0) return 0;
            start += end + 1;
        } else if (IsNegotiation(command)) {
            if (left < 3) return 0; // the option byte is not in this block
            start += 3;
        } else {
            start += 2;
        }
    }
    if (start > 0) std::memmove(block, block + start, static_cast<size_t>(count - start));
    return count - start;
}

int32_t NvtUnescapeIncoming(uint8_t* block, int32_t count)
{
    if (count <= 0) return 0;
    int32_t to = 0;
    for (int32_t from = 0; from < count; ++from) {
        block[to++] = block[from];
        if (block[from] == IAC && from + 1 < count && block[from + 1] == IAC) ++from;
    }
    return to;
}

int32_t TNvtReceiver::Receive(uint8_t* block, int32_t count)
{
    if (count <= 0) return 0;
    // A block starts at the front unless the last one left a command or an escape open.
    if (state_ == TState::Data) state_ = TState::FrontStart;
    int32_t out = 0;
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t byte = block[i];
        switch (state_) {
        case TState::FrontStart:
            if (byte == IAC) {
                state_ = TState::FrontIac;
            } else {
                block[out++] = byte;
                state_ = TState::Data;
            }
            break;
        case TState::FrontIac:
            if (byte == IAC) {
                block[out++] = IAC; // an escaped data byte: the front ends with it
                state_ = TState::Data;
            } else if (byte == SB) {
                subnegotiationLength_ = 2;
                state_ = TState::FrontSubnegotiation;
            } else if (IsNegotiation(byte)) {
                state_ = TState::FrontNegotiation;
            } else {
                state_ = TState::FrontStart; // a two-byte command, dropped
            }
            break;
        case TState::FrontNegotiation:
            state_ = TState::FrontStart; // the option byte goes with its command
            break;
        case TState::FrontSubnegotiation:
            ++subnegotiationLength_;
            if (byte == IAC) state_ = TState::FrontSubnegotiationIac;
            break;
        case TState::FrontSubnegotiationIac:
            ++subnegotiationLength_;
            // IAC IAC inside is a data byte 0xFF: its second IAC is not the one before SE.
            state_ = byte == SE ? TState::FrontStart : TState::FrontSubnegotiation;
            break;
        case TState::Data:
            block[out++] = byte;
            if (byte == IAC) state_ = TState::DataIac;
            break;
        case TState::DataIac:
            if (byte != IAC) block[out++] = byte;
            state_ = TState::Data;
            break;
        }
    }
    if ((state_ == TState::FrontSubnegotiation || state_ == TState::FrontSubnegotiationIac)
        && subnegotiationLength_ > SubnegotiationLimit)
        state_ = TState::FrontStart;
    return out;
}

static TelnetFrame FrameOf(uint8_t command, const uint8_t* value, int valueSize)
{
    TelnetFrame frame;
    int n = 0;
    frame.Bytes[n++] = IAC;
    frame.Bytes[n++] = SB;
    frame.Bytes[n++] = COM_PORT_OPTION;
    frame.Bytes[n++] = command;
    for (int i = 0; i < valueSize; ++i) {
        frame.Bytes[n++] = value[i];
        if (value[i] == IAC) frame.Bytes[n++] = IAC;
    }
    frame.Bytes[n++] = IAC;
    frame.Bytes[n++] = SE;
    frame.Size = n;
    return frame;
}

TelnetFrame PortControlFrame(uint8_t command, uint8_t value)
{
    return FrameOf(command, &value, 1);
}

TelnetFrame BaudRateFrame(int32_t baudRate)
{
    const auto bits = static_cast<uint32_t>(baudRate);
    const uint8_t value[4] = { static_cast<uint8_t>(bits >> 24), static_cast<uint8_t>(bits >> 16),
        static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits) };
    return FrameOf(SET_BAUDRATE, value, 4);
}

TelnetFrame KeepConnectionMessage()
{
    TelnetFrame frame;
    frame.Bytes[0] = IAC;
    frame.Bytes[1] = NOP;
    frame.Size = 2;
    return frame;
}

} // namespace vsp
