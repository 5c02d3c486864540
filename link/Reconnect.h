#pragma once
// When the client link tries again to reach its module. Whoever asks for an attempt (a
// write, the timer, a full store, a lost connection) asks this one schedule, so that a
// module that refuses or drops every connection sees one attempt at a time, never more than
// one a second, and fewer the longer it goes on; and so that a module that comes back is
// reached again soon, however long it was away. Counted in main-timer ticks, as every other
// delay of the link is.

#include <cstdint>

namespace vsp {

class TReconnectSchedule {
public:
    struct TSteps {
        int32_t FirstTicks = 200; // the first back-off step; it doubles at each attempt...
        int32_t LimitTicks = 3000; // ... up to this
        int32_t WithDataTicks = 200; // while the program's bytes wait: one attempt this often
        int32_t StableTicks
            = 2000; // a connection that lasted this long starts again from the first step
    };

    TReconnectSchedule();
    explicit TReconnectSchedule(const TSteps& steps);

    // One main-timer tick.
    void Tick();
    // May an attempt begin now? bytesWaiting: the program has bytes for the module.
    bool Due(bool bytesWaiting) const;
    // Ticks that must pass between the start of one attempt and the next.
    int32_t Delay(bool bytesWaiting) const;
    // An attempt begins (the echo check or the connect); one already under way goes on.
    void Begin();
    // It ended without a connection: no answer, refused, timed out.
    void End();
    // Connected: the attempt has ended, and the connection starts to count.
    void Up();
    // The connection is lost (or was closed).
    void Down();

private:
    TSteps steps_;
    int32_t sinceStart_; // since the last attempt began
    int32_t upTicks_ = 0;
    int step_ = 0; // attempts begun since the last connection that lasted
    bool inFlight_ = false;
    bool up_ = false;
};

} // namespace vsp
