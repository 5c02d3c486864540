#include "link/Rfc2217.h"

#include "link/Telnet.h"
#include "vport/Vsportlib_tlb.h"

namespace vsp {

using namespace telnet;

uint8_t SetParityValue(int32_t parity)
{
    if (parity < PARITY_NONE || parity > PARITY_SPACE) return PARITY_REQUEST;
    return static_cast<uint8_t>(PARITY_NONE_VALUE + (parity - PARITY_NONE));
}

uint8_t SetStopSizeValue(int32_t stopBits)
{
    switch (stopBits) {
    case STOPBITS_ONE:
        return STOPSIZE_ONE;
    case STOPBITS_ONE5:
        return STOPSIZE_ONE5;
    case STOPBITS_TWO:
        return STOPSIZE_TWO;
    default:
        // Unknown to us, so not ours to correct: pass it on in the usual offset.
        return static_cast<uint8_t>(static_cast<uint32_t>(stopBits) + 1);
    }
}

uint8_t SetDataSizeValue(int32_t wordLength)
{
    if (wordLength == WORDLENGTH_UNKNOWN) return DATASIZE_REQUEST;
    return static_cast<uint8_t>(static_cast<uint32_t>(wordLength));
}

uint8_t SetControlValue(int32_t controlHandShake, int32_t flowReplace)
{
    if (controlHandShake == 0 && flowReplace == 0) return CONTROL_NONE;
    if (controlHandShake == 0 && flowReplace == (SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE))
        return CONTROL_XONXOFF;
    if (controlHandShake == SERIAL_CTS_HANDSHAKE && flowReplace == SERIAL_RTS_HANDSHAKE)
        return CONTROL_HARDWARE;
    // Mixed or partial settings (DTR/RTS merely switched on, one-way XON/XOFF...) have no
    // RFC 2217 equivalent.
    return CONTROL_REQUEST;
}

QString ParityText(int32_t parity)
{
    static const char* const names[] = { "none", "odd", "even", "mark", "space" };
    if (parity < PARITY_NONE || parity > PARITY_SPACE) return QStringLiteral("unknown");
    return QString::fromLatin1(names[parity - PARITY_NONE]);
}

QString DataBitsText(int32_t wordLength)
{
    if (wordLength == WORDLENGTH_UNKNOWN) return QStringLiteral("-");
    return QString::number(wordLength);
}

std::optional<QString> StopBitsText(int32_t stopBits)
{
    switch (stopBits) {
    case STOPBITS_ONE:
        return QStringLiteral("1");
    case STOPBITS_ONE5:
        return QStringLiteral("1 1/2");
    case STOPBITS_TWO:
        return QStringLiteral("2");
    default:
        return std::nullopt;
    }
}

} // namespace vsp
