// What each of the module's functions computes from its converted arguments.
#pragma once

#include "python_api/args/signatures.hpp"

namespace torvelin::py {

namespace trace_fieldlines {
// Traces every seed; the NaN-padded array of their lines.
PyRef compute(const Arguments& args);
}  // namespace trace_fieldlines

namespace find_fieldlines {
// Traces every footpoint forward, and backward unless it closed, and
// returns [[x_array, y_array], ...] for the lines of at least two points.
PyRef compute(const Arguments& args);
}  // namespace find_fieldlines

}  // namespace torvelin::py
