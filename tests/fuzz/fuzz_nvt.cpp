// The module's bytes through the receiver the relay uses: in one read, cut every `step`
// bytes, and cut into two and into three reads at every place (places before a command
// included). Every way must give the same bytes, and they must be what a second decoder,
// written from RFC 854 in tests/support/TelnetReference.h, reads in the whole stream. Then
// any application bytes through the escape and back.
//
// Input: one byte that picks where the reads end, then the bytes themselves.
#include "link/Nvt.h"
#include "link/Telnet.h"
#include "tests/support/TelnetReference.h"

#include <cstddef>
#include <cstring>
#include <vector>

namespace {

using vsp::TNvtReceiver;

struct Reads {
    std::vector<uint8_t> data;
    int dropped = 0;
    bool heldIac = false;
};

// The reads through one receiver; each read gets buffers of exactly the promised size, so
// ASan sees any access beyond them.
Reads Receive(const uint8_t* data, size_t size, const std::vector<size_t>& cuts)
{
    TNvtReceiver receiver;
    Reads r;
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        const size_t to = i < cuts.size() ? cuts[i] : size;
        const std::vector<uint8_t> block(data + from, data + to);
        const auto n = static_cast<int32_t>(block.size());
        std::vector<uint8_t> out(block.size() + TNvtReceiver::MaxGrowth);
        const TNvtReceiver::TResult got = receiver.Receive(block.data(), n, out.data());
        if (got.Count < 0 || got.Count > n + TNvtReceiver::MaxGrowth) __builtin_trap();
        r.data.insert(r.data.end(), out.begin(), out.begin() + got.Count);
        r.dropped += got.SubnegotiationsDropped;
        from = to;
    }
    r.heldIac = receiver.HoldsIac();
    return r;
}

// Cut in three reads at every pair of places up to this size; in two at every place up to
// the next. Beyond, the step cuts alone (a few thousand reads per input keep the rate up).
constexpr size_t AllThreeWayCutsUpTo = 24;
constexpr size_t AllTwoWayCutsUpTo = 128;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize)
{
    if (inputSize < 1 || inputSize > 4097) return 0;
    const unsigned step = 1u + input[0] % 64u;
    const uint8_t* data = input + 1;
    const size_t size = inputSize - 1;

    const Reads whole = Receive(data, size, {});
    // Once the wait for a lone IAC at the end is over, the program holds what the second
    // decoder reads in the whole stream; both gave up the same subnegotiations.
    std::vector<uint8_t> settled = whole.data;
    if (whole.heldIac) settled.push_back(vsp::telnet::IAC);
    const vsptest::TelnetDecoded reference = vsptest::DecodeTelnetStream(
        data, size, static_cast<size_t>(TNvtReceiver::SubnegotiationLimit));
    if (settled != reference.Data || whole.dropped != reference.DroppedSubnegotiations)
        __builtin_trap();

    auto same = [&](const std::vector<size_t>& cuts) {
        const Reads r = Receive(data, size, cuts);
        return r.data == whole.data && r.heldIac == whole.heldIac && r.dropped == whole.dropped;
    };
    std::vector<size_t> cuts;
    for (size_t cut = step; cut < size; cut += step)
        cuts.push_back(cut);
    if (!same(cuts)) __builtin_trap();
    for (size_t a = 1; a < size && size <= AllTwoWayCutsUpTo; ++a) {
        if (!same({ a })) __builtin_trap();
        for (size_t b = a + 1; b < size && size <= AllThreeWayCutsUpTo; ++b)
            if (!same({ a, b })) __builtin_trap();
    }

    // As application bytes: whatever is escaped arrives unchanged.
    const auto n = static_cast<int32_t>(size);
    std::vector<uint8_t> wire(size * 2);
    if (size) std::memcpy(wire.data(), data, size);
    const int32_t sent = vsp::NvtEscapeOutgoing(wire.data(), n);
    if (sent < n || sent > 2 * n) __builtin_trap();
    const Reads back = Receive(wire.data(), static_cast<size_t>(sent), { size_t(sent) / 2 });
    if (back.heldIac || back.data.size() != size
        || (size && std::memcmp(back.data.data(), data, size) != 0))
        __builtin_trap();
    return 0;
}
