// The forms Windows needs of paths, checked on every system.
#include "platform/windows_forms.hpp"

#include "base/per_thread.hpp"
#include "platform/platform.hpp"
#include "tiff_io.hpp"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>
#endif

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

#ifdef _WIN32

namespace platform = orvane::platform;

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// A handle as a virus scanner or a viewer holds a file: reading, letting
// others only read.
HANDLE hold(const std::string& path)
{
    return ::CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         0, nullptr);
}

class WindowsCalls : public ::testing::Test {
protected:
    std::string dir = orvane_test::make_temp_dir();
};

// A scanner's moment on a new file made the rename fail at once, after the
// slice was made; one that holds it past the wait is named as the cause.
TEST_F(WindowsCalls, RenamesWaitForAProgramHoldingAFileAndThenSaySo)
{
    const std::string from = dir + "/a.tif.part", to = dir + "/a.tif";
    orvane_test::write_file(from, "new");
    const HANDLE scanner = hold(from);
    ASSERT_NE(scanner, INVALID_HANDLE_VALUE);
    std::thread release([scanner] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        ::CloseHandle(scanner);
    });
    const bool renamed = platform::rename_file(from, to);
    release.join();
    ASSERT_TRUE(renamed) << platform::error_text(errno);
    EXPECT_EQ(orvane_test::read_file(to), "new");

    // A viewer shows the old file all the time: the new one cannot replace it.
    orvane_test::write_file(from, "newer");
    const HANDLE viewer = hold(to);
    ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(platform::rename_file(from, to));
    const std::string why = platform::error_text(errno);
    ::CloseHandle(viewer);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(9));
    EXPECT_EQ(
        why.rfind("the file it would replace is in use by another program, still after 10 s", 0),
        0u)
        << why;
    EXPECT_NE(why.find("(Windows error "), std::string::npos) << why;
    EXPECT_EQ(orvane_test::read_file(to), "new");
}

// Errors were mapped to a few errno values: a dropped share read "Input/output
// error", a sharing violation "Permission denied".
TEST_F(WindowsCalls, FailuresKeepWindowsOwnWordsAndCode)
{
    EXPECT_LT(platform::open_for_reading(dir + "/absent.tif"), 0);
    const int missing = errno;
    EXPECT_TRUE(platform::is_missing(missing));
    const std::string words = platform::error_text(missing);
    EXPECT_NE(words.find(" (Windows error 2)"), std::string::npos) << words;
    EXPECT_GT(words.size(), std::string(" (Windows error 2)").size()) << words;

    EXPECT_FALSE(platform::make_directory(dir + "/a|b"));
    EXPECT_EQ(platform::error_text(errno), "a name in the path has the character '|', which "
                                           "Windows does not allow in names");
    EXPECT_FALSE(platform::is_missing(errno));
}

// Of processes finishing a volume together, each took Windows' codes for a
// claim file that is there and a lock another handle holds for a file system
// without locks, and all made the same blocks at once: one removed the
// staged planes the others were still reading.
TEST_F(WindowsCalls, AFileThatIsThereAndALockHeldElsewhereGiveTheErrnoCallersWaitOn)
{
    const std::string name = dir + "/claim";
    const int first = platform::create_new(name);
    ASSERT_GE(first, 0) << platform::error_text(errno);
    EXPECT_LT(platform::create_new(name), 0);
    EXPECT_EQ(errno, EEXIST) << platform::error_text(errno);
    ASSERT_TRUE(platform::try_lock(first)) << platform::error_text(errno);
    const int second = platform::open_for_locking(name);
    ASSERT_GE(second, 0) << platform::error_text(errno);
    EXPECT_FALSE(platform::try_lock(second));
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK || errno == EACCES)
        << platform::error_text(errno);
    platform::close_file(first);
    EXPECT_TRUE(platform::try_lock(second)) << platform::error_text(errno);
    platform::close_file(second);
}

// Deep output folders failed part-way; Wine does not enforce the limit, but
// the extended form must reach its calls intact, UNC roots included.
TEST_F(WindowsCalls, PathsPastTheShortLimitWork)
{
    std::string deep = dir;
    while (deep.size() < 400) {
        deep += "/" + std::string(60, 'n');
        ASSERT_TRUE(platform::make_directory(deep)) << platform::error_text(errno);
    }
    const std::string file = deep + "//x.tif";
    const int fd = platform::create_for_writing(file);
    ASSERT_GE(fd, 0) << platform::error_text(errno);
    ASSERT_TRUE(platform::write_at(fd, "abc", 3, 0));
    ASSERT_TRUE(platform::close_file(fd));
    EXPECT_EQ(platform::status_of(file).size, 3u);
    EXPECT_EQ(platform::directory_entries(deep), std::vector<std::string>{"x.tif"});
    EXPECT_TRUE(platform::rename_file(file, deep + "/y.tif"));
    EXPECT_TRUE(platform::remove_file(deep + "/y.tif"));
    EXPECT_EQ(platform::root_length("\\\\?\\UNC\\server\\share\\run"),
              std::string("\\\\?\\UNC\\server\\share\\").size());
}

// A link to a tile was read as an empty file: the status described the link.
TEST_F(WindowsCalls, StatusFollowsSymbolicLinks)
{
    orvane_test::write_file(dir + "/tile.tif", "twelve bytes");
    const std::string link = dir + "/link.tif";
    // Wine's CreateSymbolicLinkW says it made the link and makes nothing.
    if (!::CreateSymbolicLinkW(wide(link).c_str(), wide(dir + "/tile.tif").c_str(),
                               SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) ||
        ::GetFileAttributesW(wide(link).c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "this system makes no symbolic link here";
    const platform::file_status status = platform::status_of(link);
    EXPECT_TRUE(status.regular);
    EXPECT_EQ(status.size, 12u);
}

// An overnight run was suspended when the power plan sent the machine to
// sleep; the display may still turn off.
TEST_F(WindowsCalls, TheSystemIsKeptAwakeButNotTheDisplay)
{
    platform::keep_awake();
    const EXECUTION_STATE before = ::SetThreadExecutionState(ES_CONTINUOUS);
    EXPECT_EQ(before, ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
}

// A worker's buffers are freed once, whole, as its thread ends: with the
// compiler's own thread_local their memory could be freed first, and the
// TIFF writer's OpenMP workers crashed in their destructors.
struct worker_buffers {
    static inline std::atomic<int> whole{0}, torn{0};
    std::uint64_t mark = 0x0123456789abcdefu;
    std::vector<std::uint64_t> data = std::vector<std::uint64_t>(4096, mark);
    ~worker_buffers()
    {
        const bool intact = mark == 0x0123456789abcdefu && data.size() == 4096 &&
                            data.front() == mark && data.back() == mark;
        ++(intact ? whole : torn);
    }
};

TEST_F(WindowsCalls, EachThreadsBuffersAreFreedWholeWhenItEnds)
{
    struct buffers_tag;
    worker_buffers::whole = 0;
    worker_buffers::torn = 0;
    for (int round = 0; round < 64; ++round)
        std::thread([] { orvane::per_thread<buffers_tag, worker_buffers>().data[1] = 1; }).join();
    EXPECT_EQ(worker_buffers::torn, 0);
    EXPECT_EQ(worker_buffers::whole, 64);
}

#endif

}  // namespace
