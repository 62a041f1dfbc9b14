#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "augmentation/dba.hpp"
#include "fault.hpp"

namespace {

using Series = std::vector<double>;
using SeriesList = std::vector<std::vector<double>>;

SeriesList copies(std::size_t count, Series w) { return SeriesList(count, w); }

// The signal check (Ctrl-C from Python) runs on the calling thread: once at
// the start, before each chunk of eight copies in every iteration, and once
// at the end.
TEST(DbaSignals, CheckedAtStartBeforeEachChunkAndAtTheEnd) {
    const Series ref = {1, 2, 3};
    const SeriesList nbs = {{2, 3}, {1, 1, 1, 1}};
    struct Case { std::size_t copies; std::uint64_t iters; int calls; };
    for (const Case& c : std::vector<Case>{{1, 1, 3}, {8, 2, 4}, {9, 1, 4}, {17, 3, 11}}) {
        int calls = 0;
        bool other_thread = false;
        const auto caller = std::this_thread::get_id();
        qm::dba_barycenter_core(ref, nbs, copies(c.copies, {1, 1, 1}), c.iters, std::nullopt, [&] {
            ++calls;
            other_thread |= std::this_thread::get_id() != caller;
        });
        EXPECT_EQ(calls, c.calls) << c.copies << " copies, " << c.iters << " iterations";
        EXPECT_FALSE(other_thread);
    }
}

struct Interrupt {};

TEST(DbaSignals, AThrowingCheckStopsTheCall) {
    // Calls: start, then iteration 0 chunks 0 and 1; the third one throws.
    int calls = 0;
    EXPECT_THROW(qm::dba_barycenter_core(Series{1, 2, 3}, {{2, 3}}, copies(17, {1, 1}), 3, std::nullopt,
                                     [&] {
                                         if (++calls == 3) throw Interrupt{};
                                     }),
                 Interrupt);
    EXPECT_EQ(calls, 3);
}

TEST(DbaSignals, CheckedOnceBeforeAlignmentsFail) {
    int calls = 0;
    EXPECT_THROW(qm::dba_barycenter_core(Series{1e200}, {{-1e200}}, {{1, 1}}, 1, std::nullopt, [&] { ++calls; }),
                 qm::ValueError);
    EXPECT_EQ(calls, 1);
}

}  // namespace
