#pragma once
// Every Telnet and COM-PORT-OPTION byte the data link knows, named once. The link never
// negotiates: it recognises WILL/WONT/DO/DONT only to drop them from the module's stream,
// and it sends nothing but subnegotiation frames and IAC NOP.

#include <cstdint>

namespace vsp::telnet {

// RFC 854 commands.
constexpr uint8_t IAC = 0xFF; // "interpret as command"; a data byte 0xFF is sent doubled
constexpr uint8_t DONT = 0xFE; // negotiation; followed by one option byte
constexpr uint8_t DO = 0xFD; // negotiation; followed by one option byte
constexpr uint8_t WONT = 0xFC; // negotiation; followed by one option byte
constexpr uint8_t WILL = 0xFB; // negotiation; followed by one option byte
constexpr uint8_t SB = 0xFA; // start of subnegotiation, ended by IAC SE
constexpr uint8_t NOP = 0xF1; // no operation: our keep-connection message
constexpr uint8_t SE = 0xF0; // end of subnegotiation (only after IAC)
// Command bytes run from SE up; DM, BRK, IP, AO, AYT, EC, EL, GA (0xF2-0xF9) lie between
// NOP and SB and are only ever dropped. After IAC, a byte below this is no command at all.
constexpr uint8_t FirstCommand = SE;

// RFC 2217 option number, and the client-to-server commands we send under it.
constexpr uint8_t COM_PORT_OPTION = 44;
constexpr uint8_t SET_BAUDRATE = 1; // value: 4 bytes, most significant first
constexpr uint8_t SET_DATASIZE = 2; // value: data bits
constexpr uint8_t SET_PARITY = 3; // value: 1 none, 2 odd, 3 even, 4 mark, 5 space
constexpr uint8_t SET_STOPSIZE = 4; // value: 1 one, 2 two, 3 one and a half
constexpr uint8_t SET_CONTROL = 5; // value: 1 none, 2 XON/XOFF, 3 RTS/CTS

// Values of SET-DATASIZE: 5 to 8 data bits, or
constexpr uint8_t DATASIZE_REQUEST = 0; // no setting: the server keeps its own
// Values of SET-PARITY.
constexpr uint8_t PARITY_REQUEST = 0; // no setting: the server keeps its own
constexpr uint8_t PARITY_NONE_VALUE = 1; // then odd, even, mark, space: 2, 3, 4, 5
// Values of SET-STOPSIZE (note that 2 is two and 3 is one and a half).
constexpr uint8_t STOPSIZE_ONE = 1;
constexpr uint8_t STOPSIZE_TWO = 2;
constexpr uint8_t STOPSIZE_ONE5 = 3;
// Values of SET-CONTROL.
constexpr uint8_t CONTROL_REQUEST = 0; // no setting: the server keeps its own
constexpr uint8_t CONTROL_NONE = 1; // no flow control
constexpr uint8_t CONTROL_XONXOFF = 2; // software flow control
constexpr uint8_t CONTROL_HARDWARE = 3; // RTS/CTS

// A server acknowledges command c with command c + 100 (e.g. 101 for SET-BAUDRATE). We
// never read these, but a module that sends them must have them stripped, not relayed.
constexpr uint8_t ServerReplyOffset = 100;

} // namespace vsp::telnet
