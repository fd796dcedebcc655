// Memory for the module's buffers of values: inputs converted, the grid's
// field, traced lines and results.
//
// Blocks below 32 MiB come from the C library's allocator, which keeps
// freed memory for the next request, so calls that follow one another (or
// run side by side in threads) reuse memory without the kernel mapping,
// zeroing and faulting it in again; larger ones are mapped on huge-page
// boundaries (see buffer.cpp). The module itself keeps nothing between
// calls.
// Every size computation here is checked: a request that cannot be
// expressed or met throws AllocationFailure, never a wrapped-around size.
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "../support/checkpoint.hpp"

namespace torvelin {

// An allocation that the system refused, or that no address space can
// hold: `count` elements of `element_size` bytes each (their product may
// exceed what std::size_t holds), and what they were for, when known.
class AllocationFailure : public std::bad_alloc {
public:
    AllocationFailure(std::size_t count, std::size_t element_size, std::string purpose = {})
        : count_(count), element_size_(element_size), purpose_(std::move(purpose)) {}

    const char* what() const noexcept override { return "cannot allocate memory"; }
    // The bytes asked for, exact up to a double's precision.
    double bytes() const noexcept {
        return static_cast<double>(count_) * static_cast<double>(element_size_);
    }
    // "a result of 3 × 1001 points", say; empty when not known.
    const std::string& purpose() const noexcept { return purpose_; }

    // The same failure, said to have been for `purpose`.
    AllocationFailure for_purpose(std::string purpose) const {
        return AllocationFailure(count_, element_size_, std::move(purpose));
    }

private:
    std::size_t count_;
    std::size_t element_size_;
    std::string purpose_;
};

// The primitives below: blocks of `count` elements of `element_size` bytes
// each; a block is resized and released with the count it was had with. A
// null block with a count of 0 is valid everywhere.
void* allocate_block(std::size_t count, std::size_t element_size);
// The block resized, keeping its first bytes; the old block is gone unless
// this throws.
void* resize_block(void* block, std::size_t old_count, std::size_t count,
                   std::size_t element_size);
void release_block(void* block, std::size_t count, std::size_t element_size) noexcept;
// Makes bytes [from, to) of `block` present and writable, so that writing
// them does not stop for the kernel to find memory. Only worth it for large
// blocks (see Buffer::make_writable); throws AllocationFailure when the
// memory cannot be had.
void prepare_block(void* block, std::size_t from, std::size_t to);

// Whether a block of `count` elements of `element_size` is large: advised
// into huge pages and made writable before it is written (smaller ones
// fault in cheaply, a few small pages at a time).
bool is_large_block(std::size_t count, std::size_t element_size) noexcept;
// The capacity after `capacity` when elements are added one by one.
std::size_t grown_capacity(std::size_t capacity, std::size_t element_size);
// Bytes made writable at a time by Buffer::make_writable: a huge page.
inline constexpr std::size_t piece_bytes = std::size_t{2} << 20;

// For standard containers of other element types.
template <class T>
struct BlockAllocator {
    using value_type = T;

    BlockAllocator() = default;
    template <class U>
    BlockAllocator(const BlockAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) { return static_cast<T*>(allocate_block(count, sizeof(T))); }
    void deallocate(T* memory, std::size_t count) noexcept {
        release_block(memory, count, sizeof(T));
    }
    template <class U>
    bool operator==(const BlockAllocator<U>&) const noexcept {
        return true;
    }
};

// Elements of a trivially copyable type, `size()` of them in use out of
// `capacity()`, left uninitialised where they grow: every user writes the
// elements it adds. Growing keeps the elements and, for large blocks, moves
// no data (the allocator remaps them). A buffer of doubles can become a
// result array's memory.
template <class T>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T>, "elements move as bytes");

