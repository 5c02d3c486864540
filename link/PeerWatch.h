#pragma once
// The socket layer's watch for peers that vanish without a word.

namespace vsp {

// How long a silent peer is given before its connection counts as dead. A module that loses
// its power sends nothing: without a watch its connection looks alive for ever while idle,
// and for about 15 minutes (the kernel's retransmissions) while bytes are in flight.
// Idle, TCP keepalive finds it; a live peer answers the probes even while it reads nothing
// (its window at zero). With bytes in flight the kernel sends no keepalive, so the
// connection is looked at every CheckMs instead: bytes unacknowledged and no acknowledgement
// for BusyLimitMs means dead. (TCP_USER_TIMEOUT would find that too, but it also ends the
// connection to a live peer whose window stays at zero for that long.) Zero turns a part off.
struct TPeerWatch {
    int IdleSeconds = 5; // silence before the first keepalive probe
    int ProbeSeconds = 2; // between probes
    int Probes = 5; // unanswered probes before the end: 5 + 5 * 2 = 15 s after the last word
    int BusyLimitMs = 15000;
    int CheckMs = 1000;
};

} // namespace vsp
