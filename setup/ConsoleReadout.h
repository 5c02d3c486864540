#pragma once
// What the settings report does with one piece of text from a module's set-up console:
// step past the greeting and the key prompt with a carriage return, copy everything else,
// and hang up after the piece that announces the reboot.

#include <QByteArray>

namespace vsp {

// Markers, compared case-sensitively as substrings of a received piece.
constexpr char ConsoleGreeting[] = "QBX77 remote setup";
constexpr char ConsoleKeyPrompt[] = "<Enter>";
constexpr char ConsoleEndMarker[] = "Reboot";
// The one byte ever sent to the console while reading it out.
constexpr char ConsoleAnswer = '\r';

enum class ReadoutAction {
    AnswerGreeting, // discard whatever else has been received, send CR, copy nothing
    AnswerKeyPrompt, // send CR, copy nothing
    Copy, // append the piece to the report as a new line
    CopyAndClose, // append the piece, then close the connection
};

// The greeting wins over everything else in the piece, the key prompt over the end marker.
ReadoutAction ClassifyConsolePiece(const QByteArray& piece);

} // namespace vsp
