#include "setup/Discovery.h"

#include <QStringList>
#include <algorithm>
#include <cstring>

namespace vsp {

namespace {

constexpr int TeaBlockSize = 8;
static_assert(ReplyMacCodeBlocks * TeaBlockSize == ReplyMacCodeOffset);

// Chain value of the CBC-MAC over bytes 0-39, starting from zero.
void ChainReplyBody(const uint8_t* data, uint32_t& y, uint32_t& z)
{
    y = 0;
    z = 0;
    for (int block = 0; block < ReplyMacCodeBlocks; ++block)
        TeaChainBlock(y, z, data + block * TeaBlockSize, DiscoveryKey);
}

} // namespace

std::array<uint8_t, DiscoveryDatagramSize> SearchRequest()
{
    std::array<uint8_t, DiscoveryDatagramSize> request {};
    std::fill_n(
        request.begin() + RequestAllModulesOffset, RequestAllModulesSize, RequestAllModulesByte);
    std::memcpy(request.data() + RequestLettersOffset, RequestLetters, sizeof RequestLetters - 1);
    std::memcpy(request.data() + MakerTagOffset, MakerTag, MakerTagSize);
    return request;
}

bool VerifyModuleReply(const uint8_t* data, int length)
{
    if (length != DiscoveryDatagramSize) return false;
    uint32_t y;
    uint32_t z;
    ChainReplyBody(data, y, z);
    TeaXorBlock(y, z, data + ReplyMacCodeOffset);
    return y == 0 && z == 0;
}

QString MacText(const uint8_t* mac6)
{
    QStringList parts;
    for (int i = 0; i < ReplyMacSize; ++i)
        parts << QStringLiteral("%1").arg(mac6[i], 2, 16, QLatin1Char('0')).toUpper();
    return parts.join(QLatin1Char(' '));
}

QString DottedText(const uint8_t* four)
{
    return QStringLiteral("%1.%2.%3.%4").arg(four[0]).arg(four[1]).arg(four[2]).arg(four[3]);
}

std::array<uint8_t, DiscoveryDatagramSize> MakeModuleReply(const std::array<uint8_t, 6>& mac,
    const std::array<uint8_t, 4>& ip, const std::array<uint8_t, 4>& mask,
    const std::array<uint8_t, 4>& gateway, uint8_t flags, uint16_t port)
{
    std::array<uint8_t, DiscoveryDatagramSize> reply {};
    std::copy(mac.begin(), mac.end(), reply.begin() + ReplyMacOffset);
    std::copy(ip.begin(), ip.end(), reply.begin() + ReplyIpOffset);
    std::copy(mask.begin(), mask.end(), reply.begin() + ReplyMaskOffset);
    std::copy(gateway.begin(), gateway.end(), reply.begin() + ReplyGatewayOffset);
    reply[ReplyFlagsOffset] = flags;
    reply[ReplyPortOffset] = static_cast<uint8_t>(port >> 8);
    reply[ReplyPortOffset + 1] = static_cast<uint8_t>(port);
    uint32_t y;
    uint32_t z;
    ChainReplyBody(reply.data(), y, z);
    TeaStoreBlock(y, z, reply.data() + ReplyMacCodeOffset);
    return reply;
}

} // namespace vsp
