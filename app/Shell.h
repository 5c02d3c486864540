#pragma once
// What the window asks of the desktop: opening the maker's web page, the program's own
// pictures, and which mouse message a click on the notification icon stands for.

#include <QIcon>
#include <QSystemTrayIcon>
#include <QUrl>
#include <cstdint>
#include <functional>

namespace vsp {

// The page the logo opens.
inline constexpr char MakerWebPage[] = "https://example.org/vsp";

// The program's pictures, compiled in as resources.
inline constexpr char LogoResource[] = ":/images/logo.jpg"; // JPEG, 321 x 89
inline constexpr char MainIconResource[] = ":/images/mainicon.png"; // "MAINICON"

// The pictures live in a static library, whose resource registration the linker would
// drop unless it is referenced: call before the first use (MainIcon does).
void EnsureResources();

// The application's main icon: the window's and the notification area's.
QIcon MainIcon();

// Opens url with the desktop's "open" action; the result is only informational. Tests
// install an opener so that nothing is opened for real; an empty one restores the desktop's.
using UrlOpener = std::function<bool(const QUrl& url)>;
void SetUrlOpener(UrlOpener opener);
bool OpenUrl(const QUrl& url);

// Whether the desktop has a notification area to put the icon in. Tests that are about the
// icon's behaviour, on a display that has none, install a probe; an empty one restores the
// desktop's own answer.
using TrayProbe = std::function<bool()>;
void SetTrayProbe(TrayProbe probe);
bool TrayAvailable();

// The mouse message (WM_LBUTTONDOWN ...) a click on the notification icon stands for, or
// 0 for an activation that is no click.
std::intptr_t TrayMouseMessage(QSystemTrayIcon::ActivationReason reason);

} // namespace vsp
