// Storage for paths whose length is known only once they end.
//
// A path grows by taking another fixed-size chunk, so no point is moved
// while the line is traced; chunks come back to the pool when the path's
// points have been copied out, and are reused while still in cache.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include "checked.hpp"

namespace torvelin {

class ChunkPool {
public:
    // Points per chunk, as x, y pairs; each chunk has room for one point
    // more, where a line that closes puts its seed once again.
    static constexpr std::size_t chunk_points = 1024;

    double* take() {
        if (free_.empty()) {
            owned_.push_back(std::make_unique_for_overwrite<double[]>(2 * (chunk_points + 1)));
            return owned_.back().get();
        }
        double* chunk = free_.back();
        free_.pop_back();
        return chunk;
    }
    void give_back(std::vector<double*>& chunks) {
        free_.insert(free_.end(), chunks.begin(), chunks.end());
        chunks.clear();
    }

private:
    std::vector<std::unique_ptr<double[]>> owned_;
    std::vector<double*> free_;
};

// A path in chunks: every chunk but the last holds chunk_points points.
class ChunkedPath {
public:
    static constexpr std::size_t chunk_points = ChunkPool::chunk_points;

    // Takes the first chunk; returns where its points go.
    double* start(ChunkPool& pool) {
        chunks_.push_back(pool.take());
        return chunks_.back();
    }
    // Takes another chunk once the last one is full.
    double* grow(ChunkPool& pool) {
        chunks_.push_back(pool.take());
        return chunks_.back();
    }
    // The path ended with its last point before `out`, in the last chunk.
    void finish(const double* out) noexcept {
        size_ = chunk_points * (chunks_.empty() ? 0 : chunks_.size() - 1) +
                static_cast<std::size_t>(out - chunks_.back()) / 2;
    }
    void clear(ChunkPool& pool) {
        pool.give_back(chunks_);
        size_ = 0;
    }

    std::size_t size() const noexcept { return size_; }

    // Calls visit(first, xy, count) for the runs of points [from, size()),
    // in order: `count` points from index `first` on, as x, y pairs at `xy`.
    template <class Visit>
    void for_each_run(std::size_t from, Visit&& visit) const {
        while (from < size_) {
            // The last chunk may hold one point more, the closing seed.
            const std::size_t chunk = std::min(from / chunk_points, chunks_.size() - 1);
            const std::size_t offset = from - chunk * chunk_points;
            const std::size_t end = chunk + 1 == chunks_.size() ? size_ : (chunk + 1) * chunk_points;
            visit(from, chunks_[chunk] + 2 * offset, end - from);
            from = end;
        }
    }

private:
    std::vector<double*> chunks_;
    std::size_t size_ = 0;
};

}  // namespace torvelin
