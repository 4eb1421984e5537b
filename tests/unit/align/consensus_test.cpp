// Votes across slices, and the fit across pairs and its rounding.
#include "align/consensus.hpp"

#include <gtest/gtest.h>

using namespace orvane::align;

namespace {

alignment slice(int overlap, int shift, double score)
{
    alignment a;
    a.overlap = overlap;
    a.shift = shift;
    a.score = score;
    a.found = score > 0;
    return a;
}

pair_estimate pair(int overlap, int shift, int agreeing = 8)
{
    pair_estimate e;
    e.found = true;
    e.overlap = overlap;
    e.shift = shift;
    e.score = 0.95;
    e.agreeing = e.usable = e.examined = agreeing;
    return e;
}

// A slice without structure at the seam scores low and must not vote; among
// the rest the majority wins, and a tie goes to the higher total score.
TEST(CombineSlices, MajorityOfWellScoredSlicesWins)
{
    const pair_estimate e =
        combine_slices({slice(200, 20, 0.99), slice(37, -5, 0.8), slice(200, 20, 0.97),
                        slice(90, 3, 0.25), slice(0, 0, 0.0)});
    EXPECT_TRUE(e.found);
    EXPECT_EQ(e.overlap, 200);
    EXPECT_EQ(e.shift, 20);
    EXPECT_EQ(e.agreeing, 2);
    EXPECT_EQ(e.usable, 3);
    EXPECT_EQ(e.examined, 5);
    EXPECT_DOUBLE_EQ(e.score, 0.99);  // median of the two agreeing

    const pair_estimate tie = combine_slices({slice(30, 1, 0.6), slice(44, 2, 0.9)});
    EXPECT_EQ(tie.overlap, 44);

    const pair_estimate none = combine_slices({slice(10, 0, 0.2), slice(0, 0, 0.0)});
    EXPECT_FALSE(none.found);
    EXPECT_DOUBLE_EQ(none.score, 0.2);
}

// A slice that scores alike at two far places must not vote for either;
// where such slices make the rest no majority, the pair has no estimate.
TEST(CombineSlices, AmbiguousSlicesNeverVote)
{
    alignment alias = slice(40, 7, 0.99);
    alias.ambiguous = true;
    alias.rival_overlap = 40;
    alias.rival_shift = -41;
    alias.rival_score = 0.99;
    const pair_estimate refused = combine_slices({alias, alias, slice(40, 7, 0.99)});
    EXPECT_FALSE(refused.found);
    EXPECT_TRUE(refused.only_ambiguous);
    EXPECT_EQ(refused.ambiguous, 2);
    EXPECT_EQ(refused.ambiguity.rival_shift, -41);

    const pair_estimate kept =
        combine_slices({alias, slice(80, 7, 0.98), slice(80, 7, 0.97), slice(80, 7, 0.99)});
    EXPECT_TRUE(kept.found);
    EXPECT_EQ(kept.overlap, 80);
    EXPECT_EQ(kept.agreeing, 3);
    EXPECT_EQ(kept.ambiguous, 1);
}

TEST(FitGeometry, OddOverlapRoundsDownAndIsSaid)
{
    const geometry_fit fit = fit_geometry({pair(201, -7), pair(201, -7), pair(201, -7)});
    ASSERT_TRUE(fit.found);
    EXPECT_EQ(fit.overlap, 201);
    EXPECT_TRUE(fit.odd);
    EXPECT_EQ(fit.xoverlap, 100);
    EXPECT_EQ(fit.yoffset, -7);

    const geometry_fit even = fit_geometry({pair(200, 20), pair(200, 20)});
    EXPECT_FALSE(even.odd);
    EXPECT_EQ(even.xoverlap, 100);
}

// Least squares over the pairs that agree; ties of the mean shift go
// towards 0 in both directions, of the mean overlap down.
TEST(FitGeometry, MeansRoundedWithStatedTies)
{
    EXPECT_EQ(fit_geometry({pair(200, 20), pair(201, 21)}).yoffset, 20);
    EXPECT_EQ(fit_geometry({pair(200, -20), pair(201, -21)}).yoffset, -20);
    EXPECT_EQ(fit_geometry({pair(200, -20), pair(201, -21)}).overlap, 200);
    const geometry_fit close = fit_geometry({pair(200, 20), pair(202, 20), pair(202, 22)});
    EXPECT_TRUE(close.left_out.empty());
    EXPECT_EQ(close.overlap, 201);  // 201.33
    EXPECT_EQ(close.yoffset, 21);   // 20.67
}

// A pair that went wrong must not move the fit, even two of five, and of
// two pairs that disagree the one more slices back wins; pairs without an
// estimate take no part.
TEST(FitGeometry, PairsThatWentWrongAreLeftOut)
{
    pair_estimate missing;
    const geometry_fit fit = fit_geometry(
        {pair(200, 20), pair(4, 2), pair(200, 20), missing, pair(80, -77), pair(200, 20)});
    EXPECT_EQ(fit.xoverlap, 100);
    EXPECT_EQ(fit.yoffset, 20);
    EXPECT_EQ(fit.left_out, (std::vector<int>{1, 4}));
    EXPECT_EQ(fit.used, (std::vector<int>{0, 2, 5}));
    EXPECT_EQ(fit.overlap_spread, 196);

    const geometry_fit two = fit_geometry({pair(60, 9, 2), pair(230, -29, 6)});
    EXPECT_EQ(two.xoverlap, 115);
    EXPECT_EQ(two.yoffset, -29);
    EXPECT_EQ(two.left_out, (std::vector<int>{0}));

    EXPECT_FALSE(fit_geometry({missing, missing}).found);
}

}  // namespace
