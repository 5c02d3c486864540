// Keys opened for full access over the store file, and the Run key over the autostart folder.
#include "app/RegFile.h"
#include "app/RegStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <unistd.h>
#include <utility>

namespace vsp {

using namespace regfile;

// Autostart entries.

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

namespace {

QString DesktopFilePath(const QString& dir, const QString& name)
{
    return dir + u'/' + name + QStringLiteral(".desktop");
}

// The command of an autostart entry, or nothing when the entry is absent or switched off
// (Hidden=true: the desktop treats the entry as deleted).
std::optional<QString> ReadDesktopEntry(const QString& file)
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

} // namespace

TRegistry::TRegistry()
    : TRegistry(TRegFile::DefaultPath(), DefaultAutostartDir())
{
}

TRegistry::TRegistry(const QString& storePath, const QString& autostartDir)
    : file_(storePath)
    , autostartDir_(QFileInfo(autostartDir).absoluteFilePath())
{
}

TRegistry::~TRegistry() = default;

QString TRegistry::DefaultAutostartDir()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || QDir::isRelativePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/autostart");
}

QString TRegistry::StorePath() const
{
    return file_.Path();
}

bool TRegistry::Fail(TStoreError error, const QString& text)
{
    error_ = error;
    errorString_ = text;
    return false;
}

bool TRegistry::OpenKey(const QString& key, bool canCreate)
{
    if (open_) CloseKey();
    error_ = TStoreError::None;
    errorString_.clear();
    changes_.clear();
    doc_ = TRegDocument();
    key_ = key;
    isRunKey_ = key.compare(QLatin1String(RunKeyPath), Qt::CaseInsensitive) == 0;
    if (isRunKey_) return OpenRunKey();
    if (!file_.Read(doc_)) return Fail(file_.Error(), file_.ErrorString());
    if (!file_.CheckWritable()) return Fail(file_.Error(), file_.ErrorString());
    if (!canCreate && !doc_.HasKey(key))
        return Fail(
            TStoreError::NotFound, QStringLiteral("%1: there is no key %2").arg(file_.Path(), key));
    open_ = true;
    return true;
}

bool TRegistry::OpenRunKey()
{
    QString error;
    if (!FolderWritable(autostartDir_, error)) return Fail(TStoreError::NotWritable, error);
    const QDir dir(autostartDir_);
    for (const QString& entry : dir.entryList({ QStringLiteral("*.desktop") }, QDir::Files)) {
        if (const auto exec = ReadDesktopEntry(dir.filePath(entry)))
            doc_.SetValue(key_, entry.chopped(8), TRegValue::String(*exec));
    }
    open_ = true;
    return true;
}

bool TRegistry::CloseKey()
{
    if (!open_) return error_ == TStoreError::None;
    open_ = false;
    if (changes_.isEmpty()) return true;
    if (isRunKey_) {
        const bool ok = CommitRunKey();
        changes_.clear();
        return ok;
    }
    const QList<Change> changes = std::exchange(changes_, {});
    const QString key = key_;
    const bool ok = file_.Update([&](TRegDocument& doc) {
        for (const Change& c : changes) {
            if (c.Value)
                doc.SetValue(key, c.Name, *c.Value);
            else
                doc.RemoveValue(key, c.Name);
        }
    });
    if (!ok) return Fail(file_.Error(), file_.ErrorString());
    return true;
}

bool TRegistry::CommitRunKey()
{
    for (const Change& c : changes_) {
        // A value name is a file name here: keep it to one plain name in the folder.
        if (c.Name.isEmpty() || c.Name.contains(u'/') || c.Name.startsWith(u'.'))
            return Fail(TStoreError::WriteFailed,
                QStringLiteral("%1: \"%2\" can't name an autostart entry")
                    .arg(autostartDir_, c.Name));
        const QString path = DesktopFilePath(autostartDir_, c.Name);
        QString error;
        if (!c.Value) {
            if (::unlink(Native(path).constData()) != 0 && errno != ENOENT)
                return Fail(
                    TStoreError::WriteFailed, QStringLiteral("%1: %2").arg(path, ErrnoText(errno)));
            continue;
        }
        const QString text = c.Value->Type == TRegDataType::Integer
            ? QString::number(c.Value->Number)
            : c.Value->Text;
        // The value's name stays the file's name; the desktop's session settings show
        // the entry under the window's own name and the installed icon.
        const QByteArray entry = QStringLiteral("[Desktop Entry]\n"
                                                "Type=Application\n"
                                                "Name=Kelmar Virtual port manager\n"
                                                "Icon=vsp\n"
                                                "Exec=%1\n")
                                     .arg(DesktopExecLine(text))
                                     .toUtf8();
        if (!MakeFolders(autostartDir_, error) || !WriteAtomically(path, entry, 0644, error))
            return Fail(TStoreError::WriteFailed, error);
    }
    return true;
}

const TRegValue* TRegistry::Find(const QString& name) const
{
    return open_ ? doc_.Value(key_, name) : nullptr;
}

bool TRegistry::ValueExists(const QString& name) const
{
    return Find(name) != nullptr;
}

TReadStatus TRegistry::ReadString(const QString& name, QString& text) const
{
    const TRegValue* v = Find(name);
    if (!v) return TReadStatus::Missing;
    if (v->Type == TRegDataType::Integer) return TReadStatus::WrongType;
    text = v->Text;
    return TReadStatus::Ok;
}

TReadStatus TRegistry::ReadInteger(const QString& name, uint32_t& number) const
{
    const TRegValue* v = Find(name);
    if (!v) return TReadStatus::Missing;
    if (v->Type != TRegDataType::Integer) return TReadStatus::WrongType;
    number = v->Number;
    return TReadStatus::Ok;
}

TReadStatus TRegistry::ReadBool(const QString& name, bool& value) const
{
    uint32_t n = 0;
    const TReadStatus s = ReadInteger(name, n);
    if (s == TReadStatus::Ok) value = n != 0;
    return s;
}

void TRegistry::WriteString(const QString& name, const QString& text)
{
    if (!open_) return;
    changes_.append({ name, TRegValue::String(text) });
    doc_.SetValue(key_, name, TRegValue::String(text));
}

void TRegistry::WriteInteger(const QString& name, uint32_t number)
{
    if (!open_) return;
    changes_.append({ name, TRegValue::Integer(number) });
    doc_.SetValue(key_, name, TRegValue::Integer(number));
}

void TRegistry::DeleteValue(const QString& name)
{
    if (!open_) return;
    changes_.append({ name, std::nullopt });
    doc_.RemoveValue(key_, name);
}

} // namespace vsp
