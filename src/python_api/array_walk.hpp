// Visiting the elements of a NumPy array in a chosen logical order.
#pragma once

#include "numpy_api.hpp"

#include <cstddef>
#include <vector>

namespace torvelin::py {

enum class ElementOrder { last_index_fastest, first_index_fastest };

// The number of elements of the array.
inline std::size_t element_count(const numpy::ArrayFields* view) {
    std::size_t count = 1;
    for (int axis = 0; axis < view->nd; ++axis) {
        count *= static_cast<std::size_t>(view->dimensions[axis]);
    }
    return count;
}

// Calls visit(n, address) for every element, n counting from 0 in `order`,
// following the strides (which may be negative). Advances the index like an
// odometer, its fastest axis first.
template <class Visit>
void for_each_element(const numpy::ArrayFields* view, ElementOrder order, Visit&& visit) {
    const std::size_t count = element_count(view);
    const int nd = view->nd;
    std::vector<Py_ssize_t> index(static_cast<std::size_t>(nd), 0);
    const char* element = view->data;
    for (std::size_t n = 0; n < count; ++n) {
        visit(n, element);
        for (int k = 0; k < nd; ++k) {
            const int axis = order == ElementOrder::first_index_fastest ? k : nd - 1 - k;
            const auto a = static_cast<std::size_t>(axis);
            element += view->strides[axis];
            if (++index[a] < view->dimensions[axis]) break;
            element -= view->strides[axis] * view->dimensions[axis];
            index[a] = 0;
        }
    }
}

}  // namespace torvelin::py
