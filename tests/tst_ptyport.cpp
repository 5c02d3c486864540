// The virtual port over a pty, as other programs see it: every case drives the port from a
// real process (tests/support/pty_client.py, stty, pyserial) through the link it made.

#include "tests/support/PtyClient.h"
#include "tests/support/TestSupport.h"
#include "vport/PtyPort.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace vsp;
using vsptest::Pattern;
using vsptest::PtyClient;

namespace {

// Everything the port raised, in order, as text; optionally reading all bytes at each
// OnRxChar the way the relay does.
struct Recorder {
    Recorder(TPtyVSPort& port, bool readAll)
    {
        port.OnRxChar = [this, &port, readAll](int32_t) {
            ++rxEvents;
            if (!readAll) return;
            const int32_t n = port.GetInCount();
            const auto old = received.size();
            received.resize(old + n);
            received.resize(old + port.Read(reinterpret_cast<uint8_t*>(received.data()) + old, n));
        };
        port.OnOpenClose = [this](bool on) {
            log << (on ? QStringLiteral("open") : QStringLiteral("close"));
            if (!on) receivedAtClose = received.size();
        };
        port.OnBaudRate = [this](int32_t baud) { log << QStringLiteral("baud %1").arg(baud); };
        port.OnLineControl = [this](int32_t stop, int32_t parity, int32_t bits) {
            log << QStringLiteral("line %1 %2 %3").arg(stop).arg(parity).arg(bits);
        };
        port.OnHandflow = [this](int32_t handShake, int32_t flow, int32_t, int32_t) {
            log << QStringLiteral("flow %1 %2").arg(handShake).arg(flow);
        };
    }
    int Count(const QString& entry) const { return int(log.count(entry)); }
    int Settings() const
    {
        return int(std::count_if(log.begin(), log.end(), [](const QString& e) {
            return e.startsWith(QLatin1String("baud")) || e.startsWith(QLatin1String("line"))
                || e.startsWith(QLatin1String("flow"));
        }));
    }

    QStringList log;
    int rxEvents = 0;
    QByteArray received;
    qsizetype receivedAtClose = -1;
};

QByteArray ReadAll(TPtyVSPort& port)
{
    QByteArray out(port.GetInCount(), Qt::Uninitialized);
    out.resize(port.Read(reinterpret_cast<uint8_t*>(out.data()), int32_t(out.size())));
    return out;
}

// Offers all of data to the port, letting the event loop flush its queue whenever the
// kernel and the queue are full.
bool WriteAll(TPtyVSPort& port, const QByteArray& data, int timeoutMs = 60000)
{
    QDeadlineTimer deadline(timeoutMs);
    qsizetype sent = 0;
    while (sent < data.size() && !deadline.hasExpired()) {
        sent += port.Write(reinterpret_cast<const uint8_t*>(data.constData()) + sent,
            int32_t(std::min<qsizetype>(data.size() - sent, 65536)));
        if (sent < data.size()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return sent == data.size();
}

double CpuSeconds()
{
    rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec)
        + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

bool IsOurLink(const TPtyVSPort& port)
{
    return !port.SlavePath().isEmpty()
        && QFileInfo(port.LinkPath()).symLinkTarget() == port.SlavePath();
}

QString LockPath(const QString& link)
{
    QFileInfo info(link);
    return info.path() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".lock");
}

// The last set of the comm state in an event log: baud, line control, handflow.
QStringList LastCommState(const QStringList& log)
{
    const auto at = log.lastIndexOf(QRegularExpression(QStringLiteral("baud .*")));
    return at < 0 ? QStringList {} : log.mid(at, 3);
}

// One open, then only whole sets of the comm state, then one close.
bool OpenSetsClose(const QStringList& log)
{
    if (log.size() < 2 || log.first() != QLatin1String("open")
        || log.last() != QLatin1String("close") || (log.size() - 2) % 3 != 0)
        return false;
    for (qsizetype i = 1; i + 1 < log.size(); i += 3) {
        if (!log[i].startsWith(QLatin1String("baud "))
            || !log[i + 1].startsWith(QLatin1String("line "))
            || !log[i + 2].startsWith(QLatin1String("flow ")))
            return false;
    }
    return true;
}

} // namespace

class TstPtyPort : public QObject {
    Q_OBJECT

    QTemporaryDir root_;
    QString portDir_;
    TPortFolders folders_; // where bare names go: portDir_ unless a case says otherwise

    QString Path(const QString& relative) const { return root_.filePath(relative); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(root_.isValid());
        portDir_ = Path(QStringLiteral("ports"));
        QVERIFY(QDir().mkpath(portDir_));
        PtyClient probe;
        QVERIFY2(probe.Error().isEmpty(), qPrintable(probe.Error()));
        QVERIFY2(probe.Ok("check"), qPrintable(probe.Error()));
    }
    void init() { folders_ = { portDir_, {} }; }

