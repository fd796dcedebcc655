#pragma once

#include "entry.hpp"

namespace torvelin::py {

extern const ParameterDescriptor trace_fieldlines_descriptor;

// Converts the bound arguments of trace_fieldlines and traces every seed.
PyRef trace_fieldlines(const BoundArguments& args);

}  // namespace torvelin::py
