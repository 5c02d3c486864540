#pragma once
// The settings a window holds, as one readable value, and store texts to start it from:
// for tests of loading, saving and the command line.

#include "app/RegDocument.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <utility>

namespace vsp {
class TMainForm;
}

namespace vsptest {

// Control name -> text, or "0" / "1" for a check box. Names: ip, port, com, sport, tea1-4
// (texts); F, H, P, S (ping fail, hide, create, server mode), N, Nf, Nk, Np (NVT), tea, log,
// cc (connect closed), boot, kelmar.
using FormState = QMap<QString, QString>;
FormState StateOf(const vsp::TMainForm& form);
// The design state with changes: "ip=10.0.0.5|+S" sets the IP text and checks server mode.
FormState Expected(const QString& changes);
// One line, for failure messages.
QString Show(const FormState& state);

using SettingsList = QList<std::pair<QString, vsp::TRegValue>>;
// A store text: "DriverInstalled" = 1 (when driver) and these values of the settings key.
QByteArray SettingsText(const SettingsList& values, bool driver = true);
// Every setting the window loads, texts unlike the design state, in the load order.
// booleans: the value given to every check box but "Kelmar device present" (0).
SettingsList FullSettings(bool booleans);
// The FormState key of each setting's control.
QString StateKey(const QString& valueName);

} // namespace vsptest
