#pragma once
// The configuration store. It keeps the key paths, value names and value types the program
// has always used ("Software\Kelmar\VSP" and so on), in one plain text file per user that a
// person can read and edit. The file has the form of a REGEDIT4 export:
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
//
// A damaged file is reported with its path and line, and is never overwritten. Writes
// replace the file atomically: the new text goes to "<file>.tmp" in the same folder, is
// flushed to disk, and is renamed over the file; a crash or a full disk leaves either the
// old file or the new one.
//
// The Run key stands for the desktop's autostart folder: its value "KelmarVSP" is the
// autostart entry $XDG_CONFIG_HOME/autostart/KelmarVSP.desktop, whose Exec line holds the
// value's text as one quoted argument.

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>
#include <optional>

namespace vsp {

// Key paths and value names shared by the program and vsp-driver-install.
inline constexpr const char* RunKeyPath = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr const char* RunValueName = "KelmarVSP";
inline constexpr const char* DriverKeyPath = "Software\\Kelmar\\VSPDriver";
inline constexpr const char* DriverValueName = "DriverInstalled";
inline constexpr const char* SettingsKeyPath = "Software\\Kelmar\\VSP";

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

// Why a store operation failed.
enum class TStoreError {
    None,
    Unreadable, // the file exists but can't be read (permissions, not a regular file, I/O)
    Corrupt, // the file can be read but is not a store (ErrorString names the line)
    NotWritable, // file or folder can't be written: opening "for full access" fails
    NotFound, // the key does not exist and was not to be created
    WriteFailed, // writing the new file failed; the old one is intact
};

// The store file: reads it, and rewrites it atomically under a lock so that two programs
// writing at once do not lose each other's keys.
class TRegFile {
public:
    explicit TRegFile(const QString& path);
    ~TRegFile();
    TRegFile(const TRegFile&) = delete;
    TRegFile& operator=(const TRegFile&) = delete;

    // $VSP_STORE when set, else $XDG_CONFIG_HOME/vsp/settings.reg, else
    // ~/.config/vsp/settings.reg.
    static QString DefaultPath();

    QString Path() const { return path_; }
    // A missing file reads as an empty store.
    bool Read(TRegDocument& doc);
    // Whether Update could replace the file: the file (if present) opens for writing, and
    // its folder, or the nearest folder above it that exists, is writable. Writes nothing.
    bool CheckWritable();
    // Reads the file afresh, applies change, and writes the result when it differs from
    // what is on disk. Creates missing folders. A corrupt file is left as it is.
    template <typename Change> bool Update(Change&& change)
    {
        TRegDocument doc;
        if (!BeginUpdate(doc)) return false;
        change(doc);
        return EndUpdate(doc);
    }

    TStoreError Error() const { return error_; }
    QString ErrorString() const { return errorString_; }

private:
    bool BeginUpdate(TRegDocument& doc);
    bool EndUpdate(const TRegDocument& doc);
    bool Fail(TStoreError error, const QString& text);

    QString path_; // symbolic links resolved, so that the rename replaces the real file
    QByteArray onDisk_; // the bytes Read last saw
    bool exists_ = false;
    unsigned mode_ = 0600; // kept when the file is replaced
    int lockFd_ = -1;
    TStoreError error_ = TStoreError::None;
    QString errorString_;
};

// The outcome of reading one value.
enum class TReadStatus { Ok, Missing, WrongType };
// "the value is missing" and so on, for messages that name the value.
QString DescribeReadStatus(TReadStatus status, TRegDataType wanted);

// Keys opened one at a time, as the program's load and save steps do. Every key is opened
// for full access: opening fails when the store could not be written. Writes are kept
// until CloseKey, which commits them in one atomic rewrite (all or nothing).
class TRegistry {
public:
    // The default store file and autostart folder.
    TRegistry();
    TRegistry(const QString& storePath, const QString& autostartDir);
    ~TRegistry();
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    // $XDG_CONFIG_HOME/autostart, else ~/.config/autostart.
    static QString DefaultAutostartDir();

    // canCreate: a missing key is created when values are written to it (opening alone
    // writes nothing). The Run key always exists. A key already open is closed first.
    bool OpenKey(const QString& key, bool canCreate);
    // Writes what was changed since OpenKey. False (and the changes lost) when that fails.
    bool CloseKey();
    QString CurrentPath() const { return key_; }

    bool ValueExists(const QString& name) const;
    // A string or an expandable string.
    TReadStatus ReadString(const QString& name, QString& text) const;
    TReadStatus ReadInteger(const QString& name, uint32_t& number) const;
    // A number; any non-zero number is true.
    TReadStatus ReadBool(const QString& name, bool& value) const;

    void WriteString(const QString& name, const QString& text);
    void WriteInteger(const QString& name, uint32_t number);
    void WriteBool(const QString& name, bool value) { WriteInteger(name, value ? 1 : 0); }
    // A missing value is no error.
    void DeleteValue(const QString& name);

    TStoreError Error() const { return error_; }
    QString ErrorString() const { return errorString_; }
    QString StorePath() const;

private:
    struct Change {
        QString Name;
        std::optional<TRegValue> Value; // none: delete
    };
    bool Fail(TStoreError error, const QString& text);
    bool OpenRunKey();
    bool CommitRunKey();
    const TRegValue* Find(const QString& name) const;

    TRegFile file_;
    QString autostartDir_;
    QString key_;
    bool open_ = false;
    bool isRunKey_ = false;
    TRegDocument doc_; // the open key as read, with the pending changes applied
    QList<Change> changes_;
    TStoreError error_ = TStoreError::None;
    QString errorString_;
};

// The autostart entry's Exec line for one program path, quoted and escaped so that any path
// reaches the desktop as that one argument; and its reading back (nullopt when the line is
// not a single argument).
QString DesktopExecLine(const QString& program);
std::optional<QString> ParseDesktopExecLine(const QString& line);

} // namespace vsp
