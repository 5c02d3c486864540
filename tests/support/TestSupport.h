#pragma once
// Helpers shared by the tests.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>

namespace vsptest {

// Where the tests' module searches go: loopback's broadcast address, never the network's.
inline constexpr char LoopbackBroadcast[] = "127.255.255.255";

// Path of a file in the source tree.
QString SourcePath(const QString& relative);
// Path of a file in the build tree.
QString BinaryPath(const QString& relative);
// True when the process may build network namespaces and raw sockets (root).
bool IsRoot();
// A TCP port on 127.0.0.1 that nobody listens on right now, for a server port field (which
// takes 1 to 65535, never "any"); 0 when none could be had.
int FreeLoopbackPort();
// The descriptors this process holds, "N -> target", for leak checks. The event descriptors
// (anon inodes) are left out: every Qt thread has one, and pool threads, such as the name
// lookups', come and go on their own time.
QStringList OpenDescriptors();
// Runs body with file descriptor 2 going into a pipe and returns what was written there
// (a chatty body loses lines rather than hangs).
QByteArray CaptureStderr(const std::function<void()>& body);

// Bytes from hex digits, for the byte tables: Hex("ff fa 2c").
inline QByteArray Hex(const char* digits)
{
    return QByteArray::fromHex(digits);
}

// A byte pattern that differs by seed: words (w * 2654435761 + seed) mod 2^32, little-endian.
// tests/support/pty_client.py writes and checks the same one.
QByteArray Pattern(int size, uint32_t seed = 0);

} // namespace vsptest
