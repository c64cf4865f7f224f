#include "core/filters/sweep_log.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

using nightdehaze::detail::nonlocal::SweepLog;

namespace {

constexpr std::int64_t kEntry = SweepLog::kEntryBytes;

// Reserves count entries of a tile and fills them with values derived from
// (tile, first); false when the tile is not logged.
bool append(SweepLog& log, int tile, int count, int first) {
    if (!log.reserve(tile, count)) return false;
    for (int k = 0; k < count; ++k) {
        log.nextPositions(tile)[k] = static_cast<std::uint16_t>(tile * 1000 + first + k);
        log.nextWeights(tile)[k] = 0.5 * tile + first + k;
    }
    log.commit(tile, count);
    return true;
}

void expectEntries(const SweepLog& log, int tile, int count) {
    const SweepLog::TileLog& t = log.log(tile);
    ASSERT_TRUE(t.complete);
    ASSERT_EQ(t.size, static_cast<size_t>(count));
    for (int k = 0; k < count; ++k) {
        EXPECT_EQ(t.positions[k], tile * 1000 + k) << "tile " << tile << " entry " << k;
        EXPECT_EQ(t.weights[k], 0.5 * tile + k) << "tile " << tile << " entry " << k;
    }
}

}  // namespace

TEST(SweepLog, KeepsEntriesInOrderWithinTheBudgetAndDropsWhatDoesNotFit) {
    SweepLog log(3, 4, 10 * kEntry);
    log.counts(1)[0] = 7;
    EXPECT_EQ(log.counts(0)[3], 0);
    EXPECT_EQ(log.counts(2)[0], 0);

    ASSERT_TRUE(append(log, 0, 5, 0));
    ASSERT_TRUE(append(log, 0, 3, 5));  // grows to 10 entries: the whole budget
    expectEntries(log, 0, 8);
    EXPECT_FALSE(append(log, 1, 1, 0));
    EXPECT_FALSE(log.log(1).complete);
    EXPECT_FALSE(log.reserve(1, 0)) << "a dropped tile stays unlogged until released";
    expectEntries(log, 0, 8);

    // Growing tile 0 past the budget drops it and returns its memory.
    EXPECT_FALSE(append(log, 0, 3, 8));
    EXPECT_FALSE(log.log(0).complete);
    EXPECT_TRUE(append(log, 2, 10, 0));
    expectEntries(log, 2, 10);
}

TEST(SweepLog, ReleasedMemoryServesTheNextTileAndStaysInTheBudget) {
    SweepLog log(3, 1, 10 * kEntry);
    ASSERT_TRUE(append(log, 0, 10, 0));
    log.release(0);
    EXPECT_TRUE(log.log(0).complete);
    EXPECT_EQ(log.log(0).size, 0u);
    EXPECT_TRUE(append(log, 1, 10, 0)) << "the released buffer is reused";
    EXPECT_FALSE(append(log, 2, 1, 0)) << "the reused buffer still counts in the budget";
    log.release(1);
    log.release(2);
    EXPECT_TRUE(append(log, 2, 10, 0));
    expectEntries(log, 2, 10);
}

TEST(SweepLog, ThreadsOnTheirOwnTilesNeverExceedTheBudgetTogether) {
    constexpr int kTiles = 64, kThreads = 4, kRounds = 20;
    const std::int64_t budget = 300 * kEntry;
    SweepLog log(kTiles, 1, budget);
    std::vector<int> logged(kTiles, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int tile = t; tile < kTiles; tile += kThreads)
                for (int round = 0; round < kRounds; ++round) {
                    const int count = 1 + (tile * 7 + round * 3) % 5;
                    if (!append(log, tile, count, logged[tile])) break;
                    logged[tile] += count;
                }
        });
    for (std::thread& thread : threads) thread.join();
    std::int64_t held = 0;
    int complete = 0;
    for (int tile = 0; tile < kTiles; ++tile) {
        held += static_cast<std::int64_t>(log.log(tile).weights.size()) * kEntry;
        if (!log.log(tile).complete) continue;
        ++complete;
        expectEntries(log, tile, logged[tile]);
    }
    EXPECT_LE(held, budget);
    EXPECT_GT(complete, 0);
    EXPECT_LT(complete, kTiles) << "the budget was meant to be too small for every tile";
}
