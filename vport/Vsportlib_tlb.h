#pragma once
// The virtual serial port control: one named port that other programs open as if it were
// a local serial line. The main window owns one and drives it only through these
// operations; the control reports what the other program does as events, always on the
// UI thread.

#include <QString>
#include <cstdint>
#include <functional>

namespace vsp {

// Windows serial handflow bits carried by OnHandflow.
constexpr int32_t SERIAL_DTR_CONTROL = 0x01; // ControlHandShake
constexpr int32_t SERIAL_CTS_HANDSHAKE = 0x08; // ControlHandShake
constexpr int32_t SERIAL_AUTO_TRANSMIT = 0x01; // FlowReplace: XON/XOFF on what we send
constexpr int32_t SERIAL_AUTO_RECEIVE = 0x02; // FlowReplace: XON/XOFF on what we receive
constexpr int32_t SERIAL_RTS_CONTROL = 0x40; // FlowReplace
constexpr int32_t SERIAL_RTS_HANDSHAKE = 0x80; // FlowReplace

// OnLineControl values.
constexpr int32_t STOPBITS_ONE = 0, STOPBITS_ONE5 = 1, STOPBITS_TWO = 2;
constexpr int32_t PARITY_NONE = 0, PARITY_ODD = 1, PARITY_EVEN = 2, PARITY_MARK = 3,
                  PARITY_SPACE = 4;
// A backend that cannot know what the program set reports these instead of a value it
// made up: the pty, whose kernel forces 8 data bits without parity whatever the program
// asked for. Real values are PARITY_NONE..PARITY_SPACE and 5..8 data bits, so a backend
// that learns the program's real format reports it through the same event, and the two
// are never confused. The module is then told to keep its own format.
constexpr int32_t PARITY_UNKNOWN = -1;
constexpr int32_t WORDLENGTH_UNKNOWN = 0;

class TVSPort {
public:
    virtual ~TVSPort() = default;

    // True: the port exists and programs can open it.
    virtual bool CreatePort(const QString& name) = 0;
    // Removes the port; harmless when there is none. The result is informational.
    virtual bool Delete() = 0;
    // True while some other program holds the port open; false when there is no port.
    virtual bool IsOpened() const = 0;
    // Bytes written by the other program and not yet read.
    virtual int32_t GetInCount() = 0;
    // Copies at most maxCount waiting bytes, oldest first; returns how many.
    virtual int32_t Read(uint8_t* buffer, int32_t maxCount) = 0;
    // Offers bytes to the other program; returns how many were accepted. Never blocks.
    virtual int32_t Write(const uint8_t* buffer, int32_t count) = 0;

    // Events. Each is raised on the UI thread; an unset event is simply not raised.
    std::function<void(int32_t count)> OnRxChar;
    std::function<void(bool on)> OnOpenClose;
    std::function<void(int32_t baudRate)> OnBaudRate;
    // parity may be PARITY_UNKNOWN and wordLength WORDLENGTH_UNKNOWN (see above).
    std::function<void(int32_t stopBits, int32_t parity, int32_t wordLength)> OnLineControl;
    std::function<void(
        int32_t controlHandShake, int32_t flowReplace, int32_t xonLimit, int32_t xoffLimit)>
        OnHandflow;
    // Raised once after a Write that did not take everything offered, when the port has
    // room again (half its queue or more). A writer that holds back what was refused can
    // go on at once instead of polling for it.
    std::function<void()> OnWriteRoom;
};

} // namespace vsp
