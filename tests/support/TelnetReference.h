#pragma once
// A second Telnet decoder, written from RFC 854 and the few rules for malformed input that
// the link promises, to judge the receiver by. It looks at a whole stream at once, by index,
// with no state carried between reads, so it shares nothing with the receiver's state
// machine: where the two agree on every stream and every cut of it, the receiver is right.
// Plain C++ without Qt, for the fuzz target as well as the tests.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vsptest {

struct TelnetDecoded {
    std::vector<uint8_t> Data; // what the program gets once the stream has ended
    int DroppedSubnegotiations = 0; // given up at the length limit
};

// RFC 854 names, spelled out here again on purpose: nothing is taken from the program.
inline TelnetDecoded DecodeTelnetStream(
    const uint8_t* stream, size_t size, size_t subnegotiationLimit)
{
    constexpr uint8_t iac = 255, sb = 250, se = 240, will = 251, dont = 254;
    constexpr uint8_t lowestCommand = 240; // SE; below it, IAC x is no command
    TelnetDecoded out;
    size_t i = 0;
    while (i < size) {
        if (stream[i] != iac) {
            out.Data.push_back(stream[i++]);
            continue;
        }
        if (i + 1 == size) { // nothing came after it: a data byte, once the wait is over
            out.Data.push_back(iac);
            break;
        }
        const uint8_t command = stream[i + 1];
        if (command == iac) { // escaped data byte
            out.Data.push_back(iac);
            i += 2;
        } else if (command < lowestCommand) { // an unescaped 0xFF and a data byte
            out.Data.push_back(iac);
            out.Data.push_back(command);
            i += 2;
        } else if (command >= will && command <= dont) { // option negotiation: 3 bytes
            i += 3;
        } else if (command == sb) {
            // Look for IAC SE within the limit, counted from IAC SB; IAC and any byte inside
            // is one pair of content.
            const size_t window = i + subnegotiationLimit; // first index past the limit
            size_t j = i + 2;
            bool closed = false, iacLast = false;
            while (j < size && j < window) {
                if (stream[j] != iac) {
                    ++j;
                    continue;
                }
                if (j + 1 == window) { // an IAC in the last place begins what follows
                    iacLast = true;
                    break;
                }
                if (j + 1 < size && stream[j + 1] == se) {
                    closed = true;
                    break;
                }
                j += 2;
            }
            if (closed) {
                i = j + 2;
            } else if (iacLast) {
                ++out.DroppedSubnegotiations;
                i = j;
            } else if (window > size) {
                break; // still open when the stream ended
            } else {
                ++out.DroppedSubnegotiations;
                i = window;
            }
        } else { // any other command: IAC and one byte
            i += 2;
        }
    }
    return out;
}

} // namespace vsptest
