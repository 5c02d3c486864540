#include "link/LineSettings.h"

#include <algorithm>

namespace vsp {

void TPendingSettings::Changed(const TLineSettings& now, int32_t stored, int32_t frameBytes)
{
    current_ = now;
    if (stored <= 0) {
        // Nothing waits: the next byte the module gets is written with these.
        changes_.clear();
        atHead_ = now;
        return;
    }
    const int64_t end = head_ + stored;
    changes_.push_back({ end - frameBytes, end, now });
}

int32_t TPendingSettings::LeftHead(int32_t n)
{
    if (n <= 0) return 0;
    const int64_t from = head_;
    head_ += n;
    int64_t frames = 0;
    for (const TChange& c : changes_) {
        if (c.Start >= head_) break;
        frames += std::max<int64_t>(0, std::min(c.End, head_) - std::max(c.Start, from));
    }
    while (!changes_.empty() && changes_.front().End <= head_) {
        atHead_ = changes_.front().After;
        changes_.pop_front();
    }
    return int32_t(frames);
}

void TPendingSettings::DroppedTail(int32_t stored)
{
    const int64_t tail = head_ + std::max(stored, 0);
    bool cut = false;
    while (!changes_.empty() && changes_.back().End > tail) {
        changes_.pop_back();
        cut = true;
    }
    if (!cut) return;
    if (stored <= 0)
        atHead_ = current_;
    else
        changes_.push_back({ tail, tail, current_ });
}

int32_t TPendingSettings::CutFrameRest() const
{
    if (changes_.empty()) return 0;
    const TChange& first = changes_.front();
    return first.Start < head_ && head_ < first.End ? int32_t(first.End - head_) : 0;
}

const TLineSettings& TPendingSettings::AtHead(int32_t stored)
{
    // A store emptied without a word here holds nothing the changes could belong to.
    if (stored <= 0) {
        changes_.clear();
        atHead_ = current_;
    }
    return atHead_;
}

} // namespace vsp
