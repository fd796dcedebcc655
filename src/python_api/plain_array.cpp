#include "plain_array.hpp"

namespace torvelin::py {

std::optional<ArrayView> plain_array(PyObject* object) {
    if (!numpy::is_plain_array(object)) return std::nullopt;
    const ArrayView view(object);
    if (!view.readable()) return std::nullopt;
    return view;
}

}  // namespace torvelin::py
