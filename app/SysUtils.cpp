#include "app/SysUtils.h"

namespace vsp {

int StrToInt(const QString& text)
{
    bool ok = false;
    const QString t = text.trimmed();
    // Only plain decimal: "0x1F", "1e3" or "12abc" are not port numbers.
    bool digitsOnly = !t.isEmpty();
    for (int i = 0; i < t.size(); ++i) {
        const QChar c = t.at(i);
        if (c.isDigit() && c.unicode() < 128) continue;
        if (i == 0 && (c == QLatin1Char('-') || c == QLatin1Char('+')) && t.size() > 1) continue;
        digitsOnly = false;
        break;
    }
    const int value = digitsOnly ? t.toInt(&ok, 10) : 0;
    if (!ok) throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(text));
    return value;
}

} // namespace vsp
