// Buffers keep their values across every change of size, whichever kind of
// block holds them (the C library's below 32 MiB, mapped above), and sizes
// that no block can have are allocation failures, not wrapped sizes.
#include <cstdint>
#include <cstdio>
#include <limits>

#include "memory/buffer.hpp"

using torvelin::AllocationFailure;
using torvelin::DoubleBuffer;

namespace {

int failures = 0;

void expect(bool condition, const char* what) {
    if (!condition && ++failures <= 10) std::printf("FAILED: %s\n", what);
}

// Values 0, 1, 2, ... up to `count` are all there.
bool holds_sequence(const DoubleBuffer& buffer, std::size_t count) {
    for (std::size_t n = 0; n < count; ++n) {
        if (buffer[n] != static_cast<double>(n)) return false;
    }
    return true;
}

}  // namespace

int main() {
    // Grown one value at a time across the mapped threshold, extended and
    // made writable piece by piece, shrunk back below it.
    DoubleBuffer buffer;
    constexpr std::size_t large = std::size_t{6} << 20;  // 48 MiB of doubles
    for (std::size_t n = 0; n < large; ++n) buffer.push_back(static_cast<double>(n));
    expect(holds_sequence(buffer, large), "values kept while growing past 32 MiB");
    while (buffer.extend(2 * large) < 2 * large) {
    }
    expect(buffer.writable() == 2 * large && buffer.capacity() == 2 * large,
           "extend reaches its limit");
    expect(holds_sequence(buffer, large), "values kept while extending");
    buffer.resize(1000);
    buffer.shrink_to_fit();
    expect(buffer.capacity() == 1000 && holds_sequence(buffer, 1000),
           "values kept when shrunk below the mapped threshold");
    DoubleBuffer moved(std::move(buffer));
    expect(buffer.data() == nullptr && holds_sequence(moved, 1000), "moved with its values");

    // Sizes whose bytes no block can have, at and beyond the edges of the
    // address space: 2**61, 2**63 and 2**64 - 8 bytes, and counts whose bytes
    // wrap around.
    const std::size_t counts[] = {std::size_t{1} << 58, std::size_t{1} << 60,
                                  std::numeric_limits<std::size_t>::max() / 8,
                                  std::numeric_limits<std::size_t>::max() / 8 + 1,
                                  std::numeric_limits<std::size_t>::max()};
    for (const std::size_t count : counts) {
        bool failed = false;
        try {
            DoubleBuffer impossible(count);
        } catch (const AllocationFailure& failure) {
            failed = failure.bytes() == static_cast<double>(count) * 8.0;
        }
        expect(failed, "an impossible size is an AllocationFailure with its bytes");
        DoubleBuffer growing(16);
        failed = false;
        try {
            growing.resize(count);
        } catch (const AllocationFailure&) {
            failed = growing.capacity() == 16;
        }
        expect(failed, "growing to an impossible size fails and keeps the buffer");
    }
    std::printf("buffers checked: %d failures\n", failures);
    return failures == 0 ? 0 : 1;
}
