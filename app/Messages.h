#pragma once
// Window messages of the main window. The program and its two workers talk to the main
// window only through these, posted as Qt events so they are handled on the UI thread
// in the order they arrive.

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <cstdint>

namespace vsp {

constexpr int WM_USER = 1024;
constexpr int WM_TRAYNOTIFY = WM_USER; // notification icon mouse event; lParam = mouse message
constexpr int WM_STARTUPHIDE = WM_USER + 1; // posted by the first show: hide right after showing
constexpr int WM_PINGRESULT = WM_USER + 2; // posted by the ping worker; wParam = result code
constexpr int WM_UDPMODULEFOUND = WM_USER + 3; // posted by the discovery worker

// Mouse messages carried in lParam of WM_TRAYNOTIFY.
constexpr std::intptr_t WM_LBUTTONDOWN = 0x201;
constexpr std::intptr_t WM_LBUTTONDBLCLK = 0x203;
constexpr std::intptr_t WM_RBUTTONDOWN = 0x204;
constexpr std::intptr_t WM_MBUTTONDOWN = 0x207;

// A posted window message. Its Qt event type is QEvent::User + the message number, so
// each message keeps a type of its own and nothing else in Qt collides with it.
class TWinMessage : public QEvent {
public:
    TWinMessage(int msg, std::uintptr_t wParam = 0, std::intptr_t lParam = 0)
        : QEvent(TypeOf(msg))
        , Msg(msg)
        , WParam(wParam)
        , LParam(lParam)
    {
    }

    static QEvent::Type TypeOf(int msg) { return QEvent::Type(QEvent::User + msg); }
    static bool IsWinMessage(const QEvent* e)
    {
        return e->type() >= QEvent::User + WM_USER && e->type() < QEvent::User + WM_USER + 256;
    }

    const int Msg;
    const std::uintptr_t WParam;
    const std::intptr_t LParam;
};

// PostMessage: thread-safe; the receiver owns nothing until the event arrives.
inline void PostMessage(
    QObject* receiver, int msg, std::uintptr_t wParam = 0, std::intptr_t lParam = 0)
{
    if (receiver) QCoreApplication::postEvent(receiver, new TWinMessage(msg, wParam, lParam));
}

} // namespace vsp
