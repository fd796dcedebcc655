// Unsigned 64-bit size arithmetic that faults instead of wrapping around.
#pragma once

#include <cstdint>
#include <source_location>

#include "fault.hpp"

namespace torvelin {

using u64 = std::uint64_t;

inline u64 checked_add(u64 a, u64 b,
                       std::source_location where = std::source_location::current()) {
    u64 sum;
    if (__builtin_add_overflow(a, b, &sum)) throw InternalFault("attempt to add with overflow", where);
    return sum;
}

inline u64 checked_sub(u64 a, u64 b,
                       std::source_location where = std::source_location::current()) {
    u64 difference;
    if (__builtin_sub_overflow(a, b, &difference))
        throw InternalFault("attempt to subtract with overflow", where);
    return difference;
}

inline u64 checked_mul(u64 a, u64 b,
                       std::source_location where = std::source_location::current()) {
    u64 product;
    if (__builtin_mul_overflow(a, b, &product))
        throw InternalFault("attempt to multiply with overflow", where);
    return product;
}

// a * b, or the largest u64 where that overflows: for estimates.
inline u64 saturating_mul(u64 a, u64 b) noexcept {
    u64 product;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

}  // namespace torvelin
