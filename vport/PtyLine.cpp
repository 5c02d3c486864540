// Kept in its own file: struct termios2 comes from <asm/termbits.h>, which cannot share a
// translation unit with glibc's <termios.h>.

#include "vport/PtyLine.h"

#include "vport/Vsportlib_tlb.h"

#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace vsp {

bool ReadPtyLineState(int masterFd, TPtyLineState& state)
{
    struct termios2 t { };
    int rc;
    do
        rc = ioctl(masterFd, TCGETS2, &t);
    while (rc < 0 && errno == EINTR);
    if (rc < 0) return false;

    // The kernel keeps c_ospeed as a plain number whichever way the rate was set.
    state.baudRate = static_cast<int32_t>(t.c_ospeed);
    state.stopBits = (t.c_cflag & CSTOPB) ? STOPBITS_TWO : STOPBITS_ONE;
    if (!(t.c_cflag & PARENB))
        state.parity = PARITY_NONE;
    else if (t.c_cflag & CMSPAR)
        state.parity = (t.c_cflag & PARODD) ? PARITY_MARK : PARITY_SPACE;
    else
        state.parity = (t.c_cflag & PARODD) ? PARITY_ODD : PARITY_EVEN;
    switch (t.c_cflag & CSIZE) {
    case CS5:
        state.wordLength = 5;
        break;
    case CS6:
        state.wordLength = 6;
        break;
    case CS7:
        state.wordLength = 7;
        break;
    default:
        state.wordLength = 8;
        break;
    }
    state.controlHandShake = 0;
    state.flowReplace = 0;
    if (t.c_cflag & CRTSCTS) {
        state.controlHandShake |= SERIAL_CTS_HANDSHAKE;
        state.flowReplace |= SERIAL_RTS_HANDSHAKE;
    }
    if (t.c_iflag & IXON) state.flowReplace |= SERIAL_AUTO_TRANSMIT;
    if (t.c_iflag & IXOFF) state.flowReplace |= SERIAL_AUTO_RECEIVE;
    state.extproc = (t.c_lflag & EXTPROC) != 0;
    return true;
}

} // namespace vsp
