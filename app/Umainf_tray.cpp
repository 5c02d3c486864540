// The notification-area icon, hiding the window, and the logo's link to the maker's page.

#include "app/Messages.h"
#include "app/Shell.h"
#include "app/Umainf.h"

#include <QComboBox>
#include <QSystemTrayIcon>

namespace vsp {

namespace {
constexpr uint32_t TrayFlagsAdd = 7; // message, icon and tip
constexpr uint32_t TrayFlagsTip = 4; // tip only
const QString TrayTipPrefix = QStringLiteral("Orvane Virtual port manager ");
} // namespace

QString BuildTrayTip(const QString& portName)
{
    QString tip = TrayTipPrefix + portName;
    constexpr int room = TTrayIconData::TipSize - 1; // the field keeps its terminator
    if (tip.size() > room) {
        // Never leave half of a surrogate pair at the end.
        tip.truncate(tip.at(room - 1).isHighSurrogate() ? room - 1 : room);
    }
    return tip;
}

void TMainForm::AddTrayIcon()
{
    TrayIconData.Id = 1;
    TrayIconData.Flags = TrayFlagsAdd;
    TrayIconData.Tip = BuildTrayTip(ComPortComboBox->currentText());
    if (TrayIconData.Icon) {
        TrayIconData.Icon->setToolTip(TrayIconData.Tip);
        return;
    }
    if (!TrayAvailable(Platform.TrayAvailable)) {
        // Without a tray the window is the only way back in: the program still runs, but
        // "Hide" would leave nothing to click. Say so where the user will look.
        Log(QStringLiteral("No notification area on this desktop; running without a tray icon"));
        return;
    }
    auto* icon = new QSystemTrayIcon(MainIcon(), this);
    icon->setToolTip(TrayIconData.Tip);
    // The shell's callback: every click arrives as WM_TRAYNOTIFY carrying its mouse
    // message, and the window procedure decides what it means.
    connect(
        icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (const std::intptr_t mouse = TrayMouseMessage(reason))
                PostMessage(this, WM_TRAYNOTIFY, 0, mouse);
        });
    icon->show();
    TrayIconData.Icon = icon;
}

void TMainForm::RemoveTrayIcon()
{
    if (!TrayIconData.Icon) return;
    TrayIconData.Icon->hide();
    delete TrayIconData.Icon;
    TrayIconData.Icon = nullptr;
}

void TMainForm::ComPortComboBoxChange()
{
    TrayIconData.Flags = TrayFlagsTip;
    TrayIconData.Tip = BuildTrayTip(ComPortComboBox->currentText());
    if (TrayIconData.Icon) TrayIconData.Icon->setToolTip(TrayIconData.Tip);
}

// The port, the link and the workers keep running; only the window goes out of sight.
// Hidden, the window comes back only through the icon: without one it is minimised
// instead, so that it stays on the task bar and comes back with a click there.
void TMainForm::HideBitBtnClick()
{
    if (TrayIconData.Icon) {
        hide();
        return;
    }
    if (!HideMinimisesToldOnce) {
        HideMinimisesToldOnce = true;
        Log(QStringLiteral("No notification area to hide the window in; it is minimised "
                           "instead"));
    }
    showMinimized();
}

void TMainForm::LogoImageClick()
{
    OpenUrl(QUrl(QString::fromLatin1(MakerWebPage)), Platform.OpenUrl);
}

} // namespace vsp
