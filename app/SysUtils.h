#pragma once
// Text-to-number conversion with the program's own error text, for the port fields.

#include <QString>
#include <stdexcept>

namespace vsp {

class EConvertError : public std::runtime_error {
public:
    explicit EConvertError(const QString& message)
        : std::runtime_error(message.toStdString())
    {
    }
    QString Message() const { return QString::fromStdString(what()); }
};

// A decimal integer with an optional sign and surrounding blanks, in the 32-bit range;
// anything else throws EConvertError("'<text>' is not a valid integer value").
int StrToInt(const QString& text);

} // namespace vsp
