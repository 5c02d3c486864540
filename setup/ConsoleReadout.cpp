#include "setup/ConsoleReadout.h"

namespace vsp {

ReadoutAction ClassifyConsolePiece(const QByteArray& piece)
{
    if (piece.contains(ConsoleGreeting)) return ReadoutAction::AnswerGreeting;
    if (piece.contains(ConsoleKeyPrompt)) return ReadoutAction::AnswerKeyPrompt;
    if (piece.contains(ConsoleEndMarker)) return ReadoutAction::CopyAndClose;
    return ReadoutAction::Copy;
}

} // namespace vsp
