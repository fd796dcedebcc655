#include "python_api/numpy/array_view.hpp"

#include "lib/support/fault.hpp"
#include "lib/memory/buffer.hpp"
#include "python_api/runtime/errors.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <type_traits>
#include <vector>

namespace torvelin::py {

namespace {

// NumPy's type numbers of the element types read here (LP64 sizes).
enum TypeNum : int {
    bool_type = 0,
    int8_type = 1,
    uint8_type = 2,
    int16_type = 3,
    uint16_type = 4,
    int32_type = 5,
    uint32_type = 6,
    long_type = 7,
    ulong_type = 8,
    longlong_type = 9,
    ulonglong_type = 10,
    float32_type = 11,
    float64_type = numpy::float64_type_num,
    float16_type = 23,
};
static_assert(sizeof(long) == 8, "type numbers 7 and 8 are read as 64-bit integers");

// Marks float16 elements, which C++ has no arithmetic type for.
struct Half {};

// IEEE half precision to double, exactly (NaN payloads included).
double half_to_double(std::uint16_t half) {
    const std::uint64_t sign = static_cast<std::uint64_t>(half & 0x8000u) << 48;
    std::uint32_t exponent = (half >> 10) & 0x1fu;
    std::uint64_t mantissa = half & 0x3ffu;
    std::uint64_t bits;
    if (exponent == 0x1f) {
        bits = sign | (std::uint64_t{0x7ff} << 52) | (mantissa << 42);
    } else if (exponent != 0) {
        bits = sign | (std::uint64_t{exponent + (1023 - 15)} << 52) | (mantissa << 42);
    } else if (mantissa == 0) {
        bits = sign;
    } else {
        // Subnormal: shift the leading one into the implicit position.
        int shift = 0;
        while ((mantissa & 0x400u) == 0) {
            mantissa <<= 1;
            ++shift;
        }
        bits = sign | (std::uint64_t{static_cast<std::uint32_t>(1023 - 15 + 1 - shift)} << 52) |
               ((mantissa & 0x3ffu) << 42);
    }
    return std::bit_cast<double>(bits);
}

// The unsigned integer of an element type's size.
template <std::size_t size>
using Bits = std::conditional_t<size == 1, std::uint8_t,
             std::conditional_t<size == 2, std::uint16_t,
             std::conditional_t<size == 4, std::uint32_t, std::uint64_t>>>;

// An element's bytes as T, from the array's byte order to the machine's.
template <class T, bool swapped>
T load_element(const char* element) {
    Bits<sizeof(T)> bits;
    std::memcpy(&bits, element, sizeof bits);
    if constexpr (swapped && sizeof(T) > 1) {
        if constexpr (sizeof(T) == 2) bits = __builtin_bswap16(bits);
        if constexpr (sizeof(T) == 4) bits = __builtin_bswap32(bits);
        if constexpr (sizeof(T) == 8) bits = __builtin_bswap64(bits);
    }
    return std::bit_cast<T>(bits);
}

template <class T, bool swapped>
double element_as_double(const char* element) {
    if constexpr (std::is_same_v<T, Half>) {
        return half_to_double(load_element<std::uint16_t, swapped>(element));
    } else if constexpr (std::is_same_v<T, bool>) {
        return *element != 0 ? 1.0 : 0.0;
    } else {
        return static_cast<double>(load_element<T, swapped>(element));
    }
}

struct Axis {
    Py_ssize_t size;
    Py_ssize_t stride;     // bytes between elements in the array
    std::ptrdiff_t step;   // values between them in the output
};

// Counts elements read and calls the checkpoint after each piece of them.
class PieceCounter {
public:
    explicit PieceCounter(const Checkpoint& checkpoint) noexcept : checkpoint_(checkpoint) {}
    void add(std::size_t elements) {
        read_ += elements;
        if (read_ >= values_per_piece) {
            read_ = 0;
            checkpoint_();
        }
    }

private:
    const Checkpoint& checkpoint_;
    std::size_t read_ = 0;
};

// The elements of a 2-D array, walking the source along the axis that steps
// through memory fastest. When the target lies across that walk, the walk
// goes tile by tile so that both sides stay within a few cache lines.
template <class T, bool swapped>
void read_matrix(const char* data, Axis rows, Axis columns, double* out, PieceCounter& pieces) {
    const bool rows_inner = std::abs(rows.stride) < std::abs(columns.stride);
    const Axis& inner = rows_inner ? rows : columns;
    const Axis& outer = rows_inner ? columns : rows;
    constexpr Py_ssize_t tile = 32;
    const Py_ssize_t inner_tile = std::abs(inner.step) <= 2 ? inner.size : tile;
    for (Py_ssize_t o0 = 0; o0 < outer.size; o0 += tile) {
        const Py_ssize_t o1 = std::min(outer.size, o0 + tile);
        for (Py_ssize_t n0 = 0; n0 < inner.size; n0 += inner_tile) {
            const Py_ssize_t n1 = std::min(inner.size, n0 + inner_tile);
            for (Py_ssize_t o = o0; o < o1; ++o) {
                const char* element = data + o * outer.stride + n0 * inner.stride;
                double* target = out + o * outer.step + n0 * inner.step;
                for (Py_ssize_t n = n0; n < n1; ++n) {
                    *target = element_as_double<T, swapped>(element);
                    element += inner.stride;
                    target += inner.step;
                }
                pieces.add(static_cast<std::size_t>(n1 - n0));
            }
        }
    }
}

// Any number of dimensions: advances the index like an odometer, its
// fastest axis first, following the strides (which may be negative).
template <class T, bool swapped>
void read_walking(const ArrayView& view, ElementOrder order, double* out, std::ptrdiff_t spacing,
                  PieceCounter& pieces) {
    const std::size_t count = view.size();
    const int nd = view.ndim();
    const auto shape = view.shape();
    const auto strides = view.strides();
    std::vector<Py_ssize_t> index(static_cast<std::size_t>(nd), 0);
    const char* element = view.data();
    for (std::size_t n = 0; n < count; ++n) {
        out[static_cast<std::ptrdiff_t>(n) * spacing] = element_as_double<T, swapped>(element);
        for (int k = 0; k < nd; ++k) {
            const auto axis =
                static_cast<std::size_t>(order == ElementOrder::first_index_fastest ? k : nd - 1 - k);
            element += strides[axis];
            if (++index[axis] < shape[axis]) break;
            element -= strides[axis] * shape[axis];
            index[axis] = 0;
        }
        pieces.add(1);
    }
}

template <class T, bool swapped>
void read_elements(const ArrayView& view, ElementOrder order, double* out,
                   std::ptrdiff_t spacing, PieceCounter& pieces) {
    if (view.ndim() == 1) {
        const Py_ssize_t count = view.shape()[0], stride = view.strides()[0];
        const char* element = view.data();
        for (Py_ssize_t first = 0; first < count;) {
            const Py_ssize_t piece = std::min<Py_ssize_t>(count - first, values_per_piece);
            double* target = out + first * spacing;
            if (std::is_same_v<T, double> && !swapped && stride == sizeof(double) && spacing == 1) {
                std::memcpy(target, element, static_cast<std::size_t>(piece) * sizeof(double));
                element += piece * stride;
            } else {
                for (Py_ssize_t n = 0; n < piece; ++n, element += stride) {
                    target[n * spacing] = element_as_double<T, swapped>(element);
                }
            }
            first += piece;
            pieces.add(static_cast<std::size_t>(piece));
        }
        return;
    }
    if (view.ndim() == 2) {
        const Py_ssize_t rows = view.shape()[0], columns = view.shape()[1];
        const bool row_major = order == ElementOrder::last_index_fastest;
        const Axis row_axis{rows, view.strides()[0], row_major ? spacing * columns : spacing};
        const Axis column_axis{columns, view.strides()[1], row_major ? spacing : spacing * rows};
        read_matrix<T, swapped>(view.data(), row_axis, column_axis, out, pieces);
        return;
    }
    read_walking<T, swapped>(view, order, out, spacing, pieces);
}

using Reader = void (*)(const ArrayView&, ElementOrder, double*, std::ptrdiff_t, PieceCounter&);

template <class T>
Reader reader_of(bool swapped) {
    return swapped ? read_elements<T, true> : read_elements<T, false>;
}

// The reader of an element type in either byte order, or nothing for types
// left to the general path. float16 is read through its bits; 7 and 8
// (long) are 64-bit on LP64.
std::optional<Reader> reader_for(int type_num, bool swapped) {
    switch (type_num) {
        case bool_type: return reader_of<bool>(swapped);
        case int8_type: return reader_of<std::int8_t>(swapped);
        case uint8_type: return reader_of<std::uint8_t>(swapped);
        case int16_type: return reader_of<std::int16_t>(swapped);
        case uint16_type: return reader_of<std::uint16_t>(swapped);
        case int32_type: return reader_of<std::int32_t>(swapped);
        case uint32_type: return reader_of<std::uint32_t>(swapped);
        case long_type:
        case longlong_type: return reader_of<std::int64_t>(swapped);
        case ulong_type:
        case ulonglong_type: return reader_of<std::uint64_t>(swapped);
        case float32_type: return reader_of<float>(swapped);
        case float64_type: return reader_of<double>(swapped);
        case float16_type: return reader_of<Half>(swapped);
        default: return std::nullopt;
    }
}

const numpy::DescrFields* descr_fields(const ArrayView& view) {
    return reinterpret_cast<const numpy::DescrFields*>(view.descr());
}

bool native_byte_order(const numpy::DescrFields* descr) {
    return descr->byteorder != (std::endian::native == std::endian::little ? '>' : '<');
}

}  // namespace

std::size_t ArrayView::size() const noexcept {
    std::size_t count = 1;
    for (const Py_ssize_t length : shape()) count *= static_cast<std::size_t>(length);
    return count;
}

bool ArrayView::holds_native_float64() const noexcept {
    const numpy::DescrFields* descr = descr_fields(*this);
    return descr->type_num == float64_type && native_byte_order(descr);
}

std::size_t ArrayView::element_size() const noexcept {
    switch (descr_fields(*this)->type_num) {
        case bool_type:
        case int8_type:
        case uint8_type: return 1;
        case int16_type:
        case uint16_type:
        case float16_type: return 2;
        case int32_type:
        case uint32_type:
        case float32_type: return 4;
        case long_type:
        case ulong_type:
        case longlong_type:
        case ulonglong_type:
        case float64_type: return 8;
        default: return 0;
    }
}

std::pair<const char*, const char*> ArrayView::extent() const noexcept {
    const char* lowest = data();
    const char* highest = data() + element_size();
    for (int axis = 0; axis < ndim(); ++axis) {
        const Py_ssize_t span = strides()[axis] * (shape()[axis] - 1);
        (span < 0 ? lowest : highest) += span;
    }
    return {lowest, highest};
}

bool ArrayView::readable() const noexcept {
    return reader_for(descr_fields(*this)->type_num, false).has_value();
}

void ArrayView::read(ElementOrder order, double* out, std::ptrdiff_t spacing,
                     const Checkpoint& between_pieces) const {
    const numpy::DescrFields* descr = descr_fields(*this);
    const std::optional<Reader> reader = reader_for(descr->type_num, !native_byte_order(descr));
    if (!reader) throw InternalFault("an array of an element type that cannot be read directly");
    PieceCounter pieces(between_pieces);
    if (size() != 0) (*reader)(*this, order, out, spacing, pieces);
}

std::span<const double> ArrayView::contiguous_float64() const {
    const std::size_t count = size();
    if (count == 0) return {};
    if (!aligned() || !(c_contiguous() || f_contiguous())) {
        raise(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
    }
    return {reinterpret_cast<const double*>(data()), count};
}

std::optional<ArrayView> plain_array(PyObject* object) {
    if (!numpy::is_plain_array(object)) return std::nullopt;
    const ArrayView view(object);
    if (!view.readable()) return std::nullopt;
    return view;
}

}  // namespace torvelin::py
