#include "app/Shell.h"

#include "app/Messages.h"

#include <QDesktopServices>

static void InitResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace vsp {

void EnsureResources()
{
    static const bool done = (InitResources(), true);
    (void)done;
}

QIcon MainIcon()
{
    EnsureResources();
    return QIcon(QString::fromLatin1(MainIconResource));
}

bool OpenUrl(const QUrl& url, const UrlOpener& opener)
{
    if (opener) return opener(url);
    return QDesktopServices::openUrl(url);
}

bool TrayAvailable(const TrayProbe& probe)
{
    return probe ? probe() : QSystemTrayIcon::isSystemTrayAvailable();
}

std::intptr_t TrayMouseMessage(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        return WM_LBUTTONDOWN;
    case QSystemTrayIcon::DoubleClick:
        return WM_LBUTTONDBLCLK;
    case QSystemTrayIcon::Context:
        return WM_RBUTTONDOWN;
    case QSystemTrayIcon::MiddleClick:
        return WM_MBUTTONDOWN;
    case QSystemTrayIcon::Unknown:
        break;
    }
    return 0;
}

} // namespace vsp
