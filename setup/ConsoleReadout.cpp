#include "setup/ConsoleReadout.h"

#include <algorithm>

namespace vsp {

ReadoutAction ClassifyConsolePiece(const QByteArray& piece)
{
    if (piece.contains(ConsoleGreeting)) return ReadoutAction::AnswerGreeting;
    if (piece.contains(ConsoleKeyPrompt)) return ReadoutAction::AnswerKeyPrompt;
    if (piece.contains(ConsoleEndMarker)) return ReadoutAction::CopyAndClose;
    return ReadoutAction::Copy;
}

QByteArray CutLongLines(const QByteArray& text, int* column)
{
    QByteArray out;
    out.reserve(std::min<qsizetype>(text.size(), 2 * ConsoleLineLimit));
    int col = *column;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n) {
        // One line (or the part of it in this text) at a time.
        qsizetype end = i;
        while (end < n && text.at(end) != '\r' && text.at(end) != '\n')
            ++end;
        const qsizetype length = end - i;
        if (col < ConsoleLineLimit) {
            const qsizetype room = ConsoleLineLimit - col;
            if (length <= room) {
                out.append(text.constData() + i, length);
            } else {
                out.append(text.constData() + i, room);
                out.append(ConsoleCutMarker);
            }
        }
        // Past the limit the marker stands already: the rest of the line is dropped.
        col = int(std::min<qsizetype>(qsizetype(col) + length, qsizetype(ConsoleLineLimit) + 1));
        if (end < n) {
            qsizetype after = end + 1;
            if (text.at(end) == '\r' && after < n && text.at(after) == '\n') ++after;
            out.append(text.constData() + end, after - end);
            col = 0;
            end = after;
        }
        i = end;
    }
    *column = col;
    return out;
}

QByteArray LastLines(const QByteArray& text, int lines)
{
    if (lines <= 0) return {};
    // The breaks that end lines, counted from the end; a final break ends the last line.
    qsizetype i = text.size();
    if (i > 0 && text.at(i - 1) == '\n') --i;
    if (i > 0 && text.at(i - 1) == '\r') --i;
    int seen = 0;
    while (i > 0) {
        const char c = text.at(i - 1);
        if (c == '\n' || c == '\r') {
            if (++seen == lines) return text.mid(i);
            if (c == '\n' && i > 1 && text.at(i - 2) == '\r') --i;
        }
        --i;
    }
    return text;
}

ReadoutBound::Taken ReadoutBound::Take(const QByteArray& piece)
{
    Taken taken;
    int column = 0;
    const QByteArray cut = CutLongLines(piece, &column);
    // The piece starts a line of the report; each break in it starts another.
    ++lines_;
    qsizetype keep = 0;
    const qsizetype n = cut.size();
    while (keep < n && bytes_ < ReadoutByteLimit) {
        const char c = cut.at(keep);
        if (c != '\r' && c != '\n') {
            ++keep;
            ++bytes_;
            continue;
        }
        // A break that would start a line past the bound is where the report ends.
        if (lines_ >= ReadoutLineLimit) break;
        const qsizetype size = (c == '\r' && keep + 1 < n && cut.at(keep + 1) == '\n') ? 2 : 1;
        keep += size;
        bytes_ += size;
        ++lines_;
    }
    taken.Full = lines_ >= ReadoutLineLimit || bytes_ >= ReadoutByteLimit;
    taken.Text = cut.left(keep);
    return taken;
}

} // namespace vsp
