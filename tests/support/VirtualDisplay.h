#pragma once
// A virtual X display (Xvfb) of the test's own, without a window manager or a tray, for
// running the real program on a display as a desktop user would; and what such a user
// does to its windows (tests/support/x11_window.py: close one, see whether it is shown).

#include <QProcess>
#include <QString>

namespace vsptest {

class VirtualDisplay {
public:
    VirtualDisplay() = default;
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    // False, with the reason in *why, when Xvfb is missing or does not come up.
    bool Start(QString* why);
    QString Name() const { return name_; } // ":N", for DISPLAY

    // "viewable", "unmapped" or "none" for the top-level window with that title.
    QString WindowState(const QString& title) const;
    // Waits until the window with that title is shown; false when the limit passes first or
    // the program has ended.
    bool WaitShown(const QString& title, const QProcess& program, int limitMs) const;
    // Asks the shown windows with that title to close, as their close button does; the
    // number of windows asked.
    int CloseWindow(const QString& title) const;

private:
    QString Tool(const QString& command, const QString& title) const;
    QProcess server_;
    QString name_;
};

} // namespace vsptest
