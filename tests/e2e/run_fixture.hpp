// Shared fixture of the end-to-end tests: a scratch acquisition and the real binary.
#pragma once

#include "compat/library_conventions.hpp"
#include "process.hpp"
#include "run/slice_plan.hpp"
#include "tiff_io.hpp"
#include "under_test.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <sys/stat.h>

namespace orvane_e2e {

using orvane_test::process_result;

inline std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        result.push_back(line);
    return result;
}

inline std::vector<std::string> sorted(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

inline bool exists(const std::string& path)
{
    struct stat s {};
    return ::stat(path.c_str(), &s) == 0;
}

// Every file under root, by path relative to root, with its bytes.
inline std::map<std::string, std::string> snapshot(const std::string& root)
{
    namespace fs = std::filesystem;
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), root)] = orvane_test::read_file(entry.path());
    return files;
}

class Run : public ::testing::Test {
protected:
    std::string dir = orvane_test::make_temp_dir();
    std::string out = dir + "/out";
    std::string list = dir + "/list.txt";
    std::vector<std::string> names;

    // columns x slices tiles of width x height; the pixel of tile column j,
    // slice k at (x, y) is 1000 * j + 100 * k + x + y.
    void make_acquisition(int columns, int slices, std::uint32_t width = 24,
                          std::uint32_t height = 16)
    {
        names.clear();
        std::ofstream file(list);
        for (int j = 0; j < columns; ++j) {
            for (int k = 0; k < slices; ++k) {
                const std::string name =
                    dir + "/t" + std::to_string(j) + "_" + std::to_string(k) + ".tif";
                orvane_test::write_tile(name, width, height, [=](std::uint32_t x, std::uint32_t y) {
                    return static_cast<std::uint16_t>(1000 * j + 100 * k + x + y);
                });
                file << name << "\n";
                names.push_back(name);
            }
        }
    }

    process_result run(std::vector<std::string> args, std::vector<std::string> env = {})
    {
        // Two workers unless the test asks for others; a second entry of one
        // name would be read first on one system and last on another.
        if (std::none_of(env.begin(), env.end(), [](const std::string& entry) {
                return entry.rfind("OMP_NUM_THREADS=", 0) == 0;
            }))
            env.push_back("OMP_NUM_THREADS=2");
        return orvane_test::run_process(ORVANE_EXE, args, env);
    }

    std::string full(int k) const { return output(1, k); }

    // The path the program prints for slice k's file reduced by factor, by its own naming.
    std::string output(int factor, int k) const
    {
        return orvane::output_path(orvane::output_dir(out, factor), orvane::output_name(factor, k));
    }

    // The lines after the echo and the six summary lines.
    static std::vector<std::string> slice_lines(const std::string& text)
    {
        std::vector<std::string> all = lines(text);
        all.erase(all.begin(), all.begin() + std::min<std::size_t>(7, all.size()));
        return all;
    }
};

}  // namespace orvane_e2e
