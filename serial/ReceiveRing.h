// The port's receive ring: 8192 bytes, a write position, a read position, and
// a flag that tells a full ring from an empty one when the two meet. It knows
// no device and takes no lock: its owner serialises every call.
#pragma once

#include <cstdint>
#include <memory>

namespace belvor {

class ReceiveRing {
public:
    static constexpr uint32_t kSize = 8192;

    struct Positions {
        uint16_t WritePos;
        uint16_t ReadPos;
        bool Full;
    };

    // Where the next bytes go: the free span from the write position (up to
    // the read position or the ring's end), and how much of what is wanted
    // beyond that span fits again at the ring's start.
    struct WriteSpans {
        uint16_t Start;
        uint32_t First;
        uint32_t Second;
    };

    // The bytes live only while the port is open.
    void Allocate() { FData = std::make_unique_for_overwrite<uint8_t[]>(kSize); }
    void Release() { FData.reset(); }
    uint8_t* Data() const { return FData.get(); }

    // Empty, both positions at the start.
    void Reset()
    {
        FWritePos = 0;
        FReadPos = 0;
        FFull = false;
    }
    // Drops every unread byte; writing goes on where it was.
    void Clear()
    {
        FReadPos = FWritePos;
        FFull = false;
    }

    bool Full() const { return FFull; }
    Positions Snapshot() const { return {FWritePos, FReadPos, FFull}; }

    uint32_t Unread() const
    {
        if (FReadPos < FWritePos)
            return FWritePos - FReadPos;
        if (FReadPos > FWritePos)
            return FWritePos + kSize - FReadPos;
        return FFull ? kSize : 0;
    }
    uint32_t Free() const { return kSize - Unread(); }

    // The first span is offered whole, whatever is wanted: a device hands out
    // no more than it has.
    WriteSpans Spans(uint32_t wanted) const
    {
        const uint32_t first = FFull ? 0 : (FReadPos > FWritePos ? FReadPos - FWritePos : kSize - FWritePos);
        const uint32_t amount = wanted < Free() ? wanted : Free();
        return {FWritePos, first, amount > first ? amount - first : 0};
    }

    // Has read(dest, size) store up to wanted bytes at the write position and
    // returns how many it stored: the first span, then the rest at the ring's
    // start, but only when the first read reached the ring's end (a read that
    // stopped short has nothing more) and goOn() still holds. read returns how
    // many bytes it stored, at most size.
    template <class Read, class GoOn> uint32_t Fill(uint32_t wanted, Read read, GoOn goOn)
    {
        const WriteSpans spans = Spans(wanted);
        const uint32_t first = Bounded(read(FData.get() + spans.Start, spans.First), spans.First);
        Advance(first);
        if (spans.Second == 0 || FWritePos != 0 || !goOn())
            return first;
        const uint32_t second = Bounded(read(FData.get(), spans.Second), spans.Second);
        Advance(second);
        return first + second;
    }

    // count bytes were stored at the write position, no more than its span.
    void Advance(uint32_t count)
    {
        FWritePos = static_cast<uint16_t>((FWritePos + count) % kSize);
        if (count != 0)
            FFull = FWritePos == FReadPos;
    }

    // The unread byte offset places after the oldest; offset < Unread().
    uint8_t At(uint32_t offset) const
    {
        uint32_t position = FReadPos + offset;
        if (position >= kSize)
            position -= kSize;
        return FData[position];
    }

    // Drops the oldest unread byte; there must be one.
    void Consume()
    {
        FReadPos = static_cast<uint16_t>((FReadPos + 1u) % kSize);
        FFull = false;
    }

private:
    static uint32_t Bounded(uint32_t count, uint32_t size) { return count < size ? count : size; }

    std::unique_ptr<uint8_t[]> FData;
    uint16_t FWritePos = 0;
    uint16_t FReadPos = 0;
    bool FFull = false;
};

} // namespace belvor
