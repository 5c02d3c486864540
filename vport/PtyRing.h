#pragma once
// A byte ring of fixed capacity, allocated once: the port's input and output queues must not
// allocate per byte or per block, and must hand bytes on in exactly the order they came.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

namespace vsp {

class TPtyByteRing {
public:
    explicit TPtyByteRing(int32_t capacity)
        : data_(new uint8_t[static_cast<size_t>(capacity)])
        , capacity_(capacity)
    {
    }

    int32_t Count() const { return count_; }
    int32_t Free() const { return capacity_ - count_; }
    int32_t Capacity() const { return capacity_; }
    bool Empty() const { return count_ == 0; }
    void Clear() { head_ = count_ = 0; }

    // Appends as much as fits; returns how many bytes were taken.
    int32_t Push(const uint8_t* bytes, int32_t n)
    {
        n = std::min(n, Free());
        if (n <= 0) return 0;
        int32_t tail = (head_ + count_) % capacity_;
        int32_t first = std::min(n, capacity_ - tail);
        std::memcpy(data_.get() + tail, bytes, static_cast<size_t>(first));
        std::memcpy(data_.get(), bytes + first, static_cast<size_t>(n - first));
        count_ += n;
        return n;
    }

    // Copies out and removes up to n of the oldest bytes; returns how many.
    int32_t Pop(uint8_t* bytes, int32_t n)
    {
        n = std::min(n, count_);
        if (n <= 0) return 0;
        int32_t first = std::min(n, capacity_ - head_);
        std::memcpy(bytes, data_.get() + head_, static_cast<size_t>(first));
        std::memcpy(bytes + first, data_.get(), static_cast<size_t>(n - first));
        Drop(n);
        return n;
    }

    // The oldest bytes that lie in one piece, so they can go to write() without a copy.
    const uint8_t* Front(int32_t& n) const
    {
        n = std::min(count_, capacity_ - head_);
        return data_.get() + head_;
    }
    void Drop(int32_t n)
    {
        n = std::min(n, count_);
        head_ = (head_ + n) % capacity_;
        count_ -= n;
        if (count_ == 0) head_ = 0;
    }

private:
    std::unique_ptr<uint8_t[]> data_;
    int32_t capacity_;
    int32_t head_ = 0;
    int32_t count_ = 0;
};

} // namespace vsp
