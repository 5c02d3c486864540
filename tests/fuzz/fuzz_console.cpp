// The set-up console's text both ways: any piece a module sends through the read-out's and
// the dialogue's tests of it, and any field texts through every step of the dialogue, whose
// commands go on the wire one byte per character with CR LF after them.
#include "setup/ConsoleReadout.h"
#include "setup/SetupDialogue.h"

#include <QList>
#include <cstddef>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 8192) return 0;
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    const QList<QByteArray> parts = input.split('\0');

    // The first part as a piece from the console.
    const QByteArray& piece = parts.first();
    vsp::ClassifyConsolePiece(piece);
    if (vsp::IsConsolePrompt(piece) != piece.contains('>')) __builtin_trap();

    // The other parts as the dialog's texts, in the order of its fields.
    vsp::ModuleSetupValues v;
    QString* texts[] = { &v.TCPIPEdit, &v.TCPPortEdit, &v.TCPMaskEdit, &v.TCPGatewayEdit,
        &v.InIPEdit, &v.InMaskEdit, &v.OutIPEdit, &v.OutPortEdit, &v.TEA0Edit, &v.TEA1Edit,
        &v.TEA2Edit, &v.TEA3Edit, &v.SSpeedCombo, &v.SBits, &v.STimeout, &v.SDelay, &v.IOTrigger,
        &v.IOPUInit, &v.IOPUAnd, &v.IOPUOr, &v.IOKeep, &v.IOAnd, &v.IOOr };
    int* positions[] = { &v.OutEraseOn, &v.IPModeRadio, &v.SParityCombo, &v.SStopCombo,
        &v.SFlowControl, &v.SRSControll, &v.STxControll };
    qsizetype next = 1;
    for (QString* text : texts)
        if (next < parts.size()) *text = QString::fromUtf8(parts[next++]);
    // Positions from the piece's first bytes, -1 (nothing selected) included.
    for (qsizetype i = 0; i < qsizetype(std::size(positions)); ++i)
        *positions[i] = i < piece.size() ? int(int8_t(piece[i])) : 0;

    for (int step = 0; step <= vsp::SetupResetStep + 1; ++step) {
        const vsp::SetupStepAction action = vsp::SetupDialogueStep(step, v);
        if (action.Kind == vsp::SetupStepKind::Finished) continue;
        const QByteArray bytes = vsp::SetupCommandBytes(action.Command);
        if (bytes.size() != action.Command.size() + 2 || !bytes.endsWith("\r\n")) __builtin_trap();
    }
    return 0;
}
