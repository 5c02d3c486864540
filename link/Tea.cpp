#include "link/Tea.h"

namespace vsp {

namespace {

constexpr uint32_t TeaDelta = 0x9E3779B9; // the key schedule constant, (sqrt(5) - 1) * 2^31
constexpr int TeaRounds = 32;
constexpr int TeaKeyWordDigits = 8;

constexpr char Base64Alphabet[]
    = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int Base64Values = 64;
constexpr char Base64Filler = '=';

uint32_t WordAt(const uint8_t* b)
{
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | uint32_t(b[3]);
}

// The 6-bit value of an alphabet character, or -1 for a character to skip.
int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

int HexDigitValue(char16_t c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

void TeaEncipher(uint32_t& y, uint32_t& z, const TeaKey& key)
{
    const uint32_t* k = key.k;
    uint32_t sum = 0;
    for (int round = 0; round < TeaRounds; ++round) {
        sum += TeaDelta;
        y += ((z << 4) + k[0]) ^ (z + sum) ^ ((z >> 5) + k[1]);
        z += ((y << 4) + k[2]) ^ (y + sum) ^ ((y >> 5) + k[3]);
    }
}

void TeaXorBlock(uint32_t& y, uint32_t& z, const uint8_t* block8)
{
    y ^= WordAt(block8);
    z ^= WordAt(block8 + 4);
}

void TeaChainBlock(uint32_t& y, uint32_t& z, const uint8_t* block8, const TeaKey& key)
{
    TeaXorBlock(y, z, block8);
    TeaEncipher(y, z, key);
}

void TeaStoreBlock(uint32_t y, uint32_t z, uint8_t* out8)
{
    for (int i = 0; i < 4; ++i) {
        out8[i] = static_cast<uint8_t>(y >> (24 - 8 * i));
        out8[4 + i] = static_cast<uint8_t>(z >> (24 - 8 * i));
    }
}

char Base64Char(int value)
{
    if (value < 0 || value >= Base64Values) return Base64Filler;
    return Base64Alphabet[value];
}

void Base64Encode(const uint8_t* in, int n, char* out)
{
    int kept = 0;
    int o = 0;
    for (int i = 0; i < n; ++i) {
        const int b = in[i];
        switch (i % 3) {
        case 0:
            out[o++] = Base64Char(b >> 2);
            kept = b & 0x03;
            break;
        case 1:
            out[o++] = Base64Char(kept << 4 | b >> 4);
            kept = b & 0x0F;
            break;
        default:
            out[o++] = Base64Char(kept << 2 | b >> 6);
            out[o++] = Base64Char(b & 0x3F);
            break;
        }
    }
    out[o] = '\0';
}

int Base64Decode(const char* text, int n, uint8_t* out, int outCapacity)
{
    if (n < 0) n = 0;
    const int room = outCapacity > 0 ? outCapacity - 1 : 0; // the terminator's place kept
    int written = 0;
    auto put = [&](int byte) {
        if (written < room) out[written++] = static_cast<uint8_t>(byte);
    };
    int accepted = 0;
    int kept = 0;
    for (int i = 0; i < n; ++i) {
        const int v = Base64Value(text[i]);
        if (v < 0) continue;
        switch (accepted++ % 4) {
        case 0:
            kept = v;
            break;
        case 1:
            put(kept << 2 | v >> 4);
            kept = v & 0x0F;
            break;
        case 2:
            put(kept << 4 | v >> 2);
            kept = v & 0x03;
            break;
        default:
            put(kept << 6 | v);
            break;
        }
    }
    if (outCapacity > 0) out[written] = 0;
    return static_cast<uint8_t>(n);
}

bool ParseTeaKeyWord(const QString& text, uint32_t* word)
{
    if (text.isEmpty() || text.size() > TeaKeyWordDigits) return false;
    uint32_t value = 0;
    for (const QChar c : text) {
        const int d = HexDigitValue(c.unicode());
        if (d < 0) return false;
        value = value << 4 | uint32_t(d);
    }
    *word = value;
    return true;
}

TeaKeyParse ParseTeaKey(const std::array<QString, 4>& boxes)
{
    TeaKeyParse result;
    TeaKey key {};
    for (int i = 0; i < 4; ++i) {
        if (!ParseTeaKeyWord(boxes[i], &key.k[i])) {
            result.BadBox = i + 1;
            return result;
        }
    }
    result.Key = key;
    return result;
}

QString TeaKeyErrorText(int badBox, const QString& text)
{
    return QStringLiteral("Invalid TEA key word %1: '%2' is not a hexadecimal number of at most "
                          "8 digits")
        .arg(badBox)
        .arg(text);
}

TeaAnswer AnswerTeaChallengeBytes(const uint8_t* block, int n, const TeaKey& key)
{
    TeaAnswer answer;
    // One byte beyond the 9 for the decoder's terminator.
    uint8_t challenge[TeaChallengeBytes + 1] = {};
    const int chars = n < TeaChallengeChars ? n : TeaChallengeChars;
    Base64Decode(reinterpret_cast<const char*>(block), chars, challenge, sizeof challenge);
    uint8_t sum = 0;
    for (int i = 0; i < TeaChallengeBytes; ++i)
        sum = static_cast<uint8_t>(sum + challenge[i]);
    if (sum != 0) return answer;
    answer.CrcOk = true;

    uint32_t y = 0;
    uint32_t z = 0;
    TeaChainBlock(y, z, challenge, key);
    uint8_t response[TeaChallengeBytes];
    TeaStoreBlock(y, z, response);
    uint8_t check = 0;
    for (int i = 0; i < TeaChallengeBytes - 1; ++i)
        check = static_cast<uint8_t>(check - response[i]);
    response[TeaChallengeBytes - 1] = check;
    Base64Encode(response, TeaChallengeBytes, answer.Response);
    return answer;
}

} // namespace vsp
