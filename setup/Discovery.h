#pragma once
// The two datagrams of module discovery, byte by byte: the search request we broadcast
// and the authenticated reply a module sends back; and the text forms the module list
// shows. No sockets here: the discovery worker does the sending and receiving.

#include "link/Tea.h"

#include <QString>
#include <array>
#include <cstdint>

namespace vsp {

// The key modules authenticate their replies with. Not the user's TEA key.
constexpr TeaKey DiscoveryKey { { 0x6B3E1F7A, 0xC4D25E09, 0x1A8F6B33, 0x9E07C4D1 } };
// The 16 characters that close the search request and name the maker.
constexpr char MakerTag[] = "VSP SEARCH v2.18";
// Modules listen here; the search is broadcast to this port.
constexpr uint16_t DiscoveryPort = 9999;

constexpr int DiscoveryDatagramSize = 48; // request and reply alike

// Search request layout: the letters stand over the reply fields they would fill.
constexpr int RequestAllModulesOffset = 0; // 6 x 0xFF: every MAC address
constexpr uint8_t RequestAllModulesByte = 0xFF;
constexpr int RequestAllModulesSize = 6;
constexpr char RequestLetters[] = "IIIIMMMMFFFFWWWWUC12345678"; // bytes 6-31
constexpr int RequestLettersOffset = 6;
constexpr int MakerTagOffset = 32; // 16 bytes, no terminator
constexpr int MakerTagSize = 16;
static_assert(sizeof MakerTag - 1 == MakerTagSize);
static_assert(RequestLettersOffset + int(sizeof RequestLetters) - 1 == MakerTagOffset);

// Module reply layout. Multi-byte numbers are big-endian.
constexpr int ReplyMacOffset = 0; // 6 bytes
constexpr int ReplyMacSize = 6;
constexpr int ReplyIpOffset = 6; // 4 bytes, first dotted part first
constexpr int ReplyMaskOffset = 10; // 4 bytes
constexpr int ReplyGatewayOffset = 24; // 4 bytes
constexpr int ReplyFlagsOffset = 28; // 1 byte
constexpr uint8_t ReplyFlagTea = 0x01; // the module asks for TEA authentication
constexpr uint8_t ReplyFlagNvt = 0x02; // the module speaks NVT on its data port
constexpr int ReplyPortOffset = 30; // 2 bytes: the TCP data port, 0 for none
constexpr int ReplyMacCodeOffset = 40; // 8 bytes: TEA CBC-MAC of bytes 0-39
constexpr int ReplyMacCodeBlocks = 5;

// The 48-byte request; it carries no authentication code.
std::array<uint8_t, DiscoveryDatagramSize> SearchRequest();

// True only for a 48-byte datagram whose bytes 40-47 are the CBC-MAC of bytes 0-39 under
// the DiscoveryKey. Any other length is rejected outright.
bool VerifyModuleReply(const uint8_t* data, int length);

// "12 34 56 78 9A BC": two upper-case hex digits per byte, single blanks between.
QString MacText(const uint8_t* mac6);
// "192.168.1.1": four bytes in decimal.
QString DottedText(const uint8_t* four);

// Fields of a verified 48-byte reply.
inline QString ReplyMacText(const uint8_t* reply)
{
    return MacText(reply + ReplyMacOffset);
}
inline QString ReplyIpText(const uint8_t* reply)
{
    return DottedText(reply + ReplyIpOffset);
}
inline QString ReplyMaskText(const uint8_t* reply)
{
    return DottedText(reply + ReplyMaskOffset);
}
inline QString ReplyGatewayText(const uint8_t* reply)
{
    return DottedText(reply + ReplyGatewayOffset);
}
inline bool ReplyTeaEnabled(const uint8_t* reply)
{
    return reply[ReplyFlagsOffset] & ReplyFlagTea;
}
inline bool ReplyNvtEnabled(const uint8_t* reply)
{
    return reply[ReplyFlagsOffset] & ReplyFlagNvt;
}
inline uint16_t ReplyPort(const uint8_t* reply)
{
    return static_cast<uint16_t>(reply[ReplyPortOffset] << 8 | reply[ReplyPortOffset + 1]);
}

// A reply as a module builds it, authentication code included (for tests and simulated
// modules).
std::array<uint8_t, DiscoveryDatagramSize> MakeModuleReply(const std::array<uint8_t, 6>& mac,
    const std::array<uint8_t, 4>& ip, const std::array<uint8_t, 4>& mask,
    const std::array<uint8_t, 4>& gateway, uint8_t flags, uint16_t port);

} // namespace vsp
