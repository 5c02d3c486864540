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

// Opens url with the desktop's "open" action, or with opener when there is one; the result
// is only informational.
using UrlOpener = std::function<bool(const QUrl& url)>;
bool OpenUrl(const QUrl& url, const UrlOpener& opener = {});

// Whether the desktop has a notification area to put the icon in: probe's answer when
// there is a probe, else the desktop's own.
using TrayProbe = std::function<bool()>;
bool TrayAvailable(const TrayProbe& probe = {});

// The mouse message (WM_LBUTTONDOWN ...) a click on the notification icon stands for, or
// 0 for an activation that is no click.
std::intptr_t TrayMouseMessage(QSystemTrayIcon::ActivationReason reason);

} // namespace vsp
