// The port's control channel: any line a program (or anything of this user's) can send,
// and any answer it can get. A line taken as valid formats back to exactly itself, so two
// readings of one line never differ.
#include "vport/PortChannel.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    vsp_channel_request r {};
    if (vsp_channel_parse_request(text, size, &r)) {
        char back[VSP_CHANNEL_LINE_MAX];
        const size_t n = vsp_channel_format(&r, back, sizeof back);
        if (n != size || std::memcmp(back, text, n) != 0) __builtin_trap();
    }
    int lines = 0;
    if (vsp_channel_parse_answer(text, size, &lines)) {
        char back[VSP_CHANNEL_LINE_MAX];
        const size_t n = vsp_channel_format_answer(lines, back, sizeof back);
        if (n != size || std::memcmp(back, text, n) != 0) __builtin_trap();
    }
    return 0;
}
