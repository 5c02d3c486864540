#include "app/LogLine.h"

#include <cerrno>
#include <unistd.h>

namespace vsp {

QString LogTimeFormat(const QLocale& locale)
{
    // Qt's long format ends in the zone ("t"); the log shows the time of day only.
    const QString format = locale.timeFormat(QLocale::LongFormat);
    QString out;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format.at(i);
        if (c == QLatin1Char('\'')) {
            quoted = !quoted;
            out += c;
            continue;
        }
        if (!quoted && c == QLatin1Char('t')) {
            while (i + 1 < format.size() && format.at(i + 1) == QLatin1Char('t'))
                ++i;
            // The blank that separated the zone from the time goes with it.
            while (!out.isEmpty() && out.back().isSpace())
                out.chop(1);
            while (i + 1 < format.size() && format.at(i + 1).isSpace() && out.isEmpty())
                ++i;
            continue;
        }
        out += c;
    }
    // A zone that stood in brackets leaves them empty ("H:mm:ss (t)").
    out.replace(QLatin1String("()"), QString());
    return out.trimmed();
}

QString LogLine(const QTime& time, const QString& text, const QLocale& locale)
{
    return locale.toString(time, LogTimeFormat(locale)) + QStringLiteral(": ") + text;
}

void WriteStderrLogLine(const QDateTime& when, const QString& text)
{
    QString flat = text;
    flat.replace(QLatin1String("\r\n"), QLatin1String(" "));
    flat.replace(QLatin1Char('\r'), QLatin1Char(' '));
    flat.replace(QLatin1Char('\n'), QLatin1Char(' '));
    const QByteArray line
        = (when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz ")) + flat).toLocal8Bit() + '\n';
    // One write per line, so lines of concurrent writers never interleave.
    const char* p = line.constData();
    qsizetype left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, size_t(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= n;
    }
}

} // namespace vsp
