#include "direct_array.hpp"

#include "array_walk.hpp"
#include "numpy_api.hpp"

#include <algorithm>
#include <cstdlib>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

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
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
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

// Where the elements go: element (r, c) of a 2-D array to
// out[r * row_step + c * column_step].
struct MatrixTarget {
    double* out;
    std::ptrdiff_t row_step;
    std::ptrdiff_t column_step;
};

// The elements of a 2-D array, walking the source along the axis that steps
// through memory fastest. When the target lies across that walk, the walk
// goes tile by tile so that both sides stay within a few cache lines.
template <class T>
void read_matrix(const numpy::ArrayFields* view, const MatrixTarget& target) {
    struct Axis {
        Py_ssize_t size;
        Py_ssize_t stride;
        std::ptrdiff_t step;
    };
    const Axis rows{view->dimensions[0], view->strides[0], target.row_step};
    const Axis columns{view->dimensions[1], view->strides[1], target.column_step};
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
                const char* element = view->data + o * outer.stride + n0 * inner.stride;
                double* out = target.out + o * outer.step + n0 * inner.step;
                for (Py_ssize_t n = n0; n < n1; ++n) {
                    *out = element_as_double<T>(element);
                    element += inner.stride;
                    out += inner.step;
                }
            }
        }
    }
}

// Every element in column-major order (first index fastest), the n-th to
// out[n * spacing].
template <class T>
void read_column_major(const numpy::ArrayFields* view, double* out, std::ptrdiff_t spacing) {
    if (view->nd == 2) {
        read_matrix<T>(view, {out, spacing, spacing * view->dimensions[0]});
        return;
    }
    for_each_element(view, ElementOrder::first_index_fastest,
                     [out, spacing](std::size_t n, const char* element) {
                         const auto at = static_cast<std::ptrdiff_t>(n) * spacing;
                         out[at] = element_as_double<T>(element);
                     });
}

// The elements of a 2-D array in row-major order (last index fastest), the
// n-th to out[n * spacing].
template <class T>
void read_row_major(const numpy::ArrayFields* view, double* out, std::ptrdiff_t spacing) {
    read_matrix<T>(view, {out, spacing * view->dimensions[1], spacing});
}

using Reader = void (*)(const numpy::ArrayFields*, double*, std::ptrdiff_t);

struct Readers {
    Reader column_major;
    Reader row_major;
};

template <class T>
constexpr Readers readers_of{read_column_major<T>, read_row_major<T>};

// The readers of an element type, or nothing for types left to the general
// path. float16 is read through its bits; 7 and 8 (long) are 64-bit on LP64.
std::optional<Readers> readers_for(int type_num) {
    switch (type_num) {
        case bool_type: return readers_of<bool>;
        case int8_type: return readers_of<std::int8_t>;
        case uint8_type: return readers_of<std::uint8_t>;
        case int16_type: return readers_of<std::int16_t>;
        case uint16_type: return readers_of<std::uint16_t>;
        case int32_type: return readers_of<std::int32_t>;
        case uint32_type: return readers_of<std::uint32_t>;
        case long_type:
        case longlong_type: return readers_of<std::int64_t>;
        case ulong_type:
        case ulonglong_type: return readers_of<std::uint64_t>;
        case float32_type: return readers_of<float>;
        case float64_type: return readers_of<double>;
        case float16_type: return readers_of<Half>;
        default: return std::nullopt;
    }
}

bool native_byte_order(const numpy::DescrFields* descr) {
    return descr->byteorder != (std::endian::native == std::endian::little ? '>' : '<');
}

// The readers of `object` when it is a plain array this file reads.
std::optional<Readers> plain_array_readers(PyObject* object) {
    if (!numpy::is_plain_array(object)) return std::nullopt;
    const auto* descr =
        reinterpret_cast<const numpy::DescrFields*>(numpy::fields(object)->descr);
    if (!native_byte_order(descr)) return std::nullopt;
    return readers_for(descr->type_num);
}

// An (nx, ny) array: element [i, j] is grid point (i, j).
bool holds_grid_by_index(const numpy::ArrayFields* view, u64 nx, u64 ny) {
    return view->nd == 2 && static_cast<u64>(view->dimensions[0]) == nx &&
           static_cast<u64>(view->dimensions[1]) == ny;
}

}  // namespace

std::optional<LargeVector> read_plain_array(PyObject* object) {
    const std::optional<Readers> readers = plain_array_readers(object);
    if (!readers) return std::nullopt;
    const numpy::ArrayFields* view = numpy::fields(object);
    LargeVector values(element_count(view));
    if (!values.empty()) readers->column_major(view, values.data(), 1);
    return values;
}

std::optional<std::size_t> plain_array_size(PyObject* object) {
    if (!plain_array_readers(object)) return std::nullopt;
    return element_count(numpy::fields(object));
}

GridOrder plain_array_order(PyObject* object, u64 nx, u64 ny) {
    const numpy::ArrayFields* view = numpy::fields(object);
    if (holds_grid_by_index(view, nx, ny) &&
        std::abs(view->strides[1]) < std::abs(view->strides[0])) {
        return GridOrder::y_fastest;
    }
    return GridOrder::x_fastest;
}

bool read_plain_array_into(PyObject* object, const GridSlots& slots) {
    const std::optional<Readers> readers = plain_array_readers(object);
    if (!readers) return false;
    const numpy::ArrayFields* view = numpy::fields(object);
    u64 cells = 0;
    if (__builtin_mul_overflow(slots.nx, slots.ny, &cells) || element_count(view) != cells) {
        return false;
    }
    if (slots.order == GridOrder::x_fastest) {
        // Column-major order is grid order with x fastest, whatever the shape.
        readers->column_major(view, slots.out, slots.spacing);
        return true;
    }
    if (!holds_grid_by_index(view, slots.nx, slots.ny)) return false;
    readers->row_major(view, slots.out, slots.spacing);
    return true;
}

}  // namespace torvelin::py
