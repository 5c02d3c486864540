#pragma once
// The line settings the program has set on the virtual port, and which of them belong to the
// bytes that wait in the pending store.
//
// A module opens its serial line with its own settings at every connection (ser2net does,
// and so do many modules after a reboot), so each new connection first tells it the settings
// the program had when it wrote the first byte the module will get: those of the oldest
// waiting byte, or the current ones when nothing waits. A change made while bytes wait goes
// into the store as frames at its place among them. TPendingSettings keeps where each such
// change stands, so that
//  - the settings "at the head" of the store move on as the store is sent;
//  - frames are told from the program's bytes (they are no relay data to count);
//  - the rest of a frame that a broken connection took in part is known, and the next
//    connection does not start with it.
// Positions count bytes through the store: a byte keeps its position from the moment it
// enters until it leaves at the head. The store itself belongs to the main window, which
// reports each move here.

#include <cstdint>
#include <deque>
#include <optional>

namespace vsp {

struct TLineSettings {
    struct TLineControl {
        int32_t StopBits = 0;
        int32_t Parity = 0;
        int32_t WordLength = 0;
    };
    struct THandflow {
        int32_t ControlHandShake = 0;
        int32_t FlowReplace = 0;
    };
    // Each unset until the program sets it.
    std::optional<int32_t> BaudRate;
    std::optional<TLineControl> LineControl;
    std::optional<THandflow> Handflow;
};

class TPendingSettings {
public:
    const TLineSettings& Current() const { return current_; }

    // The program changed its line: `now` holds for every byte it writes from here on.
    // stored: bytes in the store now; frameBytes: how many of them, at its tail, are the frames
    // of this change (0 when none went in).
    void Changed(const TLineSettings& now, int32_t stored, int32_t frameBytes);
    // n bytes left the head of the store (sent or dropped); returns how many of them were
    // frames of changes.
    int32_t LeftHead(int32_t n);
    // n bytes were put in front of the head.
    void PutAtHead(int32_t n) { head_ -= n; }
    // The store was cut back to its first `stored` bytes: what waited behind them is gone,
    // the frames of changes among it too, and those changes hold for what comes next.
    void DroppedTail(int32_t stored);
    // The rest of a change's frames that a connection took only in part, now at the head of
    // the store; 0 when there is none.
    int32_t CutFrameRest() const;
    // The settings for the first byte of the store, which holds `stored` bytes.
    const TLineSettings& AtHead(int32_t stored);

private:
    struct TChange {
        int64_t Start = 0; // the frames' first position
        int64_t End = 0; // the position past them: from here on `After` holds
        TLineSettings After;
    };
    TLineSettings current_;
    TLineSettings atHead_;
    std::deque<TChange> changes_; // in the store, oldest first
    int64_t head_ = 0; // the position of the store's first byte
};

} // namespace vsp
