// The module's two functions, each declared once: the table of a function's
// parameters makes its parameter descriptor, the text signature of its
// documentation and the struct of its converted arguments, whose fields
// are filled in parameter order.
//
// A table lists every parameter in order, as
//   POSITIONAL(name, Kind)              by position or by keyword, required;
//   KEYWORD_ONLY(name, Kind, "shown")   by keyword only, with the default the
//                                       signature shows;
// where Kind is a conversion kind of kinds.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "python_api/args/binding.hpp"
#include "python_api/args/kinds.hpp"

#define TORVELIN_TRACE_FIELDLINES_PARAMETERS(POSITIONAL, KEYWORD_ONLY) \
    POSITIONAL(xmin, Float64)                                          \
    POSITIONAL(xmax, Float64)                                          \
    POSITIONAL(ymin, Float64)                                          \
    POSITIONAL(ymax, Float64)                                          \
    POSITIONAL(nx, UnsignedSize)                                       \
    POSITIONAL(ny, UnsignedSize)                                       \
    POSITIONAL(bx, Float64Array1D)                                     \
    POSITIONAL(by, Float64Array1D)                                     \
    POSITIONAL(seeds, SequenceOfPairs)                                 \
    POSITIONAL(step, Float64)                                          \
    POSITIONAL(max_steps, UnsignedSize)

#define TORVELIN_FIND_FIELDLINES_PARAMETERS(POSITIONAL, KEYWORD_ONLY) \
    POSITIONAL(data, AnyObject)                                       \
    POSITIONAL(var1, AnyObject)                                       \
    POSITIONAL(var2, AnyObject)                                       \
    KEYWORD_ONLY(x1, Optional<AnyObject>, "None")                     \
    KEYWORD_ONLY(x2, Optional<AnyObject>, "None")                     \
    KEYWORD_ONLY(x0, Optional<AnyObject>, "None")                     \
    KEYWORD_ONLY(y0, Optional<AnyObject>, "None")                     \
    KEYWORD_ONLY(maxstep, Optional<Float64>, "None")                  \
    KEYWORD_ONLY(numsteps, Optional<UnsignedSize>, "None")            \
    KEYWORD_ONLY(step, Optional<Float64>, "None")                     \
    KEYWORD_ONLY(rtol, Optional<Float64>, "None")                     \
    KEYWORD_ONLY(atol, Optional<Float64>, "None")                     \
    KEYWORD_ONLY(order, Optional<Text>, "None")                       \
    KEYWORD_ONLY(dense, Optional<StrictBool>, "None")                 \
    KEYWORD_ONLY(close, Optional<StrictBool>, "None")                 \
    KEYWORD_ONLY(ctol, Optional<Float64>, "None")                     \
    KEYWORD_ONLY(text, FalseByDefault, "False")                       \
    KEYWORD_ONLY(transpose, FalseByDefault, "False")

// What follows the text signature in trace_fieldlines' documentation.
#define TORVELIN_TRACE_FIELDLINES_DOC                                                       \
    "Trace field lines on a 2D vector grid.\n"                                              \
    "\n"                                                                                    \
    "Parameters:\n"                                                                         \
    "- `py`: Python interpreter token (provided automatically).\n"                          \
    "- `xmin`, `xmax`, `ymin`, `ymax`: domain bounds.\n"                                    \
    "- `nx`, `ny`: number of grid points in each direction.\n"                              \
    "- `bx`, `by`: flattened Bx and By components of shape (nx * ny).\n"                    \
    "- `seeds`: list of (x, y) seed points.\n"                                              \
    "- `step`: integration step size.\n"                                                    \
    "- `max_steps`: maximum number of RK4 steps per seed.\n"                                \
    "\n"                                                                                    \
    "Returns a 3\u2011D NumPy array of shape (num_seeds, max_steps + 1, 2) containing the\n" \
    "traced points. Unused entries are filled with NaN."

#define TORVELIN_FIND_FIELDLINES_DOC ""

