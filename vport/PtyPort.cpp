// How the other program is watched, all without threads:
// - open and close: inotify on /dev/pts/N counts opens and last closes of file descriptions
//   by anyone. We keep a descriptor of the slave ourselves (taken before the watch, so it is
//   never counted): with it the master never sees the slave hang up, so its read notifier
//   stays quiet while the port is closed instead of spinning on a level-triggered POLLHUP.
// - its bytes: the master is read into a fixed input ring; OnRxChar is raised once for each
//   batch read. A full ring stops reading, so the kernel holds the writer back.
// - its line settings: packet mode on the master plus EXTPROC in the slave's lflag turns
//   every tcsetattr into a status byte. Data bits and parity are reported unknown: the
//   kernel forces every pty to 8 bits without parity, so what the program set is lost. A program
//   that builds its termios from zero (lflag = 0, as much C code does) clears EXTPROC: it sends one
//   last status byte and then nothing, so while EXTPROC is off the termios is compared on a timer
//   instead. (stty and pyserial 3.5 keep the flag.)

#include "vport/PtyPort.h"

#include "vport/PtyLine.h"
#include "vport/PtyLink.h"
#include "vport/PtyRing.h"

#include <QFile>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace vsp {

namespace {

constexpr int32_t InputCapacity = 64 * 1024;
// Room for a burst from the network while the reader is a few ms behind; the kernel
// itself takes about 13,800 bytes.
constexpr int32_t OutputCapacity = 256 * 1024;
// One read of the master: a pty hands over at most 4 KiB at once, behind the one
// packet-mode header byte.
constexpr int32_t ScratchSize = 8 * 1024 + 1;
constexpr int32_t MasterReadMax = 4095;
constexpr int SettingsPollMs = 25;
constexpr size_t InotifyBufferSize = 4096;

QString SysError(const char* what)
{
    return QStringLiteral("%1: %2").arg(
        QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

void CloseFd(int& fd)
{
    if (fd >= 0) ::close(fd);
    fd = -1;
}

} // namespace

struct TPtyVSPort::Impl {
    explicit Impl(TPtyVSPort* owner);

    TPortFolders folders;

    bool OpenPty();
    void ClosePty();

    // Reads what the master holds into the input ring. Status bytes of our own flush and
    // reset are swallowed when ownChanges is set. untilEmpty: keep reading until the master
    // says EAGAIN; otherwise a short read ends it (the notifier brings the rest).
    void PullMaster(bool ownChanges, int32_t& newBytes, bool& setCommState, bool& lineTouched,
        bool untilEmpty = true);
    void PauseReading();
    void ResumeReading();
    void UpdateSettingsPoll();

    void OnReadable();
    void OnWritable();
    bool OnInotify();
    void OnSettingsPoll();
    bool HandleOpened();
    bool HandleClosed(bool reopenedAlready);
    bool CheckLine(bool setCommState);

    // Raises an event; false when the handler deleted or re-made the port (or the object),
    // in which case the caller must stop at once.
    template <class Event, class... Args> bool Raise(Event& event, Args... args)
    {
        if (!event) return true;
        QPointer<TPtyVSPort> alive(q);
        const uint64_t before = generation;
        event(args...);
        return alive && generation == before;
    }

    TPtyVSPort* q;
    QString error;
    QString linkPath;
    QByteArray slavePath;
    TPtyLinkSlot link;
    int master = -1;
    int peer = -1; // our own hold on the slave
    int inotifyFd = -1;
    termios creation {}; // what each new opener finds
    TPtyLineState line; // as last reported (or as our own reset left it)
    TPtyByteRing in { InputCapacity };
    TPtyByteRing out { OutputCapacity };
    bool refused = false; // a Write was not taken whole: OnWriteRoom is owed
    std::unique_ptr<uint8_t[]> scratch { new uint8_t[ScratchSize] };
    std::unique_ptr<char[]> inotifyBuffer { new char[InotifyBufferSize] };
    QSocketNotifier readable;
    QSocketNotifier writable;
    QSocketNotifier inotifyReady;
    QTimer settingsPoll;
    int openCount = 0;
    bool opened = false;
    bool readingPaused = false;
    uint64_t generation = 0;
};

TPtyVSPort::Impl::Impl(TPtyVSPort* owner)
    : q(owner)
    , readable(QSocketNotifier::Read, owner)
    , writable(QSocketNotifier::Write, owner)
    , inotifyReady(QSocketNotifier::Read, owner)
    , settingsPoll(owner)
{
    settingsPoll.setInterval(SettingsPollMs);
    QObject::connect(&readable, &QSocketNotifier::activated, owner, [this] { OnReadable(); });
    QObject::connect(&writable, &QSocketNotifier::activated, owner, [this] { OnWritable(); });
    QObject::connect(&inotifyReady, &QSocketNotifier::activated, owner, [this] { OnInotify(); });
    QObject::connect(&settingsPoll, &QTimer::timeout, owner, [this] { OnSettingsPoll(); });
}

bool TPtyVSPort::Impl::OpenPty()
{
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) {
        error = SysError("posix_openpt");
        return false;
    }
    char name[128];
    if (::grantpt(master) < 0 || ::unlockpt(master) < 0
        || ::ptsname_r(master, name, sizeof name) != 0) {
        error = SysError("Cannot set up the pseudo-terminal");
        ClosePty();
        return false;
    }
    slavePath = name;

    // A new pty echoes and translates line ends, which would bounce the module's bytes back
    // to it; programs get a raw line, as from a serial port.
    termios t {};
    int on = 1;
    if (::tcgetattr(master, &t) < 0) {
        error = SysError("tcgetattr");
        ClosePty();
        return false;
    }
    ::cfmakeraw(&t);
    t.c_lflag |= EXTPROC;
    if (::tcsetattr(master, TCSANOW, &t) < 0 || ::ioctl(master, TIOCPKT, &on) < 0) {
        error = SysError("Cannot make the pseudo-terminal raw");
        ClosePty();
        return false;
    }
    creation = t;

    peer = ::ioctl(master, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (peer < 0) {
        error = SysError("TIOCGPTPEER");
        ClosePty();
        return false;
    }
    // Only after our own open, so that the count starts at nobody.
    inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd < 0
        || ::inotify_add_watch(inotifyFd, slavePath.constData(), IN_OPEN | IN_CLOSE) < 0) {
        error = SysError("inotify");
        ClosePty();
        return false;
    }
    ReadPtyLineState(master, line);
    return true;
}

void TPtyVSPort::Impl::ClosePty()
{
    readable.setEnabled(false);
    writable.setEnabled(false);
    inotifyReady.setEnabled(false);
    settingsPoll.stop();
    CloseFd(inotifyFd);
    CloseFd(peer);
    CloseFd(master);
    slavePath.clear();
    in.Clear();
    out.Clear();
    refused = false;
    openCount = 0;
    opened = false;
    readingPaused = false;
}

void TPtyVSPort::Impl::PullMaster(
    bool ownChanges, int32_t& newBytes, bool& setCommState, bool& lineTouched, bool untilEmpty)
{
    for (;;) {
        // With the ring full this is a one-byte read: it still yields a status byte, while a
        // data read then returns only its header and takes nothing from the kernel.
        const int32_t want = std::min(in.Free(), ScratchSize - 1) + 1;
        ssize_t n = ::read(master, scratch.get(), static_cast<size_t>(want));
        if (n < 0) {
            if (errno == EINTR) continue;
            // EIO: the slave was hung up under everyone (ours included). Stop listening
            // rather than spin; the next open starts reading again.
            if (errno != EAGAIN) readable.setEnabled(false);
            return;
        }
        if (n == 0) return;
        const uint8_t header = scratch[0];
        if (header != TIOCPKT_DATA) {
            if (!ownChanges) {
                if (header & TIOCPKT_IOCTL) setCommState = true;
                if (header & (TIOCPKT_DOSTOP | TIOCPKT_NOSTOP)) lineTouched = true;
            }
            continue;
        }
        if (n == 1) {
            if (in.Free() == 0) PauseReading();
            return;
        }
        in.Push(scratch.get() + 1, static_cast<int32_t>(n - 1));
        newBytes += static_cast<int32_t>(n - 1);
        // A read short of both the request and what a pty hands over at once found the
        // master empty: asking again would only hear EAGAIN. Whatever comes later makes the
        // (level-triggered) notifier fire again.
        if (!untilEmpty && n < want && n - 1 < MasterReadMax) return;
    }
}

void TPtyVSPort::Impl::PauseReading()
{
    readingPaused = true;
    readable.setEnabled(false);
    UpdateSettingsPoll();
}

void TPtyVSPort::Impl::ResumeReading()
{
    readingPaused = false;
    readable.setEnabled(true);
    UpdateSettingsPoll();
}

void TPtyVSPort::Impl::UpdateSettingsPoll()
{
    // While reading is paused, status bytes are fetched here too.
    const bool wanted = master >= 0 && opened && (!line.extproc || readingPaused);
    if (wanted && !settingsPoll.isActive())
        settingsPoll.start();
    else if (!wanted)
        settingsPoll.stop();
}

void TPtyVSPort::Impl::OnReadable()
{
    // A program that opens, sets and closes at once (stty) can have its status byte or
    // bytes here before its open has been seen: take the opens and closes first, so the
    // events come in the order it did things.
    if (!opened && !OnInotify()) return;
    int32_t got = 0;
    bool setCommState = false, lineTouched = false;
    PullMaster(false, got, setCommState, lineTouched, false);
    if (got > 0 && !Raise(q->OnRxChar, got)) return;
    if (setCommState || lineTouched) CheckLine(setCommState);
}

void TPtyVSPort::Impl::OnSettingsPoll()
{
    int32_t got = 0;
    bool setCommState = false, lineTouched = false;
    if (readingPaused) PullMaster(false, got, setCommState, lineTouched);
    if (got > 0 && !Raise(q->OnRxChar, got)) return;
    CheckLine(setCommState);
}

bool TPtyVSPort::Impl::CheckLine(bool setCommState)
{
    TPtyLineState now;
    if (master < 0 || !ReadPtyLineState(master, now)) return true;
    const bool changed = !SameCommState(now, line);
    line = now;
    UpdateSettingsPoll();
    if (!setCommState && !changed) return true;
    // One set of the comm state, reported the way a serial driver reports it. The data bits
    // and parity the termios holds are the kernel's (8, none), not the program's: unknown.
    return Raise(q->OnBaudRate, now.baudRate)
        && Raise(q->OnLineControl, now.stopBits, PARITY_UNKNOWN, WORDLENGTH_UNKNOWN)
        && Raise(q->OnHandflow, now.controlHandShake, now.flowReplace, int32_t(0), int32_t(0));
}

void TPtyVSPort::Impl::OnWritable()
{
    while (!out.Empty()) {
        int32_t n = 0;
        const uint8_t* front = out.Front(n);
        ssize_t w = ::write(master, front, static_cast<size_t>(n));
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) break;
            out.Clear(); // the slave is gone for good; nobody will read these
            break;
        }
        out.Drop(static_cast<int32_t>(w));
        if (w < n) break; // the pty is full again: wait for the next writable event
    }
    if (out.Empty()) writable.setEnabled(false);
    // Half the queue free: the writer refills it while the kernel still holds the rest, so
    // the other program never waits on an empty pty.
    if (refused && out.Free() >= out.Capacity() / 2) {
        refused = false;
        Raise(q->OnWriteRoom);
    }
}

