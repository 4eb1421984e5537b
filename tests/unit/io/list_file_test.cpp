// The list file.
#include "io/list_file.hpp"

#include "base/error.hpp"
#include "tiff_io.hpp"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

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

// The list error read_list throws for path, or "" when it throws none.
std::string list_error(const std::string& path)
{
    try {
        read_list(path);
    } catch (const orvane::error& e) {
        EXPECT_EQ(e.kind(), orvane::failure_kind::list);
        return e.cause();
    }
    return {};
}

// UTF-16 of text (ASCII and the characters below) with its byte-order mark.
std::string utf16(const std::u16string& text, bool big_endian)
{
    std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char16_t unit : text) {
        const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
        bytes += big_endian ? std::string{high, low} : std::string{low, high};
    }
    return bytes;
}

// PowerShell 5.1 writes UTF-16 (dir -Name > list.txt): read as bytes, its
// names were full of NULs. The bytes of U+011A and U+010A are Ctrl-Z and LF.
TEST_F(ListFile, Utf16ListsOfEitherByteOrderGiveTheirNames)
{
    const std::vector<std::string> names{"Gewebe_\u00b5m.tif", "\u8a66\u6599_\u011a\u010a.tif",
                                         "\U0001F52C.tif"};
    const std::u16string text = u"Gewebe_\u00b5m.tif\r\n\u8a66\u6599_\u011a\u010a.tif\r\n\r\n"
                                u"\U0001F52C.tif\r\n";
    EXPECT_EQ(read_list(write(utf16(text, false))), names);
    EXPECT_EQ(read_list(write(utf16(text, true))), names);
    EXPECT_EQ(read_list(write(utf16(u"a.tif\n\x1a\nb.tif", false))),
              (std::vector<std::string>{"a.tif"}));
    EXPECT_EQ(
        list_error(write(utf16(std::u16string(u"a.tif\r\n") + char16_t{0xD800} + u"x.tif", false))),
        "line 2 is not valid UTF-16 (a lone surrogate); the list must be UTF-8 or UTF-16 "
        "(with its byte-order mark)");
    EXPECT_NE(list_error(write(utf16(u"a.tif", true) + "x")), "");
}

// A list in the ANSI code page turned µ into U+FFFD on Windows and the tile
// was "No such file or directory", far from the cause.
TEST_F(ListFile, NamesThatAreNotUtf8AreReportedWithTheirLine)
{
    EXPECT_EQ(list_error(write("a.tif\n\nGewebe_\xB5m.tif\n")),
              "the name on line 3 is not valid UTF-8 (byte 0xB5 at byte 8); the list must be "
              "UTF-8 or UTF-16 (with its byte-order mark)");
    EXPECT_NE(list_error(write("\xC0\xAF.tif\n")), "");          // an overlong "/"
    EXPECT_NE(list_error(write("\xED\xA0\x80.tif\n")), "");      // a surrogate
    EXPECT_NE(list_error(write("\xF4\x90\x80\x80.tif\n")), "");  // past U+10FFFF
    EXPECT_NE(list_error(write("\xE8\xA9.tif\n")), "");          // cut short
    EXPECT_EQ(read_list(write("\xEF\xBB\xBF\xF0\x9F\x94\xAC.tif\n\xE8\xA9\xA6.tif")),
              (std::vector<std::string>{"\U0001F52C.tif", "\u8a66.tif"}));
}

// A list locked by another program, or on a failing device, printed
// "no list.txt!" and the run ended with status 0, as if all were done.
TEST_F(ListFile, AListThatExistsButCannotBeReadIsAnError)
{
    EXPECT_EQ(list_error(dir + "/absent/list.txt"), "");
#ifdef _WIN32
    const std::string locked = write("a.tif\n");
    std::wstring name(locked.begin(), locked.end());
    const HANDLE holder = ::CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    const std::string cause = list_error(locked);
    ::CloseHandle(holder);
    EXPECT_EQ(cause.rfind("cannot open it: ", 0), 0u) << cause;
    EXPECT_NE(cause.find("(Windows error 32)"), std::string::npos) << cause;
#else
    // Opens, but reading its first page fails.
    EXPECT_EQ(list_error("/proc/self/mem"), "cannot read it: Input/output error");
#endif
}

}  // namespace
