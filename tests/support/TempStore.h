#pragma once
// A private settings store for a test: a fresh temporary folder for the store file and the
// autostart entry, handed to a window through its platform services, so that a window
// started without parameters reads and writes there, never the user's own settings.

#include "app/Platform.h"
#include "app/Registry.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <sys/resource.h>

namespace vsptest {

class TempStore {
public:
    // driverInstalled: the store starts with "DriverInstalled" = 1, as after
    // vsp-driver-install; otherwise it starts without a file.
    explicit TempStore(bool driverInstalled = true);
    ~TempStore();
    TempStore(const TempStore&) = delete;
    TempStore& operator=(const TempStore&) = delete;

    QString Dir() const { return dir_.path(); }
    QString StorePath() const; // the store file
    QString ConfigHome() const; // as XDG_CONFIG_HOME would name it
    QString AutostartDir() const;
    QString AutostartFile() const; // the start-on-boot entry

    // The services with this store's paths in them.
    vsp::TPlatform Platform(vsp::TPlatform platform = {}) const;
    // The store as the window opens it.
    vsp::TRegistry Registry() const { return vsp::TRegistry(StorePath(), AutostartDir()); }

    void Write(const QByteArray& text) const; // replaces the store file
    QByteArray Read() const; // the store file, empty when missing

private:
    QTemporaryDir dir_;
};

// While it lives, this thread cannot bypass file permissions even as root (it gives up
// the capabilities that would), so a test can make a file or folder unwritable with
// chmod. Other threads are not affected.
class NoPermissionOverride {
public:
    NoPermissionOverride();
    ~NoPermissionOverride();
    NoPermissionOverride(const NoPermissionOverride&) = delete;
    NoPermissionOverride& operator=(const NoPermissionOverride&) = delete;

private:
    bool changed_ = false;
};

// While it lives, writing a file beyond limit bytes fails (EFBIG), as on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit old_ {};
    void (*oldHandler_)(int) = nullptr;
};

// Sets a file's modification time an hour back, so that a rewrite can't hide within the
// clock's resolution; returns the new time in seconds.
qint64 Backdate(const QString& path);
// The modification time in seconds.
qint64 ModifiedAt(const QString& path);

} // namespace vsptest
