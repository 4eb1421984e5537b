// The forms Windows needs of paths, checked on every system.
#include "platform/windows_forms.hpp"

#include <gtest/gtest.h>

namespace {

using orvane::platform::path_problem;
using orvane::platform::path_problem_text;
using orvane::platform::windows_form;

// A process in C:\work with D:\data current on drive D and nothing on E.
std::string current(char drive)
{
    if (drive == '\0' || drive == 'C' || drive == 'c')
        return "C:\\work";
    if (drive == 'D')
        return "D:\\data";
    return std::string(1, drive) + ":\\";
}

std::string form(const std::string& path) { return windows_form(path, current).path; }

path_problem problem(const std::string& path) { return windows_form(path, current).problem; }

// The program appends "/stack1//" to -o: after \\?\ those would be literal
// characters, and the server and share of \\?\UNC\ are no folder to make.
TEST(WindowsForm, EveryFormBecomesOneAbsoluteBackslashedPath)
{
    EXPECT_EQ(form("D:\\data\\run1/stack1//zstackds_1_0000.tif"),
              "D:\\data\\run1\\stack1\\zstackds_1_0000.tif");
    EXPECT_EQ(form("\\\\?\\D:\\data\\run1/stack1//x.tif"), "\\\\?\\D:\\data\\run1\\stack1\\x.tif");
    EXPECT_EQ(form("\\\\?\\UNC\\server\\share\\run/stack1//x.tif"),
              "\\\\?\\UNC\\server\\share\\run\\stack1\\x.tif");
    EXPECT_EQ(form("\\\\server\\share\\run/stack1/"), "\\\\server\\share\\run\\stack1");
    EXPECT_EQ(form("//server/share"), "\\\\server\\share\\");
    EXPECT_EQ(form("out/a//b/./c/../d"), "C:\\work\\out\\a\\b\\d");
    EXPECT_EQ(form("..\\..\\..\\x"), "C:\\x");  // ".." stops at the root
    EXPECT_EQ(form("\\x/y"), "C:\\x\\y");       // the root of the current drive
    EXPECT_EQ(windows_form("\\x", [](char) { return std::string("\\\\srv\\sh\\dir"); }).path,
              "\\\\srv\\sh\\x");
    // Device and volume paths keep their form but for the separators.
    EXPECT_EQ(form("\\\\.\\pipe\\list"), "\\\\.\\pipe\\list");
    EXPECT_EQ(form("\\\\?\\Volume{1234}/run//x"), "\\\\?\\Volume{1234}\\run\\x");
}

// D: and D:foo are relative to the current directory of drive D, not to
// its root nor to the process's own.
TEST(WindowsForm, DriveRelativePathsUseThatDrivesCurrentDirectory)
{
    EXPECT_EQ(form("D:"), "D:\\data");
    EXPECT_EQ(form("D:run1/stack1//x.tif"), "D:\\data\\run1\\stack1\\x.tif");
    EXPECT_EQ(form("D:..\\other"), "D:\\other");
    EXPECT_EQ(form("E:run"), "E:\\run");
    EXPECT_EQ(form("D:\\"), "D:\\");
    EXPECT_EQ(form("\\\\?\\D:"), "\\\\?\\D:\\");
}

// The short form ends at 260 characters (248 for a directory): a deep
// output folder failed part-way. Windows counts UTF-16 units, not bytes.
TEST(WindowsForm, LongPathsTakeTheExtendedPrefixAndTooLongOnesAreRefused)
{
    const std::string short_enough = "D:\\" + std::string(244, 'a');  // 247 characters
    EXPECT_EQ(form(short_enough), short_enough);
    EXPECT_EQ(form(short_enough + "b"), "\\\\?\\" + short_enough + "b");
    const std::string deep = "\\\\server\\share\\" + std::string(250, 'n') + "/x.tif";
    EXPECT_EQ(form(deep), "\\\\?\\UNC\\server\\share\\" + std::string(250, 'n') + "\\x.tif");
    std::string micro;  // 240 characters, 480 bytes
    for (int i = 0; i < 240; ++i)
        micro += "\u00b5";
    EXPECT_EQ(form("D:\\" + micro), "D:\\" + micro);

    std::string nested = "D:";
    while (nested.size() < 33000)
        nested += "\\" + std::string(200, 'n');
    const auto refused = windows_form(nested, current);
    EXPECT_EQ(refused.problem, path_problem::too_long);
    EXPECT_EQ(refused.path, "");
    EXPECT_EQ(path_problem_text(refused.problem, refused.detail),
              "the path is " + std::to_string(nested.size() + 4) +
                  " characters long in Windows' form; Windows takes at most 32766");
    std::string wide_names = "D:";  // 2 + 2700 * 11 units, in 83 702 bytes
    for (int i = 0; i < 2700; ++i)
        wide_names += "\\\u8a66\u8a66\u8a66\u8a66\u8a66\u8a66\u8a66\u8a66\u8a66\u8a66";
    EXPECT_EQ(problem(wide_names), path_problem::none);
}

// A trailing blank or dot makes a folder Explorer can neither open nor
// delete; a reserved character or device name can never be a file's name.
TEST(WindowsForm, NamesWindowsCannotHoldAreRefusedSayingWhy)
{
    EXPECT_EQ(problem("D:\\data\\run1 "), path_problem::trailing_blank);
    EXPECT_EQ(problem("D:\\data\\run1./stack1//x.tif"), path_problem::trailing_dot);
    EXPECT_EQ(problem("\\\\?\\D:\\run1 \\x"), path_problem::trailing_blank);
    EXPECT_EQ(problem("D:run1."), path_problem::trailing_dot);
    EXPECT_EQ(problem("./a/../b"), path_problem::none);
    const auto bar = windows_form("D:\\a|b\\x.tif", current);
    EXPECT_EQ(bar.problem, path_problem::forbidden_character);
    EXPECT_EQ(path_problem_text(bar.problem, bar.detail),
              "a name in the path has the character '|', which Windows does not allow in names");
    EXPECT_EQ(problem("run:1"), path_problem::forbidden_character);
    EXPECT_EQ(problem("a*.tif"), path_problem::forbidden_character);
    const auto control = windows_form("tile\x01.tif", current);
    EXPECT_EQ(path_problem_text(control.problem, control.detail),
              "a name in the path has the control character U+0001, which Windows does not "
              "allow in names");
    const auto device = windows_form("D:\\out\\nul.tif", current);
    EXPECT_EQ(path_problem_text(device.problem, device.detail),
              "a name in the path is NUL, which Windows keeps for a device");
    EXPECT_EQ(problem("COM1 .txt"), path_problem::device_name);
    EXPECT_EQ(problem("CONSOLE.tif"), path_problem::none);
    EXPECT_EQ(problem("NULL"), path_problem::none);
}

// A click into a console with Quick Edit on stops every program writing to it.
TEST(WindowsForm, QuickEditIsTakenOutOfTheConsoleModeAndNothingElse)
{
    EXPECT_EQ(orvane::platform::without_quick_edit(0x01F7), 0x01B7u);
    EXPECT_EQ(orvane::platform::without_quick_edit(0x0007), 0x0087u);
}

}  // namespace
