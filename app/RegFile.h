#pragma once
// The store file on disk, as one user's settings.
//
// A damaged file is reported with its path and line, and is never overwritten. Writes
// replace the file atomically: the new text goes to "<file>.tmp" in the same folder, is
// flushed to disk, and is renamed over the file; a crash or a full disk leaves either the
// old file or the new one.

#include "app/RegDocument.h"

#include <QByteArray>
#include <QString>

namespace vsp {

// Why a store operation failed.
enum class TStoreError {
    None,
    Unreadable, // the file exists but can't be read (permissions, not a regular file, I/O)
    Corrupt, // the file can be read but is not a store (ErrorString names the line)
    NotWritable, // file or folder can't be written: opening "for full access" fails
    NotFound, // the key does not exist and was not to be created
    WriteFailed, // writing the new file failed; the old one is intact
};

// The user's configuration folder: configHome when it is an absolute path (a relative one
// is invalid and ignored), else ~/.config.
QString ConfigFolder(const QString& configHome);

// The store file: reads it, and rewrites it atomically under a lock so that two programs
// writing at once do not lose each other's keys.
class TRegFile {
public:
    explicit TRegFile(const QString& path);
    ~TRegFile();
    TRegFile(const TRegFile&) = delete;
    TRegFile& operator=(const TRegFile&) = delete;

    // chosen (the file the user named) when given, else configHome/vsp/settings.reg.
    static QString StorePathFor(const QString& chosen, const QString& configHome);

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

} // namespace vsp