bool TPtyVSPort::Impl::OnInotify()
{
    for (;;) {
        ssize_t n = ::read(inotifyFd, inotifyBuffer.get(), InotifyBufferSize);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;
        const char* const end = inotifyBuffer.get() + n;
        for (const char* p = inotifyBuffer.get(); p + sizeof(inotify_event) <= end;) {
            inotify_event ev;
            std::memcpy(&ev, p, sizeof ev);
            p += sizeof ev + ev.len;
            if (ev.mask & IN_OPEN) {
                if (++openCount == 1 && !HandleOpened()) return false;
            } else if ((ev.mask & IN_CLOSE) && openCount > 0) {
                if (--openCount > 0) continue;
                // A program that reopened right away (stty, then the real one) must keep
                // the settings it may already have made.
                bool reopened = false;
                for (const char* r = p; r + sizeof(inotify_event) <= end && !reopened;) {
                    inotify_event later;
                    std::memcpy(&later, r, sizeof later);
                    reopened = later.mask & IN_OPEN;
                    r += sizeof later + later.len;
                }
                if (!HandleClosed(reopened)) return false;
            }
        }
    }
}

bool TPtyVSPort::Impl::HandleOpened()
{
    opened = true;
    if (!readingPaused) readable.setEnabled(true);
    UpdateSettingsPoll();
    return Raise(q->OnOpenClose, true);
}

