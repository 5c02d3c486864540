#pragma once
// The settings report window: a plain-text report of the live configuration, the
// operating system, the log so far and, at its end, the module's own settings. It lives
// as long as the program; closing it only hides it.

#include <QWidget>

class QTextEdit;

namespace vsp {

class TSettingsForm : public QWidget {
    Q_OBJECT
public:
    explicit TSettingsForm(QWidget* parent = nullptr);

    static constexpr int OuterWidth = 417;
    static constexpr int OuterHeight = 486;

    QTextEdit* SettingsRichEdit;

    // Appends one line. The piece may itself hold line breaks (CR LF, CR or LF); each
    // shows as one break, as the module's console meant it.
    void AddLine(const QString& line);
    void Clear();

protected:
    void showEvent(QShowEvent* event) override;

private:
    int lines_ = 0;
};

} // namespace vsp
