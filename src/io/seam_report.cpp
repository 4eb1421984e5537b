// The seam report's files: one per slice, committed before the slice's TIFF, and the whole report
// rebuilt from them at the end of every run or task.
#include "io/seam_report.hpp"

#include "base/error.hpp"
#include "io/json_text.hpp"
#include "io/output_file.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <cerrno>
#include <iomanip>
#include <locale>
#include <map>
#include <sstream>

namespace orvane {

namespace {

std::string rows_dir(const std::string& outputdir) { return outputdir + "/seams/"; }

constexpr const char* rows_prefix = "slice_";
constexpr const char* rows_suffix = ".csv";

std::string rows_name(std::int32_t slice)
{
    std::ostringstream name;
    name << rows_prefix << std::setw(4) << std::setfill('0') << slice << rows_suffix;
    return name.str();
}

// The slice a per-slice file's name gives; -1 for anything else.
std::int64_t slice_of(const std::string& name)
{
    const std::size_t prefix = std::char_traits<char>::length(rows_prefix);
    const std::size_t suffix = std::char_traits<char>::length(rows_suffix);
    if (name.size() <= prefix + suffix || name.compare(0, prefix, rows_prefix) != 0 ||
        name.compare(name.size() - suffix, suffix, rows_suffix) != 0)
        return -1;
    const std::string digits = name.substr(prefix, name.size() - prefix - suffix);
    if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stoll(digits);
}

std::vector<seam_row> parse_rows(const std::string& text)
{
    std::vector<seam_row> rows;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::replace(line.begin(), line.end(), ',', ' ');
        std::istringstream fields(line);
        fields.imbue(std::locale::classic());
        seam_row row;
        int reliable = 0;
        if (fields >> row.slice >> row.seam.left_column >> row.seam.dx >> row.seam.dy >>
            row.seam.score >> reliable >> row.seam.gain_left >> row.seam.gain_right) {
            row.seam.reliable = reliable != 0;
            rows.push_back(row);
        }
    }
    return rows;
}

// The done slices' files, by slice.
std::map<std::int64_t, std::string> done_files(const std::string& outputdir,
                                               const std::function<bool(std::int32_t)>& kept)
{
    std::map<std::int64_t, std::string> files;
    for (const std::string& name : platform::directory_entries(rows_dir(outputdir))) {
        const std::int64_t slice = slice_of(name);
        if (slice >= 0 && kept(static_cast<std::int32_t>(slice)))
            files[slice] = rows_dir(outputdir) + name;
    }
    return files;
}

}  // namespace

const char* const seam_rows_header =
    "slice,left_column,dx,dy,score,reliable,gain_left,gain_right\n";

std::string seam_rows_text(std::int32_t slice, const std::vector<seam_measure>& seams)
{
    std::ostringstream text;
    text.imbue(std::locale::classic());
    for (const seam_measure& m : seams)
        text << slice << ',' << m.left_column << ',' << m.dx << ',' << m.dy << ',' << std::fixed
             << std::setprecision(4) << m.score << ',' << (m.reliable ? 1 : 0) << ','
             << std::setprecision(6) << m.gain_left << ',' << m.gain_right << '\n';
    return text.str();
}

void commit_seam_rows(const std::string& outputdir, std::int32_t slice,
                      const std::vector<seam_measure>& seams)
{
    std::string unmade;
    if (!make_dirs(rows_dir(outputdir), &unmade))
        refuse_directory(unmade, platform::error_text(errno));
    const std::string text = seam_rows_text(slice, seams);
    commit_file(rows_dir(outputdir) + rows_name(slice), text.data(), text.size());
}

bool seam_rows_exist(const std::string& outputdir, std::int32_t slice)
{
    return platform::status_of(rows_dir(outputdir) + rows_name(slice)).exists;
}

void rebuild_seam_report(const std::string& outputdir,
                         const std::function<bool(std::int32_t)>& kept, bool registered)
{
    remove_stale_temporaries(rows_dir(outputdir));
    std::map<std::int64_t, std::string> files = done_files(outputdir, kept);
    // Tasks end at most a few at a time; a bound keeps a folder whose
    // slices change without end from holding a run here.
    for (int round = 0; round < 100; ++round) {
        std::string csv = seam_rows_header;
        std::vector<seam_row> rows;
        for (const auto& [slice, path] : files) {
            const std::string text = read_text(path);
            csv += text;
            for (const seam_row& row : parse_rows(text))
                rows.push_back(row);
        }
        commit_file(outputdir + "/seams.csv", csv.data(), csv.size());
        const std::string picture = seam_picture(rows, registered);
        commit_file(outputdir + "/seams.svg", picture.data(), picture.size());
        std::map<std::int64_t, std::string> now = done_files(outputdir, kept);
        if (now == files)
            return;
        files = std::move(now);
    }
}

}  // namespace orvane
