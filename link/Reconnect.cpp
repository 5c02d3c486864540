#include "link/Reconnect.h"

#include <algorithm>
#include <climits>

namespace vsp {

namespace {
constexpr int32_t Never = INT32_MAX / 2;

void Count(int32_t& ticks)
{
    if (ticks < Never) ++ticks;
}
} // namespace

TReconnectSchedule::TReconnectSchedule()
    : TReconnectSchedule(TSteps {})
{
}

TReconnectSchedule::TReconnectSchedule(const TSteps& steps)
    : steps_(steps)
    , sinceStart_(Never)
{
}

void TReconnectSchedule::Tick()
{
    Count(sinceStart_);
    if (up_) Count(upTicks_);
}

int32_t TReconnectSchedule::Delay(bool bytesWaiting) const
{
    if (bytesWaiting) return steps_.WithDataTicks;
    int64_t delay = std::max<int32_t>(1, steps_.FirstTicks);
    for (int i = 0; i < step_ && delay < steps_.LimitTicks; ++i)
        delay *= 2;
    return int32_t(std::min<int64_t>(delay, steps_.LimitTicks));
}

bool TReconnectSchedule::Due(bool bytesWaiting) const
{
    return !inFlight_ && !up_ && sinceStart_ >= Delay(bytesWaiting);
}

void TReconnectSchedule::Begin()
{
    if (inFlight_) return;
    inFlight_ = true;
    sinceStart_ = 0;
    if (step_ < 30) ++step_;
}

void TReconnectSchedule::End()
{
    inFlight_ = false;
}

void TReconnectSchedule::Up()
{
    inFlight_ = false;
    up_ = true;
    upTicks_ = 0;
}

void TReconnectSchedule::Down()
{
    if (!up_) return;
    up_ = false;
    // A module that takes each connection and drops it soon after must not be asked again
    // at the first step every time.
    if (upTicks_ >= steps_.StableTicks) step_ = 0;
}

} // namespace vsp