namespace torvelin::py {

// The documentation CPython expects of a function with a text signature:
// "name(parameters)\n--\n\n" and the rest.
template <std::size_t capacity>
struct MethodDoc {
    std::array<char, capacity> text{};
    std::size_t size = 0;

    constexpr void append(std::string_view piece) {
        for (const char c : piece) {
            if (size + 1 >= capacity) throw "the documentation does not fit";
            text[size++] = c;
        }
    }
};

template <std::size_t capacity = 2048>
consteval MethodDoc<capacity> method_doc(const ParameterDescriptor& descriptor,
                                         std::string_view body) {
    MethodDoc<capacity> doc;
    doc.append(descriptor.function_name);
    doc.append("(");
    bool first = true, keyword_marker = false;
    for (const Parameter& p : descriptor.parameters) {
        if (!first) doc.append(", ");
        first = false;
        if (p.passing == Passing::keyword_only && !keyword_marker) {
            doc.append("*, ");
            keyword_marker = true;
        }
        doc.append(p.name);
        if (p.shown_default != nullptr) {
            doc.append("=");
            doc.append(p.shown_default);
        }
        if (p.passing == Passing::positional_only &&
            (&p + 1 == descriptor.parameters.data() + descriptor.parameters.size() ||
             (&p + 1)->passing != Passing::positional_only)) {
            doc.append(", /");
        }
    }
    doc.append(")\n--\n\n");
    doc.append(body);
    return doc;
}

#define TORVELIN_PARAMETER_POSITIONAL(name, Kind) \
    Parameter{#name, Passing::positional, true, nullptr},
#define TORVELIN_PARAMETER_KEYWORD_ONLY(name, Kind, shown) \
    Parameter{#name, Passing::keyword_only, false, shown},
#define TORVELIN_FIELD_POSITIONAL(name, Kind) Kind::value_type name;
#define TORVELIN_FIELD_KEYWORD_ONLY(name, Kind, shown) Kind::value_type name;
#define TORVELIN_CONVERT_POSITIONAL(name, Kind) .name = bound.next<Kind>(),
#define TORVELIN_CONVERT_KEYWORD_ONLY(name, Kind, shown) .name = bound.next<Kind>(),

// For function `name` with table `TABLE` and documentation `DOC`: its
// descriptor `name_descriptor`, its documentation `name_doc`, and the
// struct `Arguments` of its converted arguments (in namespace `name`), with
// `Arguments::convert`. Braced initialisation runs in order, so the first
// invalid argument in parameter order is the one reported.
#define TORVELIN_DECLARE_FUNCTION(name, TABLE, DOC)                                       \
    inline constexpr Parameter name##_parameters[] = {                                     \
        TABLE(TORVELIN_PARAMETER_POSITIONAL, TORVELIN_PARAMETER_KEYWORD_ONLY)};            \
    inline constexpr ParameterDescriptor name##_descriptor{#name, name##_parameters};      \
    inline constexpr auto name##_doc = method_doc(name##_descriptor, DOC);                 \
    namespace name {                                                                       \
    struct Arguments {                                                                     \
        TABLE(TORVELIN_FIELD_POSITIONAL, TORVELIN_FIELD_KEYWORD_ONLY)                      \
        static Arguments convert(BoundArguments& bound) {                                  \
            return {TABLE(TORVELIN_CONVERT_POSITIONAL, TORVELIN_CONVERT_KEYWORD_ONLY)};    \
        }                                                                                  \
    };                                                                                     \
    }

TORVELIN_DECLARE_FUNCTION(trace_fieldlines, TORVELIN_TRACE_FIELDLINES_PARAMETERS,
                          TORVELIN_TRACE_FIELDLINES_DOC)
TORVELIN_DECLARE_FUNCTION(find_fieldlines, TORVELIN_FIND_FIELDLINES_PARAMETERS,
                          TORVELIN_FIND_FIELDLINES_DOC)

}  // namespace torvelin::py
