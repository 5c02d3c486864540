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

// What a console may put into a window. A text view lays out a line in time that grows
// with the square of its length, on the thread that also carries the data link, and keeps
// all it is given: a console that prints one endless line, or never stops, must neither
// freeze the program nor fill its memory. Real consoles print short lines, and a few
// hundred of them.
constexpr int ConsoleLineLimit = 4096; // characters of one line shown
constexpr char ConsoleCutMarker[] = " [... rest of the line not shown]";
constexpr int ReadoutLineLimit = 2000; // console lines in one report
constexpr int ReadoutByteLimit = 256 * 1024; // console characters in one report
constexpr char ReadoutCutLine[]
    = "Module settings cut here: the console printed more than 2000 lines or 256 KB";

// Cuts every line of text (ended by CR, LF or CR LF) to ConsoleLineLimit characters and
// marks the cut with ConsoleCutMarker, once per line. *column: the length of the line the
// text continues (0 for a text that starts a line); updated to that of its last line.
QByteArray CutLongLines(const QByteArray& text, int* column);

// The last `lines` lines of text (its last line break kept with them): what stays of it
// in a view that keeps a tail of that many lines.
QByteArray LastLines(const QByteArray& text, int lines);

// The report's share of one read-out: each piece is a new line of the report, its lines
// cut to the line limit, and once the report holds ReadoutLineLimit console lines or
// ReadoutByteLimit characters the rest is left out and the read-out is to end.
class ReadoutBound {
public:
    struct Taken {
        QByteArray Text; // to append as one line
        bool Full = false; // the bound is reached: append ReadoutCutLine and hang up
    };
    Taken Take(const QByteArray& piece);
    void Reset() { lines_ = 0, bytes_ = 0; }

private:
    int lines_ = 0;
    qint64 bytes_ = 0;
};

} // namespace vsp