    // Where the link goes, and that it leads to the pty.
    void linkIsMadeWhereTheNameSays_data()
    {
        QTest::addColumn<QString>("portDirEnv"); // VSP_PORT_DIR, "-" unset
        QTest::addColumn<QString>("runtimeDirEnv"); // XDG_RUNTIME_DIR, "-" unset
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expectedLink");
        const QString r = root_.path();
        QTest::newRow("bare name in VSP_PORT_DIR") << r + "/ports"
                                                   << "-"
                                                   << "COM2" << r + "/ports/COM2";
        QTest::newRow("VSP_PORT_DIR made on first use") << r + "/fresh/"
                                                        << "-"
                                                        << "COM5" << r + "/fresh/COM5";
        QTest::newRow("full path") << r + "/ports"
                                   << "-" << r + "/ttyVSP0" << r + "/ttyVSP0";
        QTest::newRow("XDG_RUNTIME_DIR/vsp") << "-" << r << "COM3" << r + "/vsp/COM3";
    }
    void linkIsMadeWhereTheNameSays()
    {
        QFETCH(QString, portDirEnv);
        QFETCH(QString, runtimeDirEnv);
        QFETCH(QString, name);
        QFETCH(QString, expectedLink);
        folders_.chosen = portDirEnv == QLatin1String("-") ? QString() : portDirEnv;
        if (runtimeDirEnv != QLatin1String("-")) folders_.runtime = runtimeDirEnv;

        QCOMPARE(PortLinkPath(name, folders_), expectedLink);
        TPtyVSPort port(folders_);
        QVERIFY2(port.CreatePort(name), qPrintable(port.LastError()));
        QCOMPARE(port.LinkPath(), expectedLink);
        QVERIFY(port.SlavePath().startsWith(QLatin1String("/dev/pts/")));
        QVERIFY(IsOurLink(port));
        QVERIFY(QFileInfo::exists(LockPath(expectedLink)));
        if (runtimeDirEnv != QLatin1String("-")) {
            struct stat st { };
            QCOMPARE(lstat(QFile::encodeName(runtimeDirEnv + "/vsp").constData(), &st), 0);
            QCOMPARE(st.st_mode & 0777, 0700u);
        }
        QVERIFY(!port.IsOpened());

        // Someone opening the link reaches this port.
        PtyClient client;
        QVERIFY2(client.Ok("open " + QFile::encodeName(expectedLink)), qPrintable(client.Error()));
        QTRY_VERIFY_WITH_TIMEOUT(port.IsOpened(), 10000);
    }

    void fallbackFolderIsUnderTmp()
    {
        QCOMPARE(PortLinkPath(QStringLiteral("COM2"), {}),
            QStringLiteral("/tmp/vsp-%1/COM2").arg(geteuid()));
    }

