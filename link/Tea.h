#pragma once
// TEA (Wheeler & Needham's Tiny Encryption Algorithm: 64-bit block, 128-bit key) and the
// Base64 dialect of the module protocols, plus the data link's challenge answer. Words
// are always formed from bytes most significant first.
//
// The key is passed to every routine: the data link's answer and the discovery check
// each hold their own key, so neither can disturb the other whatever thread it runs on.

#include <QString>
#include <array>
#include <cstdint>
#include <optional>

namespace vsp {

struct TeaKey {
    uint32_t k[4];
};

// One TEA encipherment (32 rounds) of the block (y, z), in place.
void TeaEncipher(uint32_t& y, uint32_t& z, const TeaKey& key);
// CBC step: y ^= word(block8[0..3]), z ^= word(block8[4..7]), then TeaEncipher.
void TeaChainBlock(uint32_t& y, uint32_t& z, const uint8_t* block8, const TeaKey& key);
// The two XORs of TeaChainBlock without enciphering.
void TeaXorBlock(uint32_t& y, uint32_t& z, const uint8_t* block8);
// Writes y then z into out8, each most significant byte first.
void TeaStoreBlock(uint32_t y, uint32_t z, uint8_t* out8);

// Base64 of the module protocols. It differs from RFC 4648 in two ways: no "=" padding,
// and a final group of 1 or 2 bytes gives 1 or 2 characters (the bits left over are
// dropped). The protocols only ever encode 9 bytes, which give exactly 12 characters.
char Base64Char(int value); // 0..63 the alphabet; anything else '='
// Characters Base64Encode writes for n bytes, not counting the terminating zero.
constexpr int Base64EncodedLength(int n)
{
    return n <= 0 ? 0 : n / 3 * 4 + n % 3;
}
// Writes Base64EncodedLength(n) characters and a terminating zero into out.
void Base64Encode(const uint8_t* in, int n, char* out);
// Decodes the first n characters of text, skipping every character outside the
// alphabet ("=", blanks, line ends, NUL...). Writes the bytes and a terminating zero,
// never more than outCapacity bytes in all: bytes that do not fit before the terminator
// are dropped. Returns the number of characters examined, held in 8 bits (n mod 256).
int Base64Decode(const char* text, int n, uint8_t* out, int outCapacity);

// One key box (UKEdit1..UKEdit4): 1 to 8 hexadecimal digits, either case, nothing else
// (no prefix, sign or blank). False leaves word unchanged.
bool ParseTeaKeyWord(const QString& text, uint32_t* word);

// The four key boxes in order. On failure Key is empty and BadBox (1..4) names the first
// box that does not hold a key word.
struct TeaKeyParse {
    std::optional<TeaKey> Key;
    int BadBox = 0;
};
TeaKeyParse ParseTeaKey(const std::array<QString, 4>& boxes);
// The message the window shows for a bad box, e.g. "Invalid TEA key word 2: 'XYZ' is not
// a hexadecimal number of at most 8 digits".
QString TeaKeyErrorText(int badBox, const QString& text);

// The challenge a module sends on connecting: 12 Base64 characters for 9 bytes whose sum
// is 0 mod 256; the first 8 are the challenge. The response is the same structure over
// the enciphered challenge.
constexpr int TeaChallengeChars = 12;
constexpr int TeaChallengeBytes = 9;
struct TeaAnswer {
    bool CrcOk = false; // false: "Input TEA string CRC error", send nothing
    char Response[TeaChallengeChars + 1] = {}; // 12 characters to send, then a zero
};
// Decodes the first 12 characters of the block (fewer when it is shorter; anything after
// the 12th is ignored), checks the sum and, when it holds, builds the response.
TeaAnswer AnswerTeaChallengeBytes(const uint8_t* block, int n, const TeaKey& key);

} // namespace vsp
