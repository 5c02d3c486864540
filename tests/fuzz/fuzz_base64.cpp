// Base64Decode with any text and any output room, the encode / decode pair, and the
// challenge answer over any first block.
#include "link/Tea.h"

#include <cstddef>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 2048) return 0;
    // The first byte chooses the room, the rest is the text.
    const int room = data[0] % 32;
    const char* text = reinterpret_cast<const char*>(data + 1);
    const int n = static_cast<int>(size - 1);
    std::vector<uint8_t> out(static_cast<size_t>(room));
    if (vsp::Base64Decode(text, n, out.data(), room) != (n & 0xFF)) __builtin_trap();

    // Decoding what was encoded gives back every byte the dialect keeps.
    const uint8_t* bytes = data + 1;
    std::vector<char> encoded(static_cast<size_t>(vsp::Base64EncodedLength(n)) + 1);
    vsp::Base64Encode(bytes, n, encoded.data());
    if (std::strlen(encoded.data()) != encoded.size() - 1) __builtin_trap();
    const int kept = n / 3 * 3 + (n % 3 == 2 ? 1 : 0);
    std::vector<uint8_t> decoded(static_cast<size_t>(kept) + 1);
    vsp::Base64Decode(
        encoded.data(), static_cast<int>(encoded.size() - 1), decoded.data(), kept + 1);
    if (decoded[static_cast<size_t>(kept)] != 0 || std::memcmp(decoded.data(), bytes, kept) != 0)
        __builtin_trap();

    const vsp::TeaKey key { { 0x3A7F19C2, 0xB04E6D15, 0x5C92E8A1, 0x0F63D7B4 } };
    const vsp::TeaAnswer answer = vsp::AnswerTeaChallengeBytes(bytes, n, key);
    if (answer.CrcOk && std::strlen(answer.Response) != vsp::TeaChallengeChars) __builtin_trap();
    if (!answer.CrcOk && answer.Response[0] != 0) __builtin_trap();
    return 0;
}
