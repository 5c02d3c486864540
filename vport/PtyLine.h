#pragma once
// The line settings another program has put on the pty, as the port's events carry them.

#include <cstdint>

namespace vsp {

struct TPtyLineState {
    int32_t baudRate = 0;
    int32_t stopBits = 0; // STOPBITS_*
    int32_t parity = 0; // PARITY_*
    int32_t wordLength = 8;
    int32_t controlHandShake = 0; // SERIAL_* handflow bits
    int32_t flowReplace = 0;
    // Not a line setting: while it is set, every tcsetattr by the other program shows up as a
    // status packet on the master; once cleared, changes have to be found by comparing.
    bool extproc = false;
};

// The settings that the port's events report; extproc is not one of them.
inline bool SameCommState(const TPtyLineState& a, const TPtyLineState& b)
{
    return a.baudRate == b.baudRate && a.stopBits == b.stopBits && a.parity == b.parity
        && a.wordLength == b.wordLength && a.controlHandShake == b.controlHandShake
        && a.flowReplace == b.flowReplace;
}

// Reads the slave's termios through the master fd. TCGETS2 is used so that rates set with
// BOTHER (250000, 1000000...) come back as numbers, not as a B* code.
bool ReadPtyLineState(int masterFd, TPtyLineState& state);

} // namespace vsp
