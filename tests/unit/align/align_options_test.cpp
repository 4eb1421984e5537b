// orvane-align's command line and the slices it looks at.
#include "align/align_options.hpp"

#include "base/error.hpp"

#include <gtest/gtest.h>

using namespace orvane::align;

namespace {

TEST(SpreadSlices, EightSpreadThroughTheStackOrAll)
{
    EXPECT_EQ(spread_slices(64), (std::vector<std::int32_t>{4, 12, 20, 28, 36, 44, 52, 60}));
    EXPECT_EQ(spread_slices(3), (std::vector<std::int32_t>{0, 1, 2}));
    EXPECT_EQ(spread_slices(9).size(), 8u);
    EXPECT_EQ(spread_slices(9).back(), 8);
}

struct parsed {
    bool ok;
    align_options options;
    std::string error;
};

parsed parse(std::vector<const char*> args)
{
    args.insert(args.begin(), "orvane-align");
    parsed p;
    try {
        p.options = parse_align_options(static_cast<int>(args.size()), args.data());
        p.ok = true;
    } catch (const orvane::error& e) {
        p.ok = false;
        p.error = e.cause();
    }
    return p;
}

TEST(AlignOptions, SliceListsAndMisuse)
{
    const parsed k = parse({"-i", "l.txt", "-k", "3", "10,20", "3", "-s", "5"});
    ASSERT_TRUE(k.ok) << k.error;
    EXPECT_EQ(k.options.slices, (std::vector<std::int32_t>{3, 10, 20}));
    EXPECT_EQ(k.options.splitnumber, 5);

    EXPECT_FALSE(parse({"-s", "4"}).ok);                                   // no -i
    EXPECT_FALSE(parse({"-i", "l", "-s", "0"}).ok);                        // no column
    EXPECT_FALSE(parse({"-i", "l", "-s", "4x"}).ok);                       // not a number
    EXPECT_FALSE(parse({"-i", "l", "-k"}).ok);                             // no slice
    EXPECT_FALSE(parse({"-i", "l", "-x", "3", "--preview", "p.png"}).ok);  // -x alone
    EXPECT_FALSE(parse({"-i", "l", "-x", "3", "-y", "2"}).ok);             // no preview
    EXPECT_FALSE(parse({"-i", "l", "-j", "2"}).ok);                        // unknown
    EXPECT_TRUE(parse({"-i", "l", "-x", "3", "-y", "-2", "--preview", "p.png"}).ok);
}

}  // namespace