bool TPtyVSPort::Impl::HandleClosed(bool reopenedAlready)
{
    // What the program wrote, and the settings it made, before it closed come first.
    int32_t got = 0;
    bool setCommState = false, lineTouched = false;
    PullMaster(false, got, setCommState, lineTouched);
    if (got > 0 && !Raise(q->OnRxChar, got)) return false;
    if (!CheckLine(setCommState)) return false;

    opened = false;
    out.Clear();
    refused = false; // what was refused belonged to the program that left
    writable.setEnabled(false);
    // Bytes still queued toward the slave were meant for the program that left; the next
    // one must not read them.
    ::tcflush(peer, TCIFLUSH);
    if (!reopenedAlready) {
        // On a serial line the last close ends exclusive mode (TIOCEXCL, as screen sets it).
        // Our own hold on the slave means the pty never sees a last close, so the flag would
        // lock every later program out (all but root) until the port is made again.
        ::ioctl(peer, TIOCNXCL);
        ::tcsetattr(master, TCSANOW, &creation);
        got = 0;
        PullMaster(true, got, setCommState, lineTouched);
        ReadPtyLineState(master, line);
        if (got > 0 && !Raise(q->OnRxChar, got)) return false;
    }
    UpdateSettingsPoll();
    return Raise(q->OnOpenClose, false);
}

