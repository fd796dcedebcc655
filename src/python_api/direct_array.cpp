#include "direct_array.hpp"

#include "array_walk.hpp"
#include "numpy_api.hpp"

#include <algorithm>
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

// A 2-D array in column-major order, tile by tile, so that both the reads
// and the writes stay within a few cache lines at a time.
template <class T>
void read_matrix(const numpy::ArrayFields* view, double* out) {
    constexpr Py_ssize_t tile = 32;
    const Py_ssize_t rows = view->dimensions[0], columns = view->dimensions[1];
    const Py_ssize_t row_stride = view->strides[0], column_stride = view->strides[1];
    for (Py_ssize_t c0 = 0; c0 < columns; c0 += tile) {
        const Py_ssize_t c1 = std::min(columns, c0 + tile);
        for (Py_ssize_t r0 = 0; r0 < rows; r0 += tile) {
            const Py_ssize_t r1 = std::min(rows, r0 + tile);
            for (Py_ssize_t c = c0; c < c1; ++c) {
                const char* element = view->data + c * column_stride + r0 * row_stride;
                double* target = out + c * rows + r0;
                for (Py_ssize_t r = r0; r < r1; ++r, element += row_stride) {
                    *target++ = element_as_double<T>(element);
                }
            }
        }
    }
}

template <class T>
void read_any(const numpy::ArrayFields* view, double* out) {
    if (view->nd == 2) {
        read_matrix<T>(view, out);
    } else {
        for_each_element(view, ElementOrder::first_index_fastest,
                         [out](std::size_t n, const char* element) {
                             out[n] = element_as_double<T>(element);
                         });
    }
}

using Reader = void (*)(const numpy::ArrayFields*, double*);

// The reader of an element type, or null for types left to the general path.
// float16 is read through its bits; 7 and 8 (long) are 64-bit on LP64.
Reader reader_for(int type_num) {
    switch (type_num) {
        case bool_type: return read_any<bool>;
        case int8_type: return read_any<std::int8_t>;
        case uint8_type: return read_any<std::uint8_t>;
        case int16_type: return read_any<std::int16_t>;
        case uint16_type: return read_any<std::uint16_t>;
        case int32_type: return read_any<std::int32_t>;
        case uint32_type: return read_any<std::uint32_t>;
        case long_type:
        case longlong_type: return read_any<std::int64_t>;
        case ulong_type:
        case ulonglong_type: return read_any<std::uint64_t>;
        case float32_type: return read_any<float>;
        case float64_type: return read_any<double>;
        case float16_type: return read_any<Half>;
        default: return nullptr;
    }
}

bool native_byte_order(const numpy::DescrFields* descr) {
    return descr->byteorder != (std::endian::native == std::endian::little ? '>' : '<');
}

}  // namespace

std::optional<LargeVector> read_plain_array(PyObject* object) {
    if (!numpy::is_plain_array(object)) return std::nullopt;
    const numpy::ArrayFields* view = numpy::fields(object);
    const auto* descr = reinterpret_cast<const numpy::DescrFields*>(view->descr);
    const Reader read = reader_for(descr->type_num);
    if (read == nullptr || !native_byte_order(descr)) return std::nullopt;
    LargeVector values(element_count(view));
    if (!values.empty()) read(view, values.data());
    return values;
}

}  // namespace torvelin::py
