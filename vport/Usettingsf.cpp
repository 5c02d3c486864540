#include "vport/Usettingsf.h"

#include <QTextEdit>
#include <QVBoxLayout>

vsp::TSettingsForm* SettingsForm = nullptr;

namespace vsp {

TSettingsForm::TSettingsForm(QWidget* parent)
    : QWidget(parent)
    , SettingsRichEdit(new QTextEdit(this))
{
    setWindowTitle(QStringLiteral("VSP Settings"));
    resize(417, 486);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(SettingsRichEdit);
}

void TSettingsForm::AddLine(const QString& line) { SettingsRichEdit->append(line); }
void TSettingsForm::Clear() { SettingsRichEdit->clear(); }

} // namespace vsp
