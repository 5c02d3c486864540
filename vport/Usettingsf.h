#pragma once
// The settings report window: a plain-text report of the live configuration, the
// operating system, the log so far and, at its end, the module's own settings.

#include <QWidget>

class QTextEdit;

namespace vsp {

class TSettingsForm : public QWidget {
    Q_OBJECT
public:
    explicit TSettingsForm(QWidget* parent = nullptr);

    QTextEdit* SettingsRichEdit;

    // Appends one line (the piece may itself hold line breaks).
    void AddLine(const QString& line);
    void Clear();
};

} // namespace vsp

extern vsp::TSettingsForm* SettingsForm;
