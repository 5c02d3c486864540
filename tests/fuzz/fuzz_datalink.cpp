// The data link's receive path, whole: a module on loopback sends the bytes, in pieces the
// input chooses, on a fresh client connection; the link reads them, answers a TEA challenge,
// takes out Telnet commands, holds what a slow program's port cannot take yet and writes
// the rest into an in-memory port that the program drains a little at a time. Every byte
// must be counted as received, and with no TEA step the program must get exactly what the
// receiver makes of the stream (all of it, with the NVT filter off), in order.
//
// Input: one byte of options (NVT filter, TEA, port open, how much the port holds), one
// byte for the size of the pieces, then the module's bytes.
#include "link/Sockets.h"
#include "tests/support/LinkHarness.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

struct Rig {
    vsptest::LinkHarness h;
    vsptest::FakePort& port = h.port;
    vsp::TLinkOptions& options = h.options;
    vsp::TDataLink& link = *h.link;
    int listenFd = -1;
    QByteArray received; // what the program read from the port

    Rig()
    {
        options.TeaKey = { QStringLiteral("3A7F19C2"), QStringLiteral("B04E6D15"),
            QStringLiteral("5C92E8A1"), QStringLiteral("0F63D7B4") };
        port.CreatePort(QStringLiteral("COM2"));

        // The module: a listener on loopback that the client endpoint connects to.
        listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sin {};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sin;
        if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr*>(&sin), len) != 0
            || ::listen(listenFd, 4) != 0
            || ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&sin), &len) != 0)
            __builtin_trap();
        link.VSPClientSocket()->Host = QStringLiteral("127.0.0.1");
        link.VSPClientSocket()->Port = ntohs(sin.sin_port);
    }

    // Runs the event loop until done() (a link that never gets there is a finding).
    template <typename Done> void RunUntil(Done done)
    {
        QElapsedTimer clock;
        clock.start();
        while (!done()) {
            if (clock.elapsed() > 10000) __builtin_trap();
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            // The program reads a little at a time, as a slow one does.
            if (!port.Output.isEmpty()) received += port.ProgramReads(97);
        }
    }
};

Rig& TheRig()
{
    static int argc = 1;
    static char name[] = "fuzz_datalink";
    static char* argv[] = { name, nullptr };
    static QCoreApplication app(argc, argv);
    static Rig rig;
    return rig;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    Rig& rig = TheRig();
    const uint8_t flags = data[0];
    const size_t piece = size_t(data[1]) * 8 + 1;
    data += 2;
    size -= 2;
    rig.options.NvtFilter = flags & 1;
    rig.options.TeaEnabled = flags & 2;
    const bool open = !(flags & 4);
    rig.port.Capacity = (flags & 8) ? 64 + (flags >> 4) * 64 : -1;
    if (open != rig.port.IsOpened()) open ? rig.port.Open() : rig.port.Close();

    // A fresh connection: the link starts its TEA and NVT state afresh. (A lone IAC the last
    // input ended with goes to the port now, as the last connection's data.)
    rig.link.OpenClientLink();
    const int module = ::accept4(rig.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (module < 0) __builtin_trap();
    rig.RunUntil([&] { return rig.link.DataConnection() != nullptr; });
    rig.port.Output.clear();
    rig.received.clear();
    const int32_t rx0 = rig.link.LanRxCount();
    for (size_t at = 0; at < size; at += piece) {
        const size_t n = std::min(piece, size - at);
        if (::send(module, data + at, n, MSG_NOSIGNAL) != ssize_t(n)) __builtin_trap();
        rig.RunUntil([&] { return size_t(rig.link.LanRxCount() - rx0) >= at + n; });
    }
    rig.RunUntil([&] { return !rig.link.SerialOutputHeld() && rig.port.Output.isEmpty(); });
    if (size_t(rig.link.LanRxCount() - rx0) != size) __builtin_trap();

    if (open && !rig.options.TeaEnabled) {
        QByteArray expected;
        if (rig.options.NvtFilter) {
            vsp::TNvtReceiver receiver;
            std::vector<uint8_t> out(size + vsp::TNvtReceiver::MaxGrowth);
            const auto got = receiver.Receive(data, int32_t(size), out.data());
            expected = QByteArray(reinterpret_cast<const char*>(out.data()), got.Count);
        } else {
            expected = QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
        }
        if (rig.received != expected) __builtin_trap();
    }

    // The module goes with a reset, as one that is switched off does not say goodbye.
    linger abort { 1, 0 };
    ::setsockopt(module, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(module);
    rig.link.CloseClientLink();
    rig.RunUntil([&] { return rig.link.DataConnection() == nullptr; });
    rig.h.log.clear();
    return 0;
}
