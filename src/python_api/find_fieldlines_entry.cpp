#include "conversions.hpp"
#include "find_fieldlines.hpp"

namespace torvelin::py {

namespace {

constexpr const char* positional_names[] = {"data", "var1", "var2"};

constexpr KeywordOnlyParameter keyword_only_parameters[] = {
    {"x1", false},      {"x2", false},   {"x0", false},    {"y0", false},
    {"maxstep", false}, {"numsteps", false}, {"step", false}, {"rtol", false},
    {"atol", false},    {"order", false}, {"dense", false}, {"close", false},
    {"ctol", false},    {"text", false},  {"transpose", false},
};

using FalseByDefault = Defaulted<StrictBool, false>;

}  // namespace

constexpr ParameterDescriptor find_fieldlines_descriptor{
    .function_name = "find_fieldlines",
    .positional = positional_names,
    .positional_only = 0,
    .required_positional = 3,
    .keyword_only = keyword_only_parameters,
};

PyRef find_fieldlines_entry(const BoundArguments& args) {
    // Braced initialisation runs in order, so the first invalid argument in
    // parameter order is the one reported.
    const FinderArguments converted{
        .data = args.convert<AnyObject>(0),
        .var1 = args.convert<AnyObject>(1),
        .var2 = args.convert<AnyObject>(2),
        .x1 = args.convert<Optional<AnyObject>>(3),
        .x2 = args.convert<Optional<AnyObject>>(4),
        .x0 = args.convert<Optional<AnyObject>>(5),
        .y0 = args.convert<Optional<AnyObject>>(6),
        .maxstep = args.convert<Optional<Float64>>(7),
        .numsteps = args.convert<Optional<UnsignedSize>>(8),
        .step = args.convert<Optional<Float64>>(9),
        .rtol = args.convert<Optional<Float64>>(10),
        .atol = args.convert<Optional<Float64>>(11),
        .order = args.convert<Optional<Text>>(12),
        .dense = args.convert<Optional<StrictBool>>(13),
        .close = args.convert<Optional<StrictBool>>(14),
        .ctol = args.convert<Optional<Float64>>(15),
        .text = args.convert<FalseByDefault>(16),
        .transpose = args.convert<FalseByDefault>(17),
    };
    return find_fieldlines(converted);
}

}  // namespace torvelin::py
