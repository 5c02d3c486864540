// Autostart entries: the desktop files that stand for the Run key's values.
#include "app/Autostart.h"

#include "app/FileOps.h"

#include <QFile>
#include <QList>

namespace vsp {

using namespace fileops;

QString DesktopExecLine(const QString& program)
{
    // Quoting of the Exec key first, then field codes, then the escapes every string value
    // of a desktop file has; a reader undoes them in the opposite order.
    QString quoted = QStringLiteral("\"");
    for (const QChar c : program) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') quoted += u'\\';
        quoted += c;
    }
    quoted += u'"';
    quoted.replace(u'%', QStringLiteral("%%"));
    QString line;
    for (const QChar c : quoted) {
        switch (c.unicode()) {
        case u'\\':
            line += QStringLiteral("\\\\");
            break;
        case u'\n':
            line += QStringLiteral("\\n");
            break;
        case u'\r':
            line += QStringLiteral("\\r");
            break;
        case u'\t':
            line += QStringLiteral("\\t");
            break;
        default:
            line += c;
        }
    }
    return line;
}

std::optional<QString> ParseDesktopExecLine(const QString& line)
{
    QString value;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (c != u'\\' || i + 1 == line.size()) {
            value += c;
            continue;
        }
        const QChar e = line.at(++i);
        switch (e.unicode()) {
        case u's':
            value += u' ';
            break;
        case u'n':
            value += u'\n';
            break;
        case u't':
            value += u'\t';
            break;
        case u'r':
            value += u'\r';
            break;
        case u'\\':
            value += u'\\';
            break;
        default:
            value += c;
            value += e;
        }
    }
    value.replace(QStringLiteral("%%"), QStringLiteral("%"));
    QList<QString> args;
    QString arg;
    bool inArg = false, quoted = false;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (quoted) {
            if (c == u'"') {
                quoted = false;
            } else if (c == u'\\' && i + 1 < value.size()) {
                arg += value.at(++i);
            } else {
                arg += c;
            }
        } else if (c == u'"') {
            quoted = inArg = true;
        } else if (c == u' ' || c == u'\t' || c == u'\n') {
            if (inArg) args.append(arg);
            arg.clear();
            inArg = false;
        } else {
            arg += c;
            inArg = true;
        }
    }
    if (quoted) return std::nullopt;
    if (inArg) args.append(arg);
    if (args.size() != 1) return std::nullopt;
    return args.first();
}

QString AutostartEntryPath(const QString& dir, const QString& name)
{
    return dir + u'/' + name + QStringLiteral(".desktop");
}

std::optional<QString> ReadAutostartEntry(const QString& file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly) || f.size() > MaxFileSize) return std::nullopt;
    bool inEntry = false;
    QString exec;
    for (const QByteArray& raw : f.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(u'[')) {
            inEntry = line == u"[Desktop Entry]";
            continue;
        }
        if (!inEntry) continue;
        const qsizetype eq = line.indexOf(u'=');
        if (eq < 0) continue;
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if (key == u"Hidden" && value == u"true") return std::nullopt;
        if (key == u"Exec") exec = value;
    }
    return ParseDesktopExecLine(exec).value_or(exec);
}

QByteArray AutostartEntryText(const QString& command)
{
    // The value's name stays the file's name; the desktop's session settings show
    // the entry under the window's own name and the installed icon.
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Kelmar Virtual port manager\n"
                          "Icon=vsp\n"
                          "Exec=%1\n")
        .arg(DesktopExecLine(command))
        .toUtf8();
}

} // namespace vsp
