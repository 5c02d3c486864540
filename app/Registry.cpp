// Keys opened for full access over the store file, and the Run key over the autostart folder.
#include "app/Registry.h"

#include "app/Autostart.h"
#include "app/FileOps.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <unistd.h>
#include <utility>

namespace vsp {

using namespace fileops;

QString DescribeReadStatus(TReadStatus status, TRegDataType wanted)
{
    switch (status) {
    case TReadStatus::Ok:
        return QString();
    case TReadStatus::Missing:
        return QStringLiteral("the value is missing");
    case TReadStatus::WrongType:
        return wanted == TRegDataType::Integer ? QStringLiteral("the value is not a number")
                                               : QStringLiteral("the value is not a string");
    }
    return QString();
}

TRegistry::TRegistry(const QString& storePath, const QString& autostartDir)
    : file_(storePath)
    , autostartDir_(QFileInfo(autostartDir).absoluteFilePath())
{
}

TRegistry::~TRegistry() = default;

QString TRegistry::AutostartDirFor(const QString& configHome)
{
    return ConfigFolder(configHome) + QStringLiteral("/autostart");
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
        if (const auto exec = ReadAutostartEntry(dir.filePath(entry)))
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
        const QString path = AutostartEntryPath(autostartDir_, c.Name);
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
        const QByteArray entry = AutostartEntryText(text);
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
