#pragma once

#include "../lib/checked.hpp"
#include "entry.hpp"

#include <optional>
#include <string_view>

namespace torvelin::py {

extern const ParameterDescriptor find_fieldlines_descriptor;

// Converts the bound arguments of find_fieldlines and runs the finder.
PyRef find_fieldlines_entry(const BoundArguments& args);

// What find_fieldlines receives once its arguments are converted. The
// options without effect are converted (and so checked) all the same.
struct FinderArguments {
    PyObject* data;
    PyObject* var1;
    PyObject* var2;
    std::optional<PyObject*> x1;
    std::optional<PyObject*> x2;
    std::optional<PyObject*> x0;
    std::optional<PyObject*> y0;
    std::optional<double> maxstep;
    std::optional<u64> numsteps;
    std::optional<double> step;
    std::optional<double> rtol;
    std::optional<double> atol;
    std::optional<std::string_view> order;
    std::optional<bool> dense;
    std::optional<bool> close;
    std::optional<double> ctol;
    bool text;
    bool transpose;
};

// Traces every footpoint forward, and backward unless it closed, and
// returns [[x_array, y_array], ...] for the lines of at least two points.
PyRef find_fieldlines(const FinderArguments& args);

}  // namespace torvelin::py