QString PortLinkPath(const QString& name, const TPortFolders& folders)
{
    return ResolvePortLink(name, folders, nullptr);
}

TPtyVSPort::TPtyVSPort(TPortFolders folders, QObject* parent)
    : QObject(parent)
    , d(std::make_unique<Impl>(this))
{
    d->folders = std::move(folders);
}

TPtyVSPort::~TPtyVSPort()
{
    Delete();
}

bool TPtyVSPort::CreatePort(const QString& name)
{
    d->error.clear();
    if (d->master >= 0) {
        // Replacing a live port behind the caller's back would cut off whoever has it open.
        d->error = tr("A port already exists (%1); delete it first").arg(d->linkPath);
        return false;
    }
    TPtyLinkSlot slot;
    if (!ClaimPortLink(name, d->folders, slot, d->error)) return false;
    if (!d->OpenPty()) {
        ReleasePortLink(slot, {}, !slot.lockCreated);
        return false;
    }
    if (!PlacePortLink(slot, d->slavePath, d->error)) {
        d->ClosePty();
        ReleasePortLink(slot, {}, !slot.lockCreated);
        return false;
    }
    d->link = slot;
    d->linkPath = QFile::decodeName(slot.dir + '/' + slot.name);
    ++d->generation;
    d->readable.setSocket(d->master);
    d->readable.setEnabled(true);
    d->writable.setSocket(d->master);
    d->writable.setEnabled(false);
    d->inotifyReady.setSocket(d->inotifyFd);
    d->inotifyReady.setEnabled(true);
    return true;
}

bool TPtyVSPort::Delete()
{
    if (d->master < 0) return true;
    ++d->generation;
    ReleasePortLink(d->link, d->slavePath, false);
    d->ClosePty();
    d->linkPath.clear();
    return true;
}

bool TPtyVSPort::IsOpened() const
{
    return d->master >= 0 && d->opened;
}

int32_t TPtyVSPort::GetInCount()
{
    return d->in.Count();
}

int32_t TPtyVSPort::Read(uint8_t* buffer, int32_t maxCount)
{
    if (!buffer || maxCount <= 0) return 0;
    const int32_t n = d->in.Pop(buffer, maxCount);
    if (n > 0 && d->readingPaused && d->master >= 0)
        d->ResumeReading(); // the notifier brings the rest, with OnRxChar, from the event loop
    return n;
}

int32_t TPtyVSPort::Write(const uint8_t* buffer, int32_t count)
{
    // Bytes written while nobody has the port would wait in the slave for whoever opens it
    // next, long after they meant anything.
    if (!IsOpened() || !buffer || count <= 0) return 0;
    int32_t accepted = 0;
    if (d->out.Empty()) {
        // One write per block: a short one means the pty is full, and asking again would
        // only hear EAGAIN. The rest goes through the ring, behind the writable notifier.
        ssize_t w;
        do
            w = ::write(d->master, buffer, static_cast<size_t>(count));
        while (w < 0 && errno == EINTR);
        if (w > 0) accepted = static_cast<int32_t>(w);
        if (accepted == count) return accepted;
    }
    const bool wasEmpty = d->out.Empty();
    accepted += d->out.Push(buffer + accepted, count - accepted);
    if (wasEmpty && !d->out.Empty()) d->writable.setEnabled(true);
    if (accepted < count) d->refused = true;
    return accepted;
}

QString TPtyVSPort::LinkPath() const
{
    return d->linkPath;
}
QString TPtyVSPort::SlavePath() const
{
    return QFile::decodeName(d->slavePath);
}
QString TPtyVSPort::LastError() const
{
    return d->error;
}

} // namespace vsp