    // The default folder must be a directory of ours that nobody else can write into.
    void unsafeDefaultFolderIsRefused_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("symlink to elsewhere") << "symlink";
        QTest::newRow("writable by others") << "writable";
        QTest::newRow("another user's") << "foreign";
    }
    void unsafeDefaultFolderIsRefused()
    {
        QFETCH(QString, kind);
        const QString runtime = Path(QStringLiteral("runtime-") + kind);
        const QString folder = runtime + QStringLiteral("/vsp");
        const QString elsewhere = Path(QStringLiteral("elsewhere-") + kind);
        QVERIFY(QDir().mkpath(runtime));
        QVERIFY(QDir().mkpath(elsewhere));
        if (kind == QLatin1String("symlink")) {
            QVERIFY(QFile::link(elsewhere, folder));
        } else {
            QVERIFY(QDir().mkdir(folder));
            if (kind == QLatin1String("writable")) {
                QCOMPARE(chmod(QFile::encodeName(folder).constData(), 0777), 0);
            } else {
                if (!vsptest::IsRoot()) QSKIP("making a folder owned by another user needs root");
                QCOMPARE(chown(QFile::encodeName(folder).constData(), 65534, 65534), 0);
            }
        }
        folders_ = { {}, runtime };

        TPtyVSPort port(folders_);
        QVERIFY(!port.CreatePort(QStringLiteral("COM2")));
        QVERIFY2(port.LastError().contains(folder), qPrintable(port.LastError()));
        QVERIFY(QDir(elsewhere).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
        QVERIFY(QDir(folder).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
        QVERIFY(port.LinkPath().isEmpty());
    }

    // Whatever is not our own stale link stays exactly as it was.
    void refusesToReplace_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("regular file") << "file";
        QTest::newRow("directory") << "dir";
        QTest::newRow("foreign symlink") << "symlink";
        QTest::newRow("foreign symlink to a pty, no lock file") << "ptylink";
        QTest::newRow("lock held by another process") << "heldlock";
        QTest::newRow("lock file is a symlink") << "locklink";
    }
    void refusesToReplace()
    {
        QFETCH(QString, kind);
        const QString name = QStringLiteral("COMx-") + kind;
        const QString link = portDir_ + '/' + name;
        const QString victim = Path(QStringLiteral("victim-") + kind);
        PtyClient holder;
        if (kind == QLatin1String("file")) {
            QFile f(link);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("precious");
        } else if (kind == QLatin1String("dir")) {
            QVERIFY(QDir().mkdir(link));
        } else if (kind == QLatin1String("symlink")) {
            QVERIFY(QFile::link(QStringLiteral("/dev/null"), link));
        } else if (kind == QLatin1String("ptylink")) {
            QVERIFY(QFile::link(QStringLiteral("/dev/pts/0"), link));
        } else if (kind == QLatin1String("heldlock")) {
            QVERIFY(QFile::link(QStringLiteral("/dev/pts/0"), link));
            QVERIFY2(
                holder.Ok("lock " + QFile::encodeName(LockPath(link))), qPrintable(holder.Error()));
        } else {
            QVERIFY(QFile::link(victim, LockPath(link)));
        }
        const QString targetBefore = QFileInfo(link).symLinkTarget();

        TPtyVSPort port(folders_);
        QVERIFY(!port.CreatePort(name));
        QVERIFY(!port.LastError().isEmpty());
        qInfo().noquote() << kind << "refused:" << port.LastError();
        QVERIFY(port.LinkPath().isEmpty());
        QVERIFY(!port.IsOpened());

        if (kind == QLatin1String("file")) {
            QFile f(link);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), QByteArray("precious"));
        } else if (kind == QLatin1String("dir")) {
            QVERIFY(QFileInfo(link).isDir() && !QFileInfo(link).isSymLink());
        } else if (kind == QLatin1String("locklink")) {
            QVERIFY(!QFileInfo::exists(victim));
            QVERIFY(!QFileInfo(link).isSymLink() && !QFileInfo::exists(link));
        } else {
            QCOMPARE(QFileInfo(link).symLinkTarget(), targetBefore);
        }
        if (kind != QLatin1String("heldlock") && kind != QLatin1String("locklink"))
            QVERIFY2(!QFileInfo::exists(LockPath(link)), "a refused creation left a lock file");
    }

    // A second port manager (here: a second object) cannot take a name in use; the first
    // keeps working.
    void livePortKeepsItsName()
    {
        TPtyVSPort first(folders_), second(folders_);
        QVERIFY2(first.CreatePort(QStringLiteral("COM7")), qPrintable(first.LastError()));
        QVERIFY(!second.CreatePort(QStringLiteral("COM7")));
        QVERIFY2(
            second.LastError().contains(QLatin1String("in use")), qPrintable(second.LastError()));
        QVERIFY(IsOurLink(first));

        // Nor can the same object make a second port while it has one.
        QVERIFY(!first.CreatePort(QStringLiteral("COM8")));
        QVERIFY(!QFileInfo(portDir_ + QStringLiteral("/COM8")).isSymLink());
        QVERIFY(IsOurLink(first));

        Recorder events(first, true);
        PtyClient client;
        QVERIFY(client.Ok("open " + QFile::encodeName(first.LinkPath())));
        QVERIFY(client.Ok("write 4142"));
        QTRY_COMPARE_WITH_TIMEOUT(events.received, QByteArray("AB"), 10000);
    }

    // What a port manager that died leaves behind is ours to replace.
    void replacesItsOwnStaleLink_data()
    {
        QTest::addColumn<bool>("killedHolder");
        QTest::newRow("link and unheld lock file") << false;
        QTest::newRow("lock holder killed") << true;
    }
    void replacesItsOwnStaleLink()
    {
        QFETCH(bool, killedHolder);
        const QString name = QStringLiteral("COM-stale-%1").arg(killedHolder);
        const QString link = portDir_ + '/' + name;
        QVERIFY(QFile::link(QStringLiteral("/dev/pts/4242"), link));
        PtyClient holder;
        if (killedHolder) {
            QVERIFY(holder.Ok("lock " + QFile::encodeName(LockPath(link))));
            TPtyVSPort early(folders_);
            QVERIFY(!early.CreatePort(name)); // still held
            holder.Kill();
        } else {
            QFile lock(LockPath(link));
            QVERIFY(lock.open(QIODevice::WriteOnly));
        }

        TPtyVSPort port(folders_);
        QVERIFY2(port.CreatePort(name), qPrintable(port.LastError()));
        QVERIFY(IsOurLink(port));
        QDir dir(portDir_);
        const QStringList leftovers
            = dir.entryList({ '.' + name + ".new*" }, QDir::System | QDir::Hidden);
        QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers.join(' ')));
    }

    void deleteRemovesLinkAndLock()
    {
        TPtyVSPort port(folders_);
        QVERIFY(port.Delete()); // no port yet: harmless
        QVERIFY2(port.CreatePort(QStringLiteral("COM9")), qPrintable(port.LastError()));
        const QString link = port.LinkPath();
        QVERIFY(port.Delete());
        QVERIFY(!QFileInfo(link).isSymLink() && !QFileInfo::exists(link));
        QVERIFY(!QFileInfo::exists(LockPath(link)));
        QVERIFY(port.LinkPath().isEmpty() && port.SlavePath().isEmpty());
        QVERIFY(!port.IsOpened());
        QVERIFY(port.Delete());

        // The name is free again, for this object as for any other.
        QVERIFY2(port.CreatePort(QStringLiteral("COM9")), qPrintable(port.LastError()));
        QVERIFY(IsOurLink(port));

        // A link that someone replaced meanwhile is no longer ours to remove.
        QVERIFY(QFile::remove(link));
        QVERIFY(QFile::link(QStringLiteral("/dev/null"), link));
        QVERIFY(port.Delete());
        QCOMPARE(QFileInfo(link).symLinkTarget(), QStringLiteral("/dev/null"));
        QVERIFY(!QFileInfo::exists(LockPath(link)));
    }

    // A handler may delete the port from inside its own event (and make a new one).
    void deleteFromInsideAnEvent()
    {
        TPtyVSPort port(folders_);
        int opens = 0;
        port.OnOpenClose = [&](bool on) {
            if (on && ++opens == 1) {
                port.Delete();
                QVERIFY(port.CreatePort(QStringLiteral("COM23")));
            }
        };
        port.OnRxChar = [&](int32_t) { port.Delete(); };
        QVERIFY2(port.CreatePort(QStringLiteral("COM23")), qPrintable(port.LastError()));
        const QByteArray link = QFile::encodeName(port.LinkPath());
        PtyClient client;
        QVERIFY(client.Ok("open " + link));
        QTRY_COMPARE_WITH_TIMEOUT(opens, 1, 10000);
        QVERIFY(IsOurLink(port)); // the new port, made inside the event
        QVERIFY(client.Ok("close"));
        QVERIFY(client.Ok("open " + link));
        QTRY_COMPARE_WITH_TIMEOUT(opens, 2, 10000);
        QVERIFY(client.Ok("write 41"));
        QTRY_VERIFY_WITH_TIMEOUT(port.LinkPath().isEmpty(), 10000);
        QVERIFY(!QFileInfo(QFile::decodeName(link)).isSymLink());
        QTest::qWait(100);
    }

    void openAndCloseAreSeen()
    {
        TPtyVSPort port(folders_);
        Recorder events(port, false);
        QVERIFY2(port.CreatePort(QStringLiteral("COM10")), qPrintable(port.LastError()));
        const QByteArray link = QFile::encodeName(port.LinkPath());
        QVERIFY(!port.IsOpened());

        PtyClient a, b;
        QVERIFY(a.Ok("open " + link));
        QTRY_COMPARE_WITH_TIMEOUT(events.log, QStringList { "open" }, 10000);
        QVERIFY(port.IsOpened());

        // A second holder changes nothing until the last one lets go.
        QVERIFY(b.Ok("open " + link));
        QVERIFY(a.Ok("close"));
        QTest::qWait(200);
        QCOMPARE(events.log, QStringList { "open" });
        QVERIFY(port.IsOpened());
        QVERIFY(b.Ok("close"));
        QTRY_COMPARE_WITH_TIMEOUT(events.log, (QStringList { "open", "close" }), 10000);
        QVERIFY(!port.IsOpened());

        QVERIFY(a.Ok("open " + link));
        QTRY_COMPARE_WITH_TIMEOUT(events.log, (QStringList { "open", "close", "open" }), 10000);
        QVERIFY(port.IsOpened());
        a.Kill(); // a program that dies closes the port too
        QTRY_COMPARE_WITH_TIMEOUT(
            events.log, (QStringList { "open", "close", "open", "close" }), 10000);
        QVERIFY(!port.IsOpened());
    }

    // Bytes pass unchanged both ways and nothing comes back by itself.
    void rawModePassesEveryByte()
    {
        TPtyVSPort port(folders_);
        Recorder events(port, true);
        QVERIFY2(port.CreatePort(QStringLiteral("COM11")), qPrintable(port.LastError()));
        PtyClient client;
        QVERIFY(client.Ok("open " + QFile::encodeName(port.LinkPath())));
        QTRY_VERIFY_WITH_TIMEOUT(port.IsOpened(), 10000);

        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all.append(char(i));
        all += QByteArray("\r\n\r\x03\x04\x11\x13\x1a\x7f\xff\n\r", 12);

        QVERIFY(client.Ok("write " + all.toHex()));
        QTRY_COMPARE_WITH_TIMEOUT(events.received, all, 10000);

        QVERIFY(WriteAll(port, all));
        QCOMPARE(client.Call("read " + QByteArray::number(all.size()) + " 10000"), all.toHex());
        QCOMPARE(client.Call("drain 200"), QByteArray("")); // nothing doubled or added
        QTest::qWait(100);
        QCOMPARE(events.received, all); // no echo of what we wrote
        QCOMPARE(port.GetInCount(), 0);
    }

    void bulkToClientArrivesInOrder()
    {
        TPtyVSPort port(folders_);
        QVERIFY2(port.CreatePort(QStringLiteral("COM12")), qPrintable(port.LastError()));
        PtyClient client;
        QVERIFY(client.Ok("open " + QFile::encodeName(port.LinkPath())));
        QTRY_VERIFY_WITH_TIMEOUT(port.IsOpened(), 10000);

        const int size = 64 * 1024;
        client.Send("readpat " + QByteArray::number(size) + " 17 30000");
        QVERIFY(WriteAll(port, Pattern(size, 17)));
        const QList<QByteArray> r = client.Reply().split(' ');
        QCOMPARE(r.size(), 3);
        QCOMPARE(r[0].toInt(), size);
        QCOMPARE(r[1].toInt(), -1);
    }

    void bulkFromClientArrivesInOrder()
    {
        TPtyVSPort port(folders_);
        Recorder events(port, true);
        QVERIFY2(port.CreatePort(QStringLiteral("COM13")), qPrintable(port.LastError()));
        PtyClient client;
        QVERIFY(client.Ok("open " + QFile::encodeName(port.LinkPath())));
        const int size = 64 * 1024;
        QCOMPARE(
            client.Call("writepat " + QByteArray::number(size) + " 5"), QByteArray::number(size));
        QTRY_COMPARE_WITH_TIMEOUT(events.received.size(), size, 10000);
        QVERIFY(events.received == Pattern(size, 5));
    }

    // OnRxChar means "new bytes", not "bytes wait": the relay leaves bytes in the port on
    // purpose and polls later.
    void rxCharOncePerArrival()
    {
        TPtyVSPort port(folders_);
        Recorder events(port, false);
        QVERIFY2(port.CreatePort(QStringLiteral("COM14")), qPrintable(port.LastError()));
        PtyClient client;
        QVERIFY(client.Ok("open " + QFile::encodeName(port.LinkPath())));

        QVERIFY(client.Ok("write 30313233343536373839"));
        QTRY_COMPARE_WITH_TIMEOUT(port.GetInCount(), 10, 10000);
        QTest::qWait(200);
        QCOMPARE(events.rxEvents, 1);
        QVERIFY(client.Ok("write 6162636465"));
        QTRY_COMPARE_WITH_TIMEOUT(port.GetInCount(), 15, 10000);
        QTest::qWait(100);
        QCOMPARE(events.rxEvents, 2);
        QCOMPARE(ReadAll(port), QByteArray("0123456789abcde"));

        // More than the port holds: it fills, waits without new events, and takes the rest
        // as Read makes room, raising OnRxChar for those.
        const int size = 100000;
        client.Send("writepat " + QByteArray::number(size) + " 99");
        QTRY_COMPARE_WITH_TIMEOUT(port.GetInCount(), 64 * 1024, 10000);
        QTest::qWait(200);
        const int whileFull = events.rxEvents;
        QTest::qWait(200);
        QCOMPARE(events.rxEvents, whileFull);
        QCOMPARE(port.GetInCount(), 64 * 1024);

        QByteArray got(16384, Qt::Uninitialized);
        QCOMPARE(port.Read(reinterpret_cast<uint8_t*>(got.data()), 16384), 16384);
        QTRY_VERIFY_WITH_TIMEOUT(events.rxEvents > whileFull, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(port.GetInCount() > 64 * 1024 - 16384, 10000);
        QDeadlineTimer deadline(20000);
        while (got.size() < size && !deadline.hasExpired()) {
            got += ReadAll(port);
            QTest::qWait(5);
        }
        QCOMPARE(got.size(), size);
        QVERIFY(got == Pattern(size, 99));
        QCOMPARE(client.Reply(), QByteArray::number(size));
    }

    // The bytes a program wrote right before it closed come before the close.
    void lastBytesComeBeforeClose()
    {
        TPtyVSPort port(folders_);
        Recorder events(port, true);
        QVERIFY2(port.CreatePort(QStringLiteral("COM15")), qPrintable(port.LastError()));
        const QByteArray link = QFile::encodeName(port.LinkPath());
        PtyClient client;
        for (int round = 0; round < 5; ++round) {
            events.received.clear();
            events.receivedAtClose = -1;
            QVERIFY(client.Ok("open " + link));
            QCOMPARE(client.Call("writepat 20000 " + QByteArray::number(round) + " close"),
                QByteArray("20000"));
            QTRY_VERIFY_WITH_TIMEOUT(events.receivedAtClose >= 0, 10000);
            QCOMPARE(events.receivedAtClose, 20000);
            QVERIFY(events.received == Pattern(20000, uint32_t(round)));
            QTRY_VERIFY_WITH_TIMEOUT(!port.IsOpened(), 10000);
        }
    }

    // A close while the port is full loses nothing: the rest follows as Read makes room.
    void closeWithFullPortLosesNothing()
    {
        TPtyVSPort port(folders_);
        Recorder events(port, false);
        QVERIFY2(port.CreatePort(QStringLiteral("COM16")), qPrintable(port.LastError()));
        PtyClient client;
        QVERIFY(client.Ok("open " + QFile::encodeName(port.LinkPath())));
        const int size = 70000;
        QCOMPARE(client.Call("writepat " + QByteArray::number(size) + " 3 close"),
            QByteArray::number(size));
        QTRY_COMPARE_WITH_TIMEOUT(events.log, QStringList { "open" } << "close", 10000);
        QByteArray got;
        QDeadlineTimer deadline(10000);
        while (got.size() < size && !deadline.hasExpired()) {
            got += ReadAll(port);
            QTest::qWait(5);
        }
        QCOMPARE(got.size(), size);
        QVERIFY(got == Pattern(size, 3));
    }

    // Line settings made by the program on the port, through stty and pyserial.
    void lineSettingsAreReported_data()
    {
        QTest::addColumn<QByteArray>("command"); // %1 = link
        QTest::addColumn<QStringList>("expected");
        const QStringList rtscts115200 { "baud 115200", "line 2 -1 0", "flow 8 128" };
        const QStringList xonxoff9600 { "baud 9600", "line 0 -1 0", "flow 0 3" };
        const QStringList none19200 { "baud 19200", "line 0 -1 0", "flow 0 0" };
        QTest::newRow("stty RTS/CTS")
            << QByteArray("stty %1 115200 cstopb crtscts -ixon -ixoff") << rtscts115200;
        QTest::newRow("stty XON/XOFF")
            << QByteArray("stty %1 9600 -cstopb -crtscts ixon ixoff") << xonxoff9600;
        QTest::newRow("stty none")
            << QByteArray("stty %1 19200 -crtscts -ixon -ixoff") << none19200;
        QTest::newRow("pyserial RTS/CTS")
            << QByteArray("serial %1 baudrate=115200 stopbits=2 rtscts=1") << rtscts115200;
        QTest::newRow("pyserial XON/XOFF")
            << QByteArray("serial %1 baudrate=9600 xonxoff=1") << xonxoff9600;
        QTest::newRow("pyserial none") << QByteArray("serial %1 baudrate=19200") << none19200;
        // The kernel keeps the pty at 8 bits without parity: what the program asked for is
        // lost, and reported as unknown rather than as 8N.
        QTest::newRow("pyserial 7E1")
            << QByteArray("serial %1 baudrate=19200 bytesize=7 parity=E") << none19200;
        QTest::newRow("pyserial 250000 baud")
            << QByteArray("serial %1 baudrate=250000")
            << QStringList { "baud 250000", "line 0 -1 0", "flow 0 0" };
    }
    void lineSettingsAreReported()
    {
        QFETCH(QByteArray, command);
        QFETCH(QStringList, expected);
        TPtyVSPort port(folders_);
        Recorder events(port, false);
        QVERIFY2(port.CreatePort(QStringLiteral("COM17")), qPrintable(port.LastError()));
        PtyClient client;
        const QByteArray line = command.replace("%1", QFile::encodeName(port.LinkPath()));
        QCOMPARE(client.Call(line), line.startsWith("stty") ? QByteArray("0") : QByteArray(""));
        QTRY_COMPARE_WITH_TIMEOUT(LastCommState(events.log), expected, 10000);
        if (line.startsWith("serial")) QVERIFY(client.Ok("serialclose"));
        QTRY_COMPARE_WITH_TIMEOUT(events.log.last(), QStringLiteral("close"), 10000);
        QVERIFY2(OpenSetsClose(events.log), qPrintable(events.log.join(QLatin1String(", "))));
        // Our own return to the creation settings is not the program's doing.
        const int settings = events.Settings();
        QTest::qWait(200);
        QCOMPARE(events.Settings(), settings);

        // The next program finds the port raw again, with the default rate.
        QVERIFY(client.Ok("open " + QFile::encodeName(port.LinkPath())));
        const QList<QByteArray> t = client.Call("termios").split(' ');
        QCOMPARE(t.size(), 5);
        const int lflag = t[3].toInt();
        QCOMPARE(lflag & (ECHO | ICANON | ISIG | IEXTEN), 0);
        QVERIFY(lflag & EXTPROC);
        QCOMPARE(t[0].toInt() & (ICRNL | IXON | IXOFF), 0);
        QCOMPARE(t[1].toInt() & OPOST, 0);
        QCOMPARE(t[4].toInt(), int(B38400));
        QCOMPARE(t[2].toInt() & (CSTOPB | CRTSCTS), 0);
        QTest::qWait(100);
        QCOMPARE(events.Settings(), settings); // opening is not a setting
    }

    // Changes on a port that stays open, through both ways of noticing them.
    void settingsChangesWhileOpen()
    {
        TPtyVSPort port(folders_);
        Recorder events(port, false);
        QVERIFY2(port.CreatePort(QStringLiteral("COM18")), qPrintable(port.LastError()));
        PtyClient client;
        QVERIFY(client.Ok("open " + QFile::encodeName(port.LinkPath())));
        QTRY_COMPARE_WITH_TIMEOUT(events.log, QStringList { "open" }, 10000);

        // EXTPROC on: every tcsetattr is one set of the comm state, even without a change.
        QVERIFY(client.Ok("setattr baud=57600"));
        QTRY_COMPARE_WITH_TIMEOUT(
            events.log, (QStringList { "open", "baud 57600", "line 0 -1 0", "flow 0 0" }), 10000);
        QVERIFY(client.Ok("setattr baud=57600"));
        QTRY_COMPARE_WITH_TIMEOUT(events.Settings(), 6, 10000);

        // EXTPROC cleared, as by a program that fills its termios from zero: the one last
        // status byte, then changes are found by comparing.
        QVERIFY(client.Ok("setattr extproc=0"));
        QTRY_COMPARE_WITH_TIMEOUT(events.Settings(), 9, 10000);
        QVERIFY(client.Ok("setattr cstopb=1 crtscts=1"));
        QTRY_COMPARE_WITH_TIMEOUT(events.log.mid(events.log.size() - 3),
            (QStringList { "baud 57600", "line 2 -1 0", "flow 8 128" }), 10000);
        QVERIFY(client.Ok("setattr baud=115200 crtscts=0 ixon=1 ixoff=1"));
        QTRY_COMPARE_WITH_TIMEOUT(events.log.mid(events.log.size() - 3),
            (QStringList { "baud 115200", "line 2 -1 0", "flow 0 3" }), 10000);
        const int settings = events.Settings();
        QTest::qWait(200);
        QCOMPARE(events.Settings(), settings); // nothing raised while nothing changes

        // pyserial on an open port.
        PtyClient py;
        QVERIFY(client.Ok("close"));
        QTRY_VERIFY_WITH_TIMEOUT(!port.IsOpened(), 10000);
        QVERIFY(py.Ok("serial " + QFile::encodeName(port.LinkPath()) + " baudrate=9600"));
        QTRY_COMPARE_WITH_TIMEOUT(events.log.mid(events.log.size() - 3),
            (QStringList { "baud 9600", "line 0 -1 0", "flow 0 0" }), 10000);
        QVERIFY(py.Ok("serialset baudrate=230400"));
        QTRY_COMPARE_WITH_TIMEOUT(events.log.last(), QStringLiteral("flow 0 0"), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(events.log.contains(QStringLiteral("baud 230400")), 10000);
        QVERIFY(py.Ok("serialset stopbits=2 xonxoff=1"));
        QTRY_COMPARE_WITH_TIMEOUT(events.log.mid(events.log.size() - 3),
            (QStringList { "baud 230400", "line 2 -1 0", "flow 0 3" }), 10000);
        QVERIFY(py.Ok("serialset rtscts=1 xonxoff=0"));
        QTRY_COMPARE_WITH_TIMEOUT(events.log.mid(events.log.size() - 3),
            (QStringList { "baud 230400", "line 2 -1 0", "flow 8 128" }), 10000);
    }

    // Bytes meant for a program that has gone never reach the next one.
    void staleBytesDoNotReachNextOpener()
    {
        TPtyVSPort port(folders_);
        Recorder events(port, false);
        QVERIFY2(port.CreatePort(QStringLiteral("COM19")), qPrintable(port.LastError()));
        const QByteArray link = QFile::encodeName(port.LinkPath());
        const uint8_t stale[] = { 's', 't', 'a', 'l', 'e' };
        QCOMPARE(port.Write(stale, 5), 0); // nobody has the port: refused, not queued

        PtyClient client;
        for (int size : { 5, 100000 }) { // in the kernel only; and in our queue as well
            QVERIFY(client.Ok("open " + link));
            QTRY_VERIFY_WITH_TIMEOUT(port.IsOpened(), 10000);
            const QByteArray junk = Pattern(size, 1);
            const int accepted
                = port.Write(reinterpret_cast<const uint8_t*>(junk.constData()), int32_t(size));
            QVERIFY(accepted > 0);
            QVERIFY(client.Ok("close"));
            QTRY_VERIFY_WITH_TIMEOUT(!port.IsOpened(), 10000);
            QCOMPARE(port.Write(stale, 5), 0);
            QTest::qWait(50); // let a queue flush, if one were (wrongly) still armed

            QVERIFY(client.Ok("open " + link));
            QTRY_VERIFY_WITH_TIMEOUT(port.IsOpened(), 10000);
            QCOMPARE(client.Call("drain 300"), QByteArray(""));
            const uint8_t fresh[] = { 'f', 'r', 'e', 's', 'h' };
            QCOMPARE(port.Write(fresh, 5), 5);
            QCOMPARE(client.Call("read 5 5000"), QByteArray("6672657368"));
            QVERIFY(client.Ok("close"));
            QTRY_VERIFY_WITH_TIMEOUT(!port.IsOpened(), 10000);
        }
    }

    // A port nobody uses costs nothing; one that is open costs next to nothing.
    void idleCostsNoCpu()
    {
        TPtyVSPort port(folders_);
        Recorder events(port, false);
        QVERIFY2(port.CreatePort(QStringLiteral("COM20")), qPrintable(port.LastError()));
        const QByteArray link = QFile::encodeName(port.LinkPath());
        PtyClient client;
        // Opened and closed once: the state in which a hung-up master would spin.
        QVERIFY(client.Ok("open " + link));
        QTRY_VERIFY_WITH_TIMEOUT(port.IsOpened(), 10000);
        QVERIFY(client.Ok("close"));
        QTRY_VERIFY_WITH_TIMEOUT(!port.IsOpened(), 10000);

        auto measure = [](const char* what) {
            const double before = CpuSeconds();
            QEventLoop idle; // a plain event loop: QTest::qWait polls by itself
            QTimer::singleShot(1000, &idle, &QEventLoop::quit);
            idle.exec();
            const double used = CpuSeconds() - before;
            qInfo("idle CPU, %s: %.1f ms per second", what, used * 1000);
            return used;
        };
        QVERIFY(measure("created, closed") < 0.05);
        QVERIFY(client.Ok("open " + link));
        QTRY_VERIFY_WITH_TIMEOUT(port.IsOpened(), 10000);
        QVERIFY(measure("open, EXTPROC on") < 0.05);
        QVERIFY(client.Ok("setattr extproc=0"));
        QVERIFY(measure("open, EXTPROC off (settings polled)") < 0.05);
        QVERIFY(client.Ok("close"));
    }

    // Megabytes both ways through the ring and the queue, which fill and drain many times.
    void megabytesBothWaysInOrder()
    {
        TPtyVSPort port(folders_);
        Recorder events(port, true);
        QVERIFY2(port.CreatePort(QStringLiteral("COM21")), qPrintable(port.LastError()));
        PtyClient client;
        QVERIFY(client.Ok("open " + QFile::encodeName(port.LinkPath())));
        QTRY_VERIFY_WITH_TIMEOUT(port.IsOpened(), 10000);
        const int size = 8 * 1024 * 1024;

        // Each way timed from the first byte to the last, so that the client's own set-up
        // (building the pattern) is not counted.
        const QByteArray data = Pattern(size, 77);
        client.Send("readpat " + QByteArray::number(size) + " 77 60000");
        QVERIFY(WriteAll(port, data));
        const QList<QByteArray> r = client.Reply(60000).split(' ');
        QCOMPARE(r.size(), 3);
        QCOMPARE(r[0].toInt(), size);
        QCOMPARE(r[1].toInt(), -1);
        const double toClient = r[2].toDouble();

        events.received.reserve(size);
        client.Send("writepat " + QByteArray::number(size) + " 78");
        QDeadlineTimer deadline(60000);
        while (events.received.isEmpty() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        QElapsedTimer clock;
        clock.start();
        while (events.received.size() < size && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        const double fromClient = double(clock.nsecsElapsed()) / 1e9;
        QCOMPARE(events.received.size(), size);
        QVERIFY(events.received == Pattern(size, 78));
        QCOMPARE(client.Reply(), QByteArray::number(size));
        qInfo("8 MiB each way with the Python client: port to program %.1f MB/s, "
              "program to port %.1f MB/s",
            size / toClient / 1e6, size / fromClient / 1e6);
    }

    // Not a timed test: figures for the log, with dd as the program so the peer is no limit.
    void throughput()
    {
        TPtyVSPort port(folders_);
        Recorder events(port, false);
        QVERIFY2(port.CreatePort(QStringLiteral("COM22")), qPrintable(port.LastError()));
        const QString link = port.LinkPath();
        const int block = 65536, blocks = 256, size = block * blocks;
        const QStringList common { QStringLiteral("bs=%1").arg(block),
            QStringLiteral("count=%1").arg(blocks), QStringLiteral("status=none") };

        QProcess reader;
        reader.start(QStringLiteral("dd"),
            QStringList { "if=" + link, "of=/dev/null", QStringLiteral("iflag=fullblock") }
                + common);
        QTRY_VERIFY_WITH_TIMEOUT(port.IsOpened(), 10000);
        const QByteArray data(size, 'x');
        QElapsedTimer clock;
        clock.start();
        QVERIFY(WriteAll(port, data));
        QTRY_VERIFY_WITH_TIMEOUT(reader.state() == QProcess::NotRunning, 60000);
        const double toProgram = double(clock.nsecsElapsed()) / 1e9;
        QCOMPARE(reader.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!port.IsOpened(), 10000);

        // The port is read the way the relay reads it: at each OnRxChar, all that waits.
        std::unique_ptr<uint8_t[]> sink(new uint8_t[64 * 1024]);
        qint64 got = 0;
        port.OnRxChar = [&](int32_t) {
            while (int32_t n = port.Read(sink.get(), 64 * 1024))
                got += n;
        };
        QProcess writer;
        writer.start(QStringLiteral("dd"),
            QStringList { QStringLiteral("if=/dev/zero"), "of=" + link } + common);
        QDeadlineTimer deadline(60000);
        while (got == 0 && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        clock.restart();
        while (got < size && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        const double fromProgram = double(clock.nsecsElapsed()) / 1e9;
        QCOMPARE(got, qint64(size));
        QTRY_VERIFY_WITH_TIMEOUT(writer.state() == QProcess::NotRunning, 10000);
        QCOMPARE(writer.exitCode(), 0);
        qInfo("throughput with dd, 16 MiB each way: port to program %.1f MB/s, program to port "
              "%.1f MB/s",
            size / toProgram / 1e6, size / fromProgram / 1e6);
    }
};

QTEST_MAIN(TstPtyPort)
#include "tst_ptyport.moc"
