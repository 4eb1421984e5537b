// The buffered client I/O under libtiff: reads and writes in any order match a plain file, failures
// stick.
#include "io/buffered_file.hpp"
#include "platform/platform.hpp"

#include "tiff_io.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <random>
#include <vector>

namespace {

std::vector<std::uint8_t> file_bytes(const std::string& path)
{
    const std::string text = orvane_test::read_file(path);
    return {text.begin(), text.end()};
}

class BufferedFile : public ::testing::Test {
protected:
    std::string dir = orvane_test::make_temp_dir();
    void TearDown() override { std::filesystem::remove_all(dir); }
};

// Random seeks, reads and writes of every size around the buffer's, some
// overwriting bytes still buffered, checked against the same operations on
// a vector; the file must end up as the vector, and every read must see
// the bytes written before it.
TEST_F(BufferedFile, MixedReadsWritesAndSeeksMatchAPlainFile)
{
    constexpr std::size_t capacity = 64;
    std::mt19937 random(5);
    for (int round = 0; round < 20; ++round) {
        const std::string path = dir + "/mixed" + std::to_string(round);
        const int fd = orvane::platform::create_for_writing(path);
        ASSERT_GE(fd, 0);
        std::vector<std::uint8_t> model;
        {
            orvane::buffered_file file(fd, 0, capacity);
            std::uint64_t position = 0;
            for (int op = 0; op < 400; ++op) {
                const std::size_t count =
                    std::uniform_int_distribution<std::size_t>(0, 3 * capacity)(random);
                switch (random() % 4) {
                case 0: {  // seek somewhere in or a little past the file
                    const auto to =
                        std::uniform_int_distribution<std::uint64_t>(0, model.size() + 8)(random);
                    ASSERT_EQ(file.seek(static_cast<std::int64_t>(to), SEEK_SET), to);
                    position = to;
                    break;
                }
                case 1: {  // read, possibly past the end
                    std::vector<std::uint8_t> got(count);
                    const std::int64_t n = file.read(got.data(), count);
                    const std::size_t expected =
                        position >= model.size()
                            ? 0
                            : std::min<std::size_t>(count, model.size() - position);
                    ASSERT_EQ(n, static_cast<std::int64_t>(expected))
                        << "round " << round << " op " << op;
                    for (std::size_t i = 0; i < expected; ++i)
                        ASSERT_EQ(got[i], model[position + i]) << "byte " << position + i;
                    position += expected;
                    break;
                }
                default: {  // write: twice as often, mostly appending
                    std::vector<std::uint8_t> data(count);
                    for (auto& b : data)
                        b = static_cast<std::uint8_t>(random());
                    ASSERT_EQ(file.write(data.data(), count), static_cast<std::int64_t>(count));
                    if (model.size() < position + count)
                        model.resize(position + count, 0);
                    std::copy(data.begin(), data.end(),
                              model.begin() + static_cast<std::ptrdiff_t>(position));
                    position += count;
                    break;
                }
                }
                ASSERT_EQ(file.size(), model.size());
                ASSERT_EQ(file.seek(0, SEEK_CUR), position);
            }
            ASSERT_TRUE(file.flush());
        }
        EXPECT_EQ(file_bytes(path), model) << "round " << round;
    }
}

// Once buffered bytes could not be written, nothing may report success:
// not the flush, not a later write, not a read.
TEST_F(BufferedFile, AFailedWriteFailsEveryLaterCall)
{
    const std::string path = dir + "/readonly";
    orvane_test::write_file(path, "0123456789");
    const int fd = orvane::platform::open_for_reading(path);
    ASSERT_GE(fd, 0);
    orvane::buffered_file file(fd, 10, 64);
    const char bytes[] = "abc";
    file.seek(0, SEEK_END);
    EXPECT_EQ(file.write(bytes, 3), 3);  // buffered: the failure comes later
    errno = 0;
    EXPECT_FALSE(file.flush());
    const int first = errno;  // EBADF on POSIX systems, EACCES on Windows
    EXPECT_NE(first, 0);
    char into[4];
    errno = 0;
    EXPECT_EQ(file.write(bytes, 3), -1);
    EXPECT_EQ(errno, first);
    file.seek(0, SEEK_SET);
    errno = 0;
    EXPECT_EQ(file.read(into, 4), -1);
    EXPECT_EQ(errno, first);
    EXPECT_FALSE(file.flush());
    EXPECT_EQ(orvane_test::read_file(path), "0123456789");
}

// Reads much larger than the buffer go straight to the caller; a file cut
// short gives a short read, not stale bytes.
TEST_F(BufferedFile, LongAndShortReadsOfAnExistingFile)
{
    std::string content(100000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7 + i / 251);
    const std::string path = dir + "/data";
    orvane_test::write_file(path, content);
    const int fd = orvane::platform::open_for_reading(path);
    ASSERT_GE(fd, 0);
    orvane::buffered_file file(fd, content.size(), 4096);
    std::string got(60000, '\0');
    file.seek(10, SEEK_SET);
    ASSERT_EQ(file.read(got.data(), 100), 100);
    ASSERT_EQ(file.read(got.data() + 100, 59900), 59900);
    EXPECT_EQ(got, content.substr(10, 60000));
    // Cut the file while it is open: what is left is read, then nothing.
    std::filesystem::resize_file(path, 70000);
    file.seek(69000, SEEK_SET);
    EXPECT_EQ(file.read(got.data(), 5000), 1000);
    EXPECT_EQ(got.substr(0, 1000), content.substr(69000, 1000));
}

}  // namespace
