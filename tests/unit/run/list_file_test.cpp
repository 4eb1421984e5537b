// The list file.
#include "run/list_file.hpp"

#include "tiff_io.hpp"

#include <gtest/gtest.h>

using orvane::read_list;

namespace {

class ListFile : public ::testing::Test {
protected:
    std::string dir = orvane_test::make_temp_dir();
    int count = 0;

    std::string write(const std::string& text)
    {
        const std::string path = dir + "/list" + std::to_string(count++) + ".txt";
        orvane_test::write_file(path, text);
        return path;
    }
};

// A CR left on a name makes every tile load fail far from the cause.
TEST_F(ListFile, CrLfEndingsGiveTheSameNamesAsLf)
{
    const auto lf = read_list(write("a.tif\nb.tif\n"));
    EXPECT_EQ(lf, (std::vector<std::string>{"a.tif", "b.tif"}));
    EXPECT_EQ(read_list(write("a.tif\r\nb.tif\r\n")), lf);
    EXPECT_EQ(read_list(write("a.tif\n\n\nb.tif")), lf);  // no final LF
    EXPECT_EQ(read_list(write("\r\n\na.tif\r\n\r\nb.tif\r\n\r\n")), lf);
    // The bound on a line is one on names: the longest one allowed may end
    // in CR LF as well as in LF.
    const std::string longest(std::size_t{1} << 16, 'n');
    EXPECT_EQ(read_list(write(longest + "\r\n" + longest + "\n")),
              (std::vector<std::string>{longest, longest}));
    EXPECT_THROW(read_list(write(longest + "n\r\n")), std::exception);
    EXPECT_THROW(read_list(write(longest + "\rn\n")), std::exception);
}

TEST_F(ListFile, NamesAreTakenExactlyAsWritten)
{
    EXPECT_EQ(read_list(write("  a b.tif\t\n   \nx\ry\n")),
              (std::vector<std::string>{"  a b.tif\t", "   ", "x\ry"}));
    // A CR with no LF after it at the end of the file is part of the name.
    EXPECT_EQ(read_list(write("a.tif\r")), (std::vector<std::string>{"a.tif\r"}));
}

TEST_F(ListFile, CtrlZEndsTheText)
{
    EXPECT_EQ(read_list(write("a.tif\nb.tif\x1a\nc.tif\n")),
              (std::vector<std::string>{"a.tif", "b.tif"}));
}

TEST_F(ListFile, MissingOrBlankFileGivesNoNames)
{
    EXPECT_TRUE(read_list(dir + "/absent.txt").empty());
    EXPECT_TRUE(read_list(write("\n\r\n\n")).empty());
    EXPECT_TRUE(read_list(dir).empty());  // a directory is no list
}

}  // namespace
