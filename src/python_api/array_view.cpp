#include "array_view.hpp"

#include "../lib/fault.hpp"
#include "errors.hpp"

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
    float64_type = 12,
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

template <class T>
double element_as_double(const char* element) {
    if constexpr (std::is_same_v<T, Half>) {
        std::uint16_t half;
        std::memcpy(&half, element, sizeof half);
        return half_to_double(half);
    } else if constexpr (std::is_same_v<T, bool>) {
        return *element != 0 ? 1.0 : 0.0;
    } else {
        T value;
        std::memcpy(&value, element, sizeof value);
        return static_cast<double>(value);
    }
}

struct Axis {
    Py_ssize_t size;
    Py_ssize_t stride;     // bytes between elements in the array
    std::ptrdiff_t step;   // values between them in the output
};

// The elements of a 2-D array, walking the source along the axis that steps
// through memory fastest. When the target lies across that walk, the walk
// goes tile by tile so that both sides stay within a few cache lines.
template <class T>
void read_matrix(const char* data, Axis rows, Axis columns, double* out) {
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
                    *target = element_as_double<T>(element);
                    element += inner.stride;
                    target += inner.step;
                }
            }
        }
    }
}

// Any number of dimensions: advances the index like an odometer, its
// fastest axis first, following the strides (which may be negative).
template <class T>
void read_walking(const ArrayView& view, ElementOrder order, double* out,
                  std::ptrdiff_t spacing) {
    const std::size_t count = view.size();
    const int nd = view.ndim();
    const auto shape = view.shape();
    const auto strides = view.strides();
    std::vector<Py_ssize_t> index(static_cast<std::size_t>(nd), 0);
    const char* element = view.data();
    for (std::size_t n = 0; n < count; ++n) {
        out[static_cast<std::ptrdiff_t>(n) * spacing] = element_as_double<T>(element);
        for (int k = 0; k < nd; ++k) {
            const auto axis =
                static_cast<std::size_t>(order == ElementOrder::first_index_fastest ? k : nd - 1 - k);
            element += strides[axis];
            if (++index[axis] < shape[axis]) break;
            element -= strides[axis] * shape[axis];
            index[axis] = 0;
        }
    }
}

template <class T>
void read_elements(const ArrayView& view, ElementOrder order, double* out,
                   std::ptrdiff_t spacing) {
    if (view.ndim() == 1) {
        const Py_ssize_t count = view.shape()[0], stride = view.strides()[0];
        const char* element = view.data();
        if constexpr (std::is_same_v<T, double>) {
            if (stride == sizeof(double) && spacing == 1) {
                std::memcpy(out, element, static_cast<std::size_t>(count) * sizeof(double));
                return;
            }
        }
        for (Py_ssize_t n = 0; n < count; ++n, element += stride) {
            out[n * spacing] = element_as_double<T>(element);
        }
        return;
    }
    if (view.ndim() == 2) {
        const Py_ssize_t rows = view.shape()[0], columns = view.shape()[1];
        const bool row_major = order == ElementOrder::last_index_fastest;
        const Axis row_axis{rows, view.strides()[0], row_major ? spacing * columns : spacing};
        const Axis column_axis{columns, view.strides()[1], row_major ? spacing : spacing * rows};
        read_matrix<T>(view.data(), row_axis, column_axis, out);
        return;
    }
    read_walking<T>(view, order, out, spacing);
}

using Reader = void (*)(const ArrayView&, ElementOrder, double*, std::ptrdiff_t);

// The reader of an element type, or nothing for types left to the general
// path. float16 is read through its bits; 7 and 8 (long) are 64-bit on LP64.
std::optional<Reader> reader_for(int type_num) {
    switch (type_num) {
        case bool_type: return read_elements<bool>;
        case int8_type: return read_elements<std::int8_t>;
        case uint8_type: return read_elements<std::uint8_t>;
        case int16_type: return read_elements<std::int16_t>;
        case uint16_type: return read_elements<std::uint16_t>;
        case int32_type: return read_elements<std::int32_t>;
        case uint32_type: return read_elements<std::uint32_t>;
        case long_type:
        case longlong_type: return read_elements<std::int64_t>;
        case ulong_type:
        case ulonglong_type: return read_elements<std::uint64_t>;
        case float32_type: return read_elements<float>;
        case float64_type: return read_elements<double>;
        case float16_type: return read_elements<Half>;
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

bool ArrayView::readable() const noexcept {
    const numpy::DescrFields* descr = descr_fields(*this);
    return native_byte_order(descr) && reader_for(descr->type_num).has_value();
}

void ArrayView::read(ElementOrder order, double* out, std::ptrdiff_t spacing) const {
    const std::optional<Reader> reader = reader_for(descr_fields(*this)->type_num);
    if (!reader || !native_byte_order(descr_fields(*this))) {
        throw InternalFault("an array of an element type that cannot be read directly");
    }
    if (size() != 0) (*reader)(*this, order, out, spacing);
}

std::span<const double> ArrayView::contiguous_float64() const {
    const std::size_t count = size();
    if (count == 0) return {};
    if (!aligned() || !(c_contiguous() || f_contiguous())) {
        raise(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
    }
    return {reinterpret_cast<const double*>(data()), count};
}

}  // namespace torvelin::py
