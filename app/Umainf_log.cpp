// The log every subsystem writes through, the byte counters and the main timer.

#include "app/LogLine.h"
#include "app/Umainf.h"

#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>

namespace vsp {

namespace {
constexpr int MemoLineLimit = 30;

// A busy link logs a line per block. The locale's time format is worked out once (again
// only when the locale changes) and the time text once a second, so that a line costs the
// append and little more.
QString TimeOfDayText(const QTime& now)
{
    static QLocale locale;
    static QString format = LogTimeFormat(locale);
    static int second = -1;
    static QString text;
    const QLocale current;
    if (current != locale) {
        locale = current;
        format = LogTimeFormat(locale);
        second = -1;
    }
    const int s = now.msecsSinceStartOfDay() / 1000;
    if (s != second) {
        second = s;
        text = locale.toString(QTime::fromMSecsSinceStartOfDay(s * 1000), format);
    }
    return text;
}

constexpr qint64 MsecsPerDay = 24 * 3600 * 1000;

QString MemoLine(int msecsOfDay, const QString& message)
{
    return TimeOfDayText(QTime::fromMSecsSinceStartOfDay(msecsOfDay)) + QStringLiteral(": ")
        + message;
}
} // namespace

void TMainForm::Log(const QString& message)
{
    if (Platform.LogToStderr) WriteStderrLogLine(QDateTime::currentDateTime(), message);
    // Read at each call: switching the log on or off takes effect at the next message.
    if (!LogEnabledCheckBox->isChecked()) return;
    if (!LogWindow.isValid() || LogWindow.elapsed() >= LogWindowMs) StartLogWindow();
    const int msecs = int((LogWindowStart + LogWindow.elapsed()) % MsecsPerDay);
    if (LogPending.isEmpty() && LogWindowLines < LogBurstLines) {
        ++LogWindowLines;
        LogWriting = true;
        LogMessagesMemo->appendPlainText(MemoLine(msecs, message));
        LogWriting = false;
        return;
    }
    // A flood: only the newest lines could show, and they go in at the end of the window.
    LogPending.append({ message, msecs });
    if (LogPending.size() > MemoLineLimit) LogPending.removeFirst();
    if (!LogFlushTimer) {
        LogFlushTimer = new QTimer(this);
        LogFlushTimer->setSingleShot(true);
        connect(LogFlushTimer, &QTimer::timeout, this, [this] { FlushLog(); });
    }
    if (!LogFlushTimer->isActive())
        LogFlushTimer->start(int(qMax<qint64>(0, LogWindowMs - LogWindow.elapsed())));
}

void TMainForm::FlushLog()
{
    if (LogFlushTimer) LogFlushTimer->stop();
    if (LogPending.isEmpty()) return;
    QStringList lines;
    for (const TPendingLine& line : std::as_const(LogPending))
        lines << MemoLine(line.MsecsOfDay, line.Message);
    LogPending.clear();
    LogWriting = true;
    LogMessagesMemo->appendPlainText(lines.join(QLatin1Char('\n')));
    LogWriting = false;
    StartLogWindow();
}

void TMainForm::StartLogWindow()
{
    LogWindow.start();
    LogWindowStart = QTime::currentTime().msecsSinceStartOfDay();
    LogWindowLines = 0;
}

void TMainForm::LogMessagesMemoChange()
{
    // Changed by someone else (emptied): lines still waiting were logged before that.
    if (!LogWriting) LogPending.clear();
    // Removing the line changes the memo again and brings us back here, so a message that
    // brought several lines still ends at the limit.
    QTextDocument* doc = LogMessagesMemo->document();
    if (doc->blockCount() <= MemoLineLimit) return;
    QTextCursor cursor(doc->firstBlock());
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

void TMainForm::ClearAllMessagesClickClick()
{
    LogPending.clear();
    LogMessagesMemo->clear();
}

void TMainForm::ShowCounter(QLabel* label, int32_t value)
{
    // The label has a fixed size (see the layout), so this costs a repaint request only.
    // The counters wrap as 32-bit values; past 2 GiB they read on as unsigned numbers
    // rather than turning negative.
    label->setText(QString::number(uint32_t(value)));
}

void TMainForm::ShowCounters(const TLinkCounters& counters)
{
    ShowCounter(SerialRxLabel, counters.SerialRx);
    ShowCounter(SerialTxLabel, counters.SerialTx);
    ShowCounter(LANRxLabel, counters.LanRx);
    ShowCounter(LANTxLabel, counters.LanTx);
}

void TMainForm::ResetCounters()
{
    Link->ResetCounters();
}

void TMainForm::OnMainTimerTimer()
{
    const qint64 due = TickClock.elapsed() / MainTimerInterval;
    if (MainTimer->interval() == MainTimerInterval) {
        // At pace, one step per tick, however late the tick came.
        MainTimerStep();
        TicksDue = due;
    } else {
        // Idle: the steps of the ticks that passed (counting for the keep-connection check;
        // flushes of an empty store), at most a few seconds' worth.
        for (qint64 n = qBound(qint64(1), due - TicksDue, qint64(1000)); n > 0; --n)
            MainTimerStep();
        TicksDue = due;
    }
    PaceMainTimer();
}

void TMainForm::PaceMainTimer()
{
    // A timer stopped by its owner (tests drive the steps by hand) stays stopped.
    if (!MainTimer->isActive()) return;
    const bool busy = Link->WantsPace();
    const int interval = busy ? MainTimerInterval : IdleTimerInterval;
    if (MainTimer->interval() == interval) return;
    if (busy) {
        TicksDue = TickClock.elapsed() / MainTimerInterval; // at pace from now on
        // Idle, the ticks had no phase: the first tick at pace flushes, as the next of a
        // timer that had been running would at the latest.
        Link->AtPace();
    }
    MainTimer->start(interval);
}

} // namespace vsp
