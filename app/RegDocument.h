#pragma once
// The configuration store's text form. The store keeps the key paths, value names and value types
// the program has always used ("Software\Kelmar\VSP" and so on), in one plain text file per user
// that a person can read and edit. The file has the form of a REGEDIT4 export:
//
//   REGEDIT4
//
//   [Software\Kelmar\VSP]
//   "IP"="192.168.1.60"
//   "NVT Enabled"=dword:00000001
//   "Path"=expand:"%HOME%\\bin"
//
// - The first line that is not blank and not a comment must be REGEDIT4. An empty file is
//   an empty store.
// - Blank lines and lines starting with ";" are ignored. The program does not keep them
//   when it rewrites the file.
// - [key path] opens a key; the path is taken literally (backslashes included) up to the
//   closing "]". A key may appear twice; its values are merged.
// - A value line is "name"=data, or @=data for the key's unnamed value. Data is a string
//   "text", an expandable string expand:"text" (read as a string, never expanded), or a
//   32-bit number dword:hhhhhhhh with 1 to 8 hexadecimal digits.
// - Inside quotes, \\ is a backslash, \" a quote, \n a line feed, \r a carriage return,
//   \t a tab and \xhh the character with that code (two hexadecimal digits). Any other
//   escape, and any raw control character except the tab, makes the file corrupt. The
//   writer escapes backslash, quote and every control character, and writes UTF-8.
// - Key paths and value names are matched without regard to letter case, as the system
//   this store stands in for does; a value named twice in one key makes the file corrupt.

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>

namespace vsp {

enum class TRegDataType { String, ExpandString, Integer };

struct TRegValue {
    TRegDataType Type = TRegDataType::String;
    QString Text; // String, ExpandString
    uint32_t Number = 0; // Integer

    static TRegValue String(const QString& text) { return { TRegDataType::String, text, 0 }; }
    static TRegValue Integer(uint32_t n) { return { TRegDataType::Integer, QString(), n }; }
    bool operator==(const TRegValue&) const = default;
};

// The text of a store file, parsed. No I/O: bytes in, keys and values out, and back.
class TRegDocument {
public:
    // Replaces the content with the parsed text. On false the content is empty and
    // ErrorLine / ErrorString say what is wrong where.
    bool Parse(const QByteArray& text);
    QByteArray Serialize() const;
    int ErrorLine() const { return errorLine_; }
    QString ErrorString() const { return errorString_; }

    bool HasKey(const QString& key) const;
    void AddKey(const QString& key);
    QList<QString> Keys() const;
    QList<QString> ValueNames(const QString& key) const;
    // nullptr when the key or the value is missing.
    const TRegValue* Value(const QString& key, const QString& name) const;
    // Creates the key when missing; a new value goes after the key's other values.
    void SetValue(const QString& key, const QString& name, const TRegValue& value);
    // False when there was no such value.
    bool RemoveValue(const QString& key, const QString& name);

    // The quoting used inside "...", exposed for the tests of the escape rules.
    static QByteArray Quote(const QString& text);

private:
    struct Entry {
        QString Name;
        TRegValue Value;
    };
    struct Key {
        QString Path;
        QList<Entry> Values;
    };
    Key* FindKey(const QString& path);
    const Key* FindKey(const QString& path) const;
    bool Fail(int line, const QString& what);

    QList<Key> keys_;
    int errorLine_ = 0;
    QString errorString_;
};

} // namespace vsp
