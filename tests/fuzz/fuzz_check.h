// SPDX-License-Identifier: GPL-3.0-or-later
// What every fuzz target shares: the check that aborts on a broken invariant
// (so libFuzzer and the replay runner both see it as a crash) and a reader
// that turns the fuzzer's bytes into choices.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Invariant reports go to a copy of standard error taken at set-up, which
// outlives libFuzzer's -close_fd_mask silencing the program's own output.
inline FILE *fuzz_report_stream()
{
    static FILE *stream = [] {
        int copy = dup(STDERR_FILENO);
        FILE *opened = copy >= 0 ? fdopen(copy, "w") : nullptr;
        return opened != nullptr ? opened : stderr;
    }();
    return stream;
}

#define FUZZ_CHECK(condition, ...)                                                                                     \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(fuzz_report_stream(), "invariant broken at %s:%d: %s\n  ", __FILE__, __LINE__, #condition);   \
            std::fprintf(fuzz_report_stream(), __VA_ARGS__);                                                           \
            std::fputc('\n', fuzz_report_stream());                                                                    \
            std::fflush(fuzz_report_stream());                                                                         \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)

// Hands out the input front to back; once it is used up every read yields 0,
// so a short input is still a complete (if dull) case.
class FuzzReader {
public:
    FuzzReader(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(byte() | (byte() << 8)); }
    uint32_t u32() { return static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16); }
    bool flag() { return (byte() & 1) != 0; }

    // Copies up to `count` bytes, zero-filling what the input no longer holds.
    void bytes(uint8_t *out, size_t count)
    {
        size_t available = remaining() < count ? remaining() : count;
        if (available > 0)
            std::memcpy(out, data_ + position_, available);
        std::memset(out + available, 0, count - available);
        position_ += available;
    }

    const uint8_t *rest() const { return data_ + position_; }
    size_t remaining() const { return size_ - position_; }

private:
    const uint8_t *data_;
    size_t size_;
    size_t position_ = 0;
};