public:
    Buffer() noexcept = default;
    // `size` elements, uninitialised.
    explicit Buffer(std::size_t size) { resize(size); }
    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)),
          writable_(std::exchange(other.writable_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        Buffer(std::move(other)).swap(*this);
        return *this;
    }
    ~Buffer() { release_block(data_, capacity_, sizeof(T)); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t n) noexcept { return data_[n]; }
    const T& operator[](std::size_t n) const noexcept { return data_[n]; }
    const T& front() const noexcept { return data_[0]; }
    const T& back() const noexcept { return data_[size_ - 1]; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }
    std::span<const T> values() const noexcept { return {data_, size_}; }
    operator std::span<const T>() const noexcept { return values(); }

    // `size` elements in use: the first min(size(), size) keep their
    // values, the others are uninitialised.
    void resize(std::size_t size) {
        if (size > capacity_) reallocate(size);
        size_ = size;
    }
    // Room for `capacity` elements without moving.
    void reserve(std::size_t capacity) {
        if (capacity > capacity_) reallocate(capacity);
    }
    // Gives back the room beyond size().
    void shrink_to_fit() {
        if (capacity_ != size_) reallocate(size_);
    }
    void push_back(const T& value) {
        if (size_ == capacity_) reallocate(grown_capacity(capacity_, sizeof(T)));
        data_[size_++] = value;
    }

    // Elements from the start that can be written without the writer
    // stopping for the system to find memory: see make_writable().
    std::size_t writable() const noexcept { return writable_; }
    // Makes the first `count` elements (at most the capacity) writable, a
    // piece at a time with `checkpoint` between the pieces. In a virtual
    // machine whose host has not yet backed some memory, a first write can
    // stop for milliseconds per page; writers that must not stall between
    // checkpoints (the lanes, which cross into fresh memory together) make
    // writable what they are about to write.
    void make_writable(std::size_t count, const Checkpoint& checkpoint = {}) {
        constexpr std::size_t piece = piece_bytes / sizeof(T);
        // Whole pieces at a time, however little is asked for (a row of a
        // few kilobytes, say): one request to the system per piece.
        if (count > writable_) count = (count - 1) / piece * piece + piece;
        count = count < capacity_ ? count : capacity_;
        while (writable_ < count) {
            const std::size_t end = count - writable_ < piece ? count : writable_ + piece;
            try {
                prepare_block(data_, writable_ * sizeof(T), end * sizeof(T));
            } catch (const AllocationFailure&) {
                throw AllocationFailure(capacity_, sizeof(T));
            }
            writable_ = end;
            checkpoint();
        }
    }
    // One more piece writable, the capacity growing first when it is all
    // writable already (doubling while the buffer is small and growing
    // means copying it, by a quarter once it is large and grows where it
    // lies, so that little room goes unused), to at most `most` elements.
    // Returns writable().
    std::size_t extend(std::size_t most, const Checkpoint& checkpoint = {}) {
        if (writable_ == capacity_ && capacity_ < most) {
            const std::size_t grown = is_large_block(capacity_, sizeof(T))
                                          ? capacity_ + capacity_ / 4
                                          : grown_capacity(capacity_, sizeof(T));
            reallocate(grown < most ? grown : most);
        }
        make_writable(writable_ + piece_bytes / sizeof(T), checkpoint);
        return writable_;
    }

    void swap(Buffer& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        std::swap(writable_, other.writable_);
    }

private:
    void reallocate(std::size_t capacity) {
        data_ = static_cast<T*>(resize_block(data_, capacity_, capacity, sizeof(T)));
        capacity_ = capacity;
        if (size_ > capacity_) size_ = capacity_;
        // What was writable, or copied when the block moved, stays so; a
        // small block is writable as a whole.
        writable_ = is_large_block(capacity_, sizeof(T)) ? std::min(writable_, capacity_) : capacity_;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t writable_ = 0;
};

using DoubleBuffer = Buffer<double>;

// Work on many values goes in pieces of this many, with a checkpoint
// between two pieces: each is about a millisecond.
inline constexpr std::size_t values_per_piece = std::size_t{1} << 18;

// Runs `work(first, count)` over [0, total) in pieces of `piece`, calling
// `checkpoint` after each.
template <class Work>
void in_pieces(std::size_t total, const Checkpoint& checkpoint, Work&& work,
               std::size_t piece = values_per_piece) {
    for (std::size_t first = 0; first < total;) {
        const std::size_t count = total - first < piece ? total - first : piece;
        work(first, count);
        first += count;
        checkpoint();
    }
}

// Writes NaN into [from, to), in pieces.
void fill_nan(double* from, double* to, const Checkpoint& checkpoint = {});

}  // namespace torvelin
