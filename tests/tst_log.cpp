// The log every subsystem writes through, its copy on standard error, and the counters.

#include "app/Dialogs.h"
#include "app/LogLine.h"
#include "app/Umainf.h"
#include "link/Sockets.h"
#include "tests/support/FormHarness.h"

#include "tests/support/TestSupport.h"
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTcpServer>
#include <QTextBlock>
#include <QTimer>

#include <QtTest>

#include <climits>
#include <fcntl.h>
#include <unistd.h>

using namespace vsp;

namespace {

QStringList MemoLines(const TMainForm& form)
{
    const QString text = form.LogMessagesMemo->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

// The process's resident size.
qint64 ResidentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly)) return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toLongLong() * ::sysconf(_SC_PAGESIZE);
}

// Counts the relayout requests a widget receives.
class LayoutRequestCounter : public QObject {
public:
    int Count = 0;
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::LayoutRequest) ++Count;
        return false;
    }
};

} // namespace

class TstLog : public QObject {
    Q_OBJECT
private Q_SLOTS:

    void disabledLogWritesNothingAndKeepsOldLines()
    {
        vsptest::FormHarness form(vsptest::DesignDefaults, {}, { .log = false });
        QVERIFY(!form->LogEnabledCheckBox->isChecked()); // design state
        form->Log(QStringLiteral("not shown"));
        QVERIFY(MemoLines(*form).isEmpty());

        form->LogEnabledCheckBox->setChecked(true);
        form->Log(QStringLiteral("shown"));
        form->LogEnabledCheckBox->setChecked(false);
        form->Log(QStringLiteral("not shown either"));
        const QStringList lines = MemoLines(*form);
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines.first().endsWith(QStringLiteral(": shown")));
    }

    void memoKeepsTheNewestThirtyLines()
    {
        vsptest::FormHarness form(vsptest::DesignDefaults, {}, { .log = false });
        form->LogEnabledCheckBox->setChecked(true);
        for (int i = 1; i <= 31; ++i)
            form->Log(QStringLiteral("message %1").arg(i));
        QStringList lines = MemoLines(*form);
        QCOMPARE(lines.size(), 30);
        QVERIFY(lines.first().endsWith(QStringLiteral(": message 2")));
        QVERIFY(lines.last().endsWith(QStringLiteral(": message 31")));

        // A message that brings several lines at once still leaves thirty.
        form->Log(QStringLiteral("first\nsecond\nthird"));
        lines = MemoLines(*form);
        QCOMPARE(lines.size(), 30);
        QCOMPARE(lines.last(), QStringLiteral("third"));
        QVERIFY(lines.first().endsWith(QStringLiteral(": message 5")));
    }

    // The memo keeps its 30 lines and nothing else of what was logged: however long a busy
    // link logs a line per block, the memory stays where it was.
    void memoryStaysFlatHoweverMuchIsLogged()
    {
        vsptest::FormHarness form(vsptest::DesignDefaults, {}, { .log = false });
        form->LogEnabledCheckBox->setChecked(true);
        const QString message = QStringLiteral("Serial port closed, data dropped out");
        for (int i = 0; i < 1000; ++i)
            form->Log(message);
        QCoreApplication::processEvents();
        const qint64 before = ResidentBytes();
        // Nor does it lay the memo out again for every line: a flood is written at most a
        // few times a second, with the newest lines.
        QSignalSpy writes(form->LogMessagesMemo, &QPlainTextEdit::textChanged);
        for (int i = 0; i < 200000; ++i)
            form->Log(message);
        form->Log(QStringLiteral("last"));
        QVERIFY2(writes.count() < 2000, qPrintable(QString::number(writes.count())));
        QTRY_VERIFY(MemoLines(*form).last().endsWith(QStringLiteral(": last")));
        // Lines that come one at a time are written one at a time: the memo must keep no
        // history of those writes either.
        for (int i = 0; i < 20000; ++i) {
            form->Log(message);
            form->FlushLog();
        }
        const qint64 grown = ResidentBytes() - before;
        // AddressSanitizer holds freed memory in quarantine, so there the resident size says
        // nothing about what the log keeps.
#if !defined(__SANITIZE_ADDRESS__)
        QVERIFY2(grown < 2 * 1024 * 1024, qPrintable(QStringLiteral("%1 bytes more").arg(grown)));
#else
        Q_UNUSED(grown);
#endif
        QCOMPARE(MemoLines(*form).size(), 30);
        QVERIFY(MemoLines(*form).at(28).endsWith(message));

        // A clear drops what was still on its way; the report takes what is.
        for (int i = 0; i < 200; ++i)
            form->Log(message);
        form->ClearAllMessagesClick->trigger();
        QTest::qWait(TMainForm::LogWindowMs + 50);
        QVERIFY(MemoLines(*form).isEmpty());
        for (int i = 0; i < 200; ++i)
            form->Log(QStringLiteral("line %1").arg(i));
        form->FlushLog();
        QCOMPARE(MemoLines(*form).size(), 30);
        QVERIFY(MemoLines(*form).last().endsWith(QStringLiteral(": line 199")));
    }

    void clearAllMessagesEmptiesTheMemo()
    {
        vsptest::FormHarness form(vsptest::DesignDefaults, {}, { .log = false });
        form->LogEnabledCheckBox->setChecked(true);
        for (int i = 0; i < 5; ++i)
            form->Log(QStringLiteral("old %1").arg(i));
        QCOMPARE(form->LogMessagePopupMenu->actions().size(), 1);
        QAction* clear = form->LogMessagePopupMenu->actions().first();
        QCOMPARE(clear, form->ClearAllMessagesClick);
        QCOMPARE(clear->text(), QStringLiteral("Clear all messages"));
        clear->trigger();
        QVERIFY(MemoLines(*form).isEmpty());
        form->Log(QStringLiteral("new"));
        const QStringList lines = MemoLines(*form);
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines.first().endsWith(QStringLiteral(": new")));
    }

    void lineStartsWithTheTimeOfDay_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("line");
        // The zone part of Qt's long format is dropped wherever it stands.
        QTest::newRow("C") << "C"
                           << "HH:mm:ss"
                           << "14:05:33: text";
        QTest::newRow("de_DE") << "de_DE"
                               << "HH:mm:ss"
                               << "14:05:33: text";
        QTest::newRow("en_US 12-hour") << "en_US"
                                       << "h:mm:ss AP"
                                       << "2:05:33 PM: text";
        QTest::newRow("zh_CN zone first") << "zh_CN"
                                          << "HH:mm:ss"
                                          << "14:05:33: text";
        QTest::newRow("fa_IR zone in brackets") << "fa_IR"
                                                << "H:mm:ss"
                                                << "";
        QTest::newRow("bg_BG quoted text") << "bg_BG"
                                           << "H:mm:ss 'ч'."
                                           << "14:05:33 ч.: text";
    }

    void lineStartsWithTheTimeOfDay()
    {
        QFETCH(QString, locale);
        QFETCH(QString, format);
        QFETCH(QString, line);
        const QLocale l(locale);
        QCOMPARE(LogTimeFormat(l), format);
        if (!line.isEmpty()) QCOMPARE(LogLine(QTime(14, 5, 33), QStringLiteral("text"), l), line);
    }

    void loggedLineCarriesTheCurrentTime()
    {
        vsptest::FormHarness form(vsptest::DesignDefaults, {}, { .log = false });
        form->LogEnabledCheckBox->setChecked(true);
        const QTime before = QTime::currentTime();
        form->Log(QStringLiteral("now"));
        const QTime after = QTime::currentTime();
        const QString line = MemoLines(*form).value(0);
        const QString format = LogTimeFormat(QLocale());
        const int sep = int(line.lastIndexOf(QStringLiteral(": now")));
        QVERIFY2(sep > 0, qPrintable(line));
        const QTime stamped = QTime::fromString(line.left(sep), format);
        QVERIFY2(stamped.isValid(), qPrintable(line));
        QVERIFY(stamped >= QTime(before.hour(), before.minute(), before.second()));
        QVERIFY(stamped <= after);
        QVERIFY(!line.contains(QRegularExpression(QStringLiteral("\\d{4}-\\d\\d-\\d\\d"))));
    }

    void stderrCopyWhetherOrNotLogIsEnabled()
    {
        vsptest::FormHarness form(vsptest::DesignDefaults, {}, { .log = false });
        QVERIFY(!form->LogEnabledCheckBox->isChecked());

        QByteArray err = vsptest::CaptureStderr([&] { form->Log(QStringLiteral("quiet")); });
        QVERIFY2(!err.contains("quiet"), err.constData());

        TPlatform toStderr;
        toStderr.LogToStderr = true;
        vsptest::FormHarness loud(vsptest::DesignDefaults, toStderr, { .log = false });
        err = vsptest::CaptureStderr([&] {
            loud->Log(QStringLiteral("to the journal"));
            loud->Log(QStringLiteral("two\r\nlines"));
        });

        const QList<QByteArray> lines = err.split('\n');
        QCOMPARE(lines.size(), 3); // two lines and what follows the last line break
        QVERIFY(lines.at(2).isEmpty());
        const QRegularExpression stamp(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} "));
        QVERIFY2(stamp.match(QString::fromLocal8Bit(lines.at(0))).hasMatch(), lines.at(0));
        QVERIFY(lines.at(0).endsWith(" to the journal"));
        QVERIFY(lines.at(1).endsWith(" two lines"));
        QVERIFY(MemoLines(*loud).isEmpty()); // the memo still follows the check box
    }

    void countersShowPlainDecimal()
    {
        vsptest::FormHarness form(vsptest::DesignDefaults, {}, { .log = false });
        QLabel* labels[]
            = { form->SerialRxLabel, form->SerialTxLabel, form->LANRxLabel, form->LANTxLabel };
        for (QLabel* label : labels) {
            QCOMPARE(label->text(), QStringLiteral("0"));
            // The widest value still fits the label's fixed place.
            QVERIFY(label->fontMetrics().horizontalAdvance(QStringLiteral("4294967295"))
                <= label->width());
        }
        form->ShowCounter(form->SerialRxLabel, 1234567);
        QCOMPARE(form->SerialRxLabel->text(), QStringLiteral("1234567"));
        form->ShowCounter(form->LANTxLabel, INT32_MAX);
        QCOMPARE(form->LANTxLabel->text(), QStringLiteral("2147483647"));
        // Past 2 GiB a counter reads on, never negative.
        form->ShowCounter(form->LANTxLabel, int32_t(uint32_t(INT32_MAX) + 1));
        QCOMPARE(form->LANTxLabel->text(), QStringLiteral("2147483648"));

        form->ShowCounters({ 5, 6, 7, 8 });
        form->ResetCounters();
        QCOMPARE(form->Link->SerialRxCount(), 0);
        QCOMPARE(form->Link->LanRxCount(), 0);
        for (QLabel* label : labels)
            QCOMPARE(label->text(), QStringLiteral("0"));
    }

    // ShowCounter runs for every 512-byte block of a busy link: it must not make the
    // window lay itself out again, and it must stay cheap.
    void showCounterIsCheap()
    {
        vsptest::FormHarness form(vsptest::DesignDefaults, {}, { .log = false });
        form->MainPageControl->setCurrentWidget(form->VSPTabSheet);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        LayoutRequestCounter requests;
        form->PortStatusGroupBox->installEventFilter(&requests);

        constexpr int calls = 200000;
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < calls; ++i)
            form->ShowCounter(form->SerialRxLabel, i * 512);
        const qint64 ns = clock.nsecsElapsed();
        QCoreApplication::processEvents();
        QCOMPARE(requests.Count, 0);
        QCOMPARE(form->SerialRxLabel->text(), QString::number((calls - 1) * 512));
        qInfo("ShowCounter: %.0f ns per call (%d calls)", double(ns) / calls, calls);
        form->PortStatusGroupBox->removeEventFilter(&requests);
    }

    // The timer wakes at 5 ms only while the relay has work; at rest it wakes rarely but
    // still runs a step for every 5 ms that passed (the keep-connection check counts them).
    void mainTimerTicksEveryFiveMilliseconds()
    {
        vsptest::FormHarness form(vsptest::DesignDefaults, {}, { .log = false });
        QVERIFY(form->MainTimer->isActive());
        QCOMPARE(form->MainTimer->timerType(), Qt::PreciseTimer);
        QCOMPARE(form->MainTimer->interval(), TMainForm::IdleTimerInterval);
        const int32_t ticks = form->Link->KeepTicks();
        QTest::qWait(1000);
        QVERIFY2(form->Link->KeepTicks() - ticks >= 150 && form->Link->KeepTicks() - ticks <= 260,
            qPrintable(QString::number(form->Link->KeepTicks() - ticks)));

        // Bytes that cannot go (no link) wait for the reconnection at the idle pace: the
        // steps still run for every 5 ms, with no wake-up of their own.
        QVERIFY(form->Link->StorePending(reinterpret_cast<const uint8_t*>("x"), 1, false));
        form->PaceMainTimer();
        QCOMPARE(form->MainTimer->interval(), TMainForm::IdleTimerInterval);
        const int32_t waiting = form->Link->KeepTicks();
        QTest::qWait(1000);
        QCOMPARE(form->MainTimer->interval(), TMainForm::IdleTimerInterval);
        QVERIFY2(
            form->Link->KeepTicks() - waiting >= 150 && form->Link->KeepTicks() - waiting <= 260,
            qPrintable(QString::number(form->Link->KeepTicks() - waiting)));
        QVERIFY(form->Link->FlushTicks() <= 1); // the flush still runs, and finds no link

        // Bytes the link can take: at pace until the store is empty again.
        QTcpServer module;
        QVERIFY(module.listen(QHostAddress::LocalHost));
        form->IPAddressComboBox->setEditText(QStringLiteral("127.0.0.1"));
        form->VSPClientSocket->Host = QStringLiteral("127.0.0.1");
        form->VSPClientSocket->Port = module.serverPort();
        form->OpenClientLink();
        QTRY_VERIFY(form->Link->DataConnection());
        QTRY_COMPARE(form->MainTimer->interval(), TMainForm::IdleTimerInterval);
        QVERIFY(form->Link->StorePending(reinterpret_cast<const uint8_t*>("y"), 1, false));
        form->PaceMainTimer();
        QCOMPARE(form->MainTimer->interval(), TMainForm::MainTimerInterval);
        // A suspended link takes nothing: idle again.
        form->OnVSPClientSocketError(form->Link->DataConnection(), WSAECONNRESET);
        form->PaceMainTimer();
        QCOMPARE(form->MainTimer->interval(), TMainForm::IdleTimerInterval);
    }
};

QTEST_MAIN(TstLog)
#include "tst_log.moc"
