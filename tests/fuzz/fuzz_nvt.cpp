// Received blocks through StripLeadingCommands and the unescape, and any application
// bytes through the whole escape / strip / unescape path.
#include "link/Nvt.h"
#include "link/Telnet.h"

#include <cstddef>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 4096) return 0;
    const auto n = static_cast<int32_t>(size);

    // As a received block: exactly its size, so ASan sees any access beyond it.
    std::vector<uint8_t> block(data, data + size);
    int32_t left = block.empty() ? 0 : vsp::StripLeadingCommands(block.data(), n);
    if (left < 0 || left > n) __builtin_trap();
    const int32_t shown = vsp::NvtUnescapeIncoming(block.data(), left);
    if (shown < 0 || shown > left) __builtin_trap();

    // As application bytes: whatever is escaped arrives unchanged.
    std::vector<uint8_t> wire(size * 2);
    if (size) std::memcpy(wire.data(), data, size);
    int32_t sent = vsp::NvtEscapeOutgoing(wire.data(), n);
    if (sent < n || sent > 2 * n) __builtin_trap();
    wire.resize(static_cast<size_t>(sent));
    int32_t got = sent;
    if (got > 0 && wire[0] == vsp::telnet::IAC) got = vsp::StripLeadingCommands(wire.data(), got);
    got = vsp::NvtUnescapeIncoming(wire.data(), got);
    if (got != n || (n && std::memcmp(wire.data(), data, size) != 0)) __builtin_trap();
    return 0;
}
