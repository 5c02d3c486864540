#pragma once
// How the virtual port's line settings map onto RFC 2217 command values and onto the
// texts of the "Port status" labels. The values arrive as the port's events give them
// (Windows serial conventions); see link/Telnet.h for the command codes.

#include <QString>
#include <cstdint>
#include <optional>

namespace vsp {

// SET-PARITY: 1 none, 2 odd, 3 even, 4 mark, 5 space for Parity 0..4; 0 (the server keeps
// its own) for anything else, PARITY_UNKNOWN among them.
uint8_t SetParityValue(int32_t parity);

// SET-STOPSIZE: StopBits 0 (one) -> 1, 1 (one and a half) -> 3, 2 (two) -> 2; any other
// value is passed on as StopBits + 1 (low byte).
uint8_t SetStopSizeValue(int32_t stopBits);

// SET-DATASIZE: the word length's low byte; 0 (the server keeps its own) when unknown.
uint8_t SetDataSizeValue(int32_t wordLength);

// SET-CONTROL from the handflow words: 1 no flow control, 2 XON/XOFF, 3 RTS/CTS; 0 for
// every combination that is not exactly one of those three.
uint8_t SetControlValue(int32_t controlHandShake, int32_t flowReplace);

// ParityLabel: "none", "odd", "even", "mark", "space", or "unknown".
QString ParityText(int32_t parity);

// BitsLabel: the word length in decimal, "-" when unknown.
QString DataBitsText(int32_t wordLength);

// StopBitsLabel: "1", "1 1/2" or "2"; no value means the label keeps its text.
std::optional<QString> StopBitsText(int32_t stopBits);

} // namespace vsp
