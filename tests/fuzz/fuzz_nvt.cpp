// Received bytes through StripLeadingCommands and the unescape, the same bytes cut into
// several reads through the receiver the relay uses, and any application bytes through
// the whole escape / strip / unescape path.
//
// Input: one byte that picks where the reads end, then the bytes themselves.
#include "link/Nvt.h"
#include "link/Telnet.h"

#include <cstddef>
#include <cstring>
#include <vector>

namespace {

using vsp::TNvtReceiver;
using vsp::telnet::IAC;

// The reads through one receiver; each read gets a buffer of exactly its size, so ASan
// sees any access beyond it.
std::vector<uint8_t> Receive(const uint8_t* data, size_t size, const std::vector<size_t>& cuts)
{
    TNvtReceiver receiver;
    std::vector<uint8_t> out;
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        const size_t to = i < cuts.size() ? cuts[i] : size;
        std::vector<uint8_t> block(data + from, data + to);
        const auto n = static_cast<int32_t>(block.size());
        const int32_t got = block.empty() ? 0 : receiver.Receive(block.data(), n);
        if (got < 0 || got > n) __builtin_trap();
        out.insert(out.end(), block.begin(), block.begin() + got);
        from = to;
    }
    return out;
}

// A read that opens with IAC and anything but a second IAC has its leading command
// removed, whatever came before; any other cut must not change what the program gets.
bool OpensWithCommand(const uint8_t* data, size_t size, size_t cut)
{
    return data[cut] == IAC && (cut + 1 == size || data[cut + 1] != IAC);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize)
{
    // Within the receiver's subnegotiation limit, so that a long one is followed whole.
    if (inputSize < 1 || inputSize > 1 + size_t(TNvtReceiver::SubnegotiationLimit)) return 0;
    const unsigned step = 1u + input[0] % 64u;
    const uint8_t* data = input + 1;
    const size_t size = inputSize - 1;
    const auto n = static_cast<int32_t>(size);

    // As one received block, through the stateless functions.
    std::vector<uint8_t> block(data, data + size);
    int32_t left = block.empty() ? 0 : vsp::StripLeadingCommands(block.data(), n);
    if (left < 0 || left > n) __builtin_trap();
    const int32_t shown = vsp::NvtUnescapeIncoming(block.data(), left);
    if (shown < 0 || shown > left) __builtin_trap();

    // The same bytes in one read and cut every `step` bytes.
    const std::vector<uint8_t> whole = Receive(data, size, {});
    std::vector<size_t> cuts;
    bool splitMatters = false;
    for (size_t cut = step; cut < size; cut += step) {
        cuts.push_back(cut);
        splitMatters = splitMatters || OpensWithCommand(data, size, cut);
    }
    const std::vector<uint8_t> pieces = Receive(data, size, cuts);
    if (!splitMatters && pieces != whole) __builtin_trap();
    // And every cut in two.
    for (size_t cut = 1; cut < size && size <= 256; ++cut)
        if (!OpensWithCommand(data, size, cut) && Receive(data, size, { cut }) != whole)
            __builtin_trap();

    // As application bytes: whatever is escaped arrives unchanged.
    std::vector<uint8_t> wire(size * 2);
    if (size) std::memcpy(wire.data(), data, size);
    int32_t sent = vsp::NvtEscapeOutgoing(wire.data(), n);
    if (sent < n || sent > 2 * n) __builtin_trap();
    wire.resize(static_cast<size_t>(sent));
    int32_t got = sent;
    if (got > 0 && wire[0] == IAC) got = vsp::StripLeadingCommands(wire.data(), got);
    got = vsp::NvtUnescapeIncoming(wire.data(), got);
    if (got != n || (n && std::memcmp(wire.data(), data, size) != 0)) __builtin_trap();
    return 0;
}
