// Where a grid's field lies in memory: in a buffer of the grid's own, or in
// the caller's arrays, read where they are.
//
// The grid and its kernels see only pointers and strides, so they work the
// same on either; what differs is who keeps the memory alive. Borrowed
// memory must stay valid and unchanged for as long as the grid reads it.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

#include "../memory/buffer.hpp"
#include "../support/checkpoint.hpp"

namespace torvelin {

// How grid point (i, j) is placed among a component's values. Either order
// gives the same interpolated values.
enum class GridOrder {
    x_fastest,  // at j * nx + i: rows of constant y, one after another
    y_fastest,  // at i * ny + j: columns of constant x, one after another
};

// The values of one component, grid point n (in the field's order) at [n].
class ComponentValues {
public:
    ComponentValues() = default;

    // Memory the caller keeps alive while the grid lives.
    static ComponentValues borrowed(std::span<const double> values) noexcept {
        ComponentValues component;
        component.values_ = values;
        return component;
    }
    static ComponentValues owned(DoubleBuffer values) noexcept {
        ComponentValues component;
        component.storage_ = std::move(values);
        component.values_ = component.storage_.values();
        return component;
    }

    std::span<const double> values() const noexcept { return values_; }

private:
    // Moving a vector keeps its buffer, so `values_` stays valid when an
    // owned component moves.
    DoubleBuffer storage_;
    std::span<const double> values_;
};

// Whether copying a field of `points` grid points into the interleaved
// layout pays for itself over a call planned for `planned_steps` steps (its
// most): the kernel reads an interleaved field faster, by about a sixth in
// cache and a quarter to a third beyond, but the copy is a pass over the
// whole field. Timed end to end, the copy pays from about a sixth of a step
// per grid point while the field fits in the last-level cache, and from
// about half a step beyond; the thresholds leave room for lines that end
// long before their step limit.
inline bool prefer_interleaved_copy(std::size_t points, std::size_t planned_steps) noexcept {
    const bool fits_in_cache = points <= (std::size_t{1} << 20);
    return planned_steps >= (fits_in_cache ? points / 4 : points / 2);
}

class FieldStorage {
public:
    // Both components in one buffer of the grid's own, side by side: bx and
    // by of grid point n at [2n] and [2n + 1]. The two components of a cell's
    // neighbouring corners along the faster axis are then four neighbouring
    // values.
    static FieldStorage interleaved(DoubleBuffer values, GridOrder order) noexcept {
        FieldStorage field;
        field.order_ = order;
        field.interleaved_ = true;
        field.points_ = values.size() / 2;
        field.bx_ = ComponentValues::owned(std::move(values));
        return field;
    }

    // Two components, each owned or borrowed, with the same order.
    static FieldStorage separate(ComponentValues bx, ComponentValues by,
                                 GridOrder order) noexcept {
        FieldStorage field;
        field.order_ = order;
        field.interleaved_ = false;
        field.bx_ = std::move(bx);
        field.by_ = std::move(by);
        return field;
    }

    GridOrder order() const noexcept { return order_; }
    bool is_interleaved() const noexcept { return interleaved_; }
    // Values between one grid point and the next in the field's order.
    std::size_t spacing() const noexcept { return interleaved_ ? 2 : 1; }

    const double* bx() const noexcept { return bx_.values().data(); }
    const double* by() const noexcept {
        return interleaved_ ? bx_.values().data() + 1 : by_.values().data();
    }
    // Grid points held by each component.
    std::size_t bx_points() const noexcept {
        return interleaved_ ? points_ : bx_.values().size();
    }
    std::size_t by_points() const noexcept {
        return interleaved_ ? points_ : by_.values().size();
    }

private:
    FieldStorage() = default;

    GridOrder order_ = GridOrder::x_fastest;
    bool interleaved_ = false;
    std::size_t points_ = 0;  // of each component, when interleaved
    ComponentValues bx_;      // both components, when interleaved
    ComponentValues by_;
};

// `bx` and `by`, of equal length and each with x varying fastest, copied
// into one buffer side by side, in pieces with `checkpoint` between them.
FieldStorage interleaved_copy(std::span<const double> bx, std::span<const double> by,
                              const Checkpoint& checkpoint = {});

}  // namespace torvelin
