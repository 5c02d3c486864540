#pragma once
// The store as the program sees it: keys opened one at a time, read and written by value
// name, each key's writes committed together.
//
// The Run key stands for the desktop's autostart folder: its value "KelmarVSP" is the
// autostart entry $XDG_CONFIG_HOME/autostart/KelmarVSP.desktop, whose Exec line holds the
// value's text as one quoted argument.

#include "app/RegDocument.h"
#include "app/RegFile.h"

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

// The outcome of reading one value.
enum class TReadStatus { Ok, Missing, WrongType };
// "the value is missing" and so on, for messages that name the value.
QString DescribeReadStatus(TReadStatus status, TRegDataType wanted);

// Keys opened one at a time, as the program's load and save steps do. Every key is opened
// for full access: opening fails when the store could not be written. Writes are kept
// until CloseKey, which commits them in one atomic rewrite (all or nothing).
class TRegistry {
public:
    TRegistry(const QString& storePath, const QString& autostartDir);
    ~TRegistry();
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    // The autostart folder under the configuration folder configHome (see ConfigFolder).
    static QString AutostartDirFor(const QString& configHome);

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

} // namespace vsp
