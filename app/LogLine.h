#pragma once
// How a log message is written: the memo's line, and the optional copy on standard error.

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QTime>

namespace vsp {

// The locale's long time format without its time-zone part: hours, minutes and seconds
// (and the AM/PM mark where the locale has one), as the user reads the time of day.
QString LogTimeFormat(const QLocale& locale);

// time + ": " + text, the time in the locale's long time format.
QString LogLine(const QTime& time, const QString& text, const QLocale& locale = QLocale());

// One line on standard error: date, time with milliseconds, the text. Line breaks inside
// the text become spaces so that each message stays one line.
void WriteStderrLogLine(const QDateTime& when, const QString& text);

} // namespace vsp
