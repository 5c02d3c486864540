// Log, status labels, counters and the main timer.
#include "app/Umainf.h"

#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTime>

namespace vsp {

void TMainForm::Log(const QString& message)
{
    if (!LogEnabledCheckBox->isChecked())
        return;
    LogMessagesMemo->appendPlainText(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")) + QStringLiteral(": ") + message);
}
void TMainForm::LogMessagesMemoChange() {}
void TMainForm::ClearAllMessagesClickClick() { LogMessagesMemo->clear(); }
void TMainForm::ShowCounter(QLabel* label, int32_t value) { label->setText(QString::number(value)); }
void TMainForm::ResetCounters()
{
    LanRxCount = LanTxCount = SerialRxCount = SerialTxCount = 0;
    ShowCounter(LANRxLabel, 0);
    ShowCounter(LANTxLabel, 0);
    ShowCounter(SerialRxLabel, 0);
    ShowCounter(SerialTxLabel, 0);
}
void TMainForm::OnMainTimerTimer() { MainTimerStep(); }

} // namespace vsp
