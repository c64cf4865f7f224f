#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace nightdehaze::detail::nonlocal {

// Weights of the first sweep that the second sweep reads back instead of
// computing them again. For every tile and search offset it counts the weights
// other than 1; for the tiles that fit in the memory budget it also keeps
// their positions and values, in sweep order. Each tile is written by one
// thread; only the budget is shared. It knows nothing of images: a tile is an
// index, a position a 16-bit number, a weight a double.
class SweepLog {
public:
    SweepLog(size_t tiles, size_t offsetsPerTile, std::int64_t budgetBytes)
        : offsetsPerTile_(offsetsPerTile), budget_(budgetBytes), counts_(tiles * offsetsPerTile, 0),
          logs_(tiles) {}

    // The offsetsPerTile counts of a tile, zero at first, for the caller to fill.
    std::uint16_t* counts(int tile) { return counts_.data() + tile * offsetsPerTile_; }

    // Makes room for count more entries at the end of a tile's log; false
    // when the tile is not logged, its log not having fitted the budget (it
    // then stays unlogged, its memory returned, until it is released).
    bool reserve(int tile, int count);

    // Where the next entries of a reserved tile log go, and how many were written.
    std::uint16_t* nextPositions(int tile) { return logs_[tile].positions.data() + logs_[tile].size; }
    double* nextWeights(int tile) { return logs_[tile].weights.data() + logs_[tile].size; }
    void commit(int tile, int count) { logs_[tile].size += count; }

    // The first size entries of positions and weights are the log; the rest
    // is room for more.
    struct TileLog {
        std::vector<std::uint16_t> positions;
        std::vector<double> weights;
        size_t size = 0;
        bool complete = true;
    };
    const TileLog& log(int tile) const { return logs_[tile]; }

    // Empties the log of a tile once the second sweep has read it. Its memory
    // goes to the tiles logged next (still counted in the budget), which saves
    // them growing fresh buffers: the copies and the page faults.
    void release(int tile);

    // Bytes one entry takes from the budget: its position and its weight.
    static constexpr std::int64_t kEntryBytes = sizeof(std::uint16_t) + sizeof(double);

private:
    void reuseReleased(TileLog& log);
    void drop(TileLog& log);

    size_t offsetsPerTile_;
    std::int64_t budget_;
    std::atomic<std::int64_t> used_{0};
    std::vector<std::uint16_t> counts_;
    std::vector<TileLog> logs_;
    std::vector<TileLog> released_;
    std::mutex releasedMutex_;
};

}  // namespace nightdehaze::detail::nonlocal
