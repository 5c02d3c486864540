// Any datagram through the reply check: only a 48-byte one may ever pass.
#include "setup/Discovery.h"

#include <cstddef>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 256) return 0;
    const std::vector<uint8_t> datagram(data, data + size);
    if (vsp::VerifyModuleReply(datagram.data(), static_cast<int>(size))
        && size != vsp::DiscoveryDatagramSize)
        __builtin_trap();
    return 0;
}
