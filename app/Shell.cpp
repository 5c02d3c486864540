#include "app/Shell.h"

#include "app/Messages.h"

#include <QDesktopServices>
#include <QMutex>

static void InitResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace vsp {

namespace {
QMutex openerMutex;
UrlOpener& Opener()
{
    static UrlOpener opener;
    return opener;
}
} // namespace

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

void SetUrlOpener(UrlOpener opener)
{
    QMutexLocker lock(&openerMutex);
    Opener() = std::move(opener);
}

bool OpenUrl(const QUrl& url)
{
    UrlOpener opener;
    {
        QMutexLocker lock(&openerMutex);
        opener = Opener();
    }
    if (opener) return opener(url);
    return QDesktopServices::openUrl(url);
}

namespace {
QMutex probeMutex;
TrayProbe& Probe()
{
    static TrayProbe probe;
    return probe;
}
} // namespace

void SetTrayProbe(TrayProbe probe)
{
    QMutexLocker lock(&probeMutex);
    Probe() = std::move(probe);
}

bool TrayAvailable()
{
    TrayProbe probe;
    {
        QMutexLocker lock(&probeMutex);
        probe = Probe();
    }
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
