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

TNvtReceiver::TResult TNvtReceiver::Receive(const uint8_t* in, int32_t count, uint8_t* out)
{
    TResult result;
    int32_t n = 0;
    int32_t i = 0;
    while (i < count) {
        const uint8_t byte = in[i];
        switch (state_) {
        case TState::Data: {
            // Data runs between commands are copied whole: most reads hold no IAC at all.
            const auto* iac = static_cast<const uint8_t*>(
                std::memchr(in + i, IAC, static_cast<size_t>(count - i)));
            const int32_t run = iac ? int32_t(iac - (in + i)) : count - i;
            std::memcpy(out + n, in + i, static_cast<size_t>(run));
            n += run;
            i += run;
            if (iac) {
                state_ = TState::Iac;
                ++i;
            }
            continue;
        }
        case TState::Iac:
            if (byte == IAC) {
                out[n++] = IAC; // an escaped data byte
                state_ = TState::Data;
            } else if (byte < FirstCommand) {
                // No command: a 0xFF the module did not escape, and the byte behind it.
                out[n++] = IAC;
                out[n++] = byte;
                state_ = TState::Data;
            } else if (byte == SB) {
                subnegotiationLength_ = 2;
                state_ = TState::Subnegotiation;
            } else if (IsNegotiation(byte)) {
                state_ = TState::Negotiation;
            } else {
                state_ = TState::Data; // a two-byte command, dropped
            }
            break;
        case TState::Negotiation:
            state_ = TState::Data; // the option byte goes with its command
            break;
        case TState::Subnegotiation:
        case TState::SubnegotiationIac: {
            ++subnegotiationLength_;
            const bool afterIac = state_ == TState::SubnegotiationIac;
            if (afterIac && byte == SE) {
                state_ = TState::Data;
                break;
            }
            // IAC IAC inside is a content byte 0xFF: its second IAC is not the one before SE.
            state_ = !afterIac && byte == IAC ? TState::SubnegotiationIac : TState::Subnegotiation;
            if (subnegotiationLength_ >= SubnegotiationLimit) {
                // Given up. An IAC in the last place may begin an IAC SE or a command: it is
                // read afresh with the bytes that follow.
                ++result.SubnegotiationsDropped;
                state_ = state_ == TState::SubnegotiationIac ? TState::Iac : TState::Data;
            }
            break;
        }
        }
        ++i;
    }
    result.Count = n;
    return result;
}

bool TNvtReceiver::TakeHeldIac()
{
    if (state_ != TState::Iac) return false;
    state_ = TState::Data;
    return true;
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

bool TelnetFrames::Add(const TelnetFrame& frame)
{
    if (Size + frame.Size > Capacity) return false;
    std::memcpy(Bytes + Size, frame.Bytes, static_cast<size_t>(frame.Size));
    Size += frame.Size;
    return true;
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
