#include "field_storage.hpp"

#include "../support/checked.hpp"
#include "../support/fault.hpp"

namespace torvelin {

FieldStorage interleaved_copy(std::span<const double> bx, std::span<const double> by,
                              const Checkpoint& checkpoint) {
    if (bx.size() != by.size()) throw InternalFault("components of different lengths");
    DoubleBuffer values(checked_mul(2, bx.size()));
    in_pieces(bx.size(), checkpoint, [&](std::size_t first, std::size_t count) {
        for (std::size_t k = first; k < first + count; ++k) {
            values[2 * k] = bx[k];
            values[2 * k + 1] = by[k];
        }
    });
    return FieldStorage::interleaved(std::move(values), GridOrder::x_fastest);
}

}  // namespace torvelin
