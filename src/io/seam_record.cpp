// The seam record as JSON: written once per output folder, read back and compared by every run.
#include "io/seam_record.hpp"

#include "base/error.hpp"
#include "io/json_text.hpp"
#include "io/output_file.hpp"
#include "platform/platform.hpp"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <vector>

namespace orvane {

using json = nlohmann::json;

namespace {

json record_json(const seam_record& r)
{
    return {{"flat_field", r.flat_field.empty() ? json() : json(r.flat_field)},
            {"flat_field_identity",
             r.flat_field_identity.empty() ? json() : json(r.flat_field_identity)},
            {"match_gain", r.match_gain},
            {"register_px", r.register_px},
            {"blend_px", r.blend_px}};
}

// The record in the file at path; a file that holds none is refused.
seam_record read_record(const std::string& path)
{
    const json value = json::parse(read_text(path), nullptr, false);
    const auto text = [&](const char* key) {
        return value.contains(key) && value[key].is_string() ? value[key].get<std::string>()
                                                             : std::string();
    };
    const auto number = [&](const char* key) {
        return value.contains(key) && value[key].is_number_integer()
                   ? value[key].get<std::int32_t>()
                   : -1;
    };
    if (value.is_discarded() || !value.is_object() || !value.contains("match_gain") ||
        !value["match_gain"].is_boolean() || number("register_px") < 0 || number("blend_px") < 0)
        throw error(
            failure_kind::usage, "",
            "'" + path +
                "': it holds no record of seam corrections this program can read; move it away "
                "or use another output folder");
    seam_record r;
    r.flat_field = text("flat_field");
    r.flat_field_identity = text("flat_field_identity");
    r.match_gain = value["match_gain"].get<bool>();
    r.register_px = number("register_px");
    r.blend_px = number("blend_px");
    return r;
}

std::string flat_words(const seam_record& r)
{
    if (r.flat_field.empty())
        return "no --flat-field";
    return "--flat-field " + r.flat_field +
           (r.flat_field_identity.empty() ? "" : " (field " + r.flat_field_identity + ")");
}

// Each way the folder's record and this run's differ, in option words.
std::string differences(const seam_record& there, const seam_record& ours)
{
    std::vector<std::string> found;
    if (there.flat_field != ours.flat_field ||
        there.flat_field_identity != ours.flat_field_identity)
        found.push_back(flat_words(there) + " there, " + flat_words(ours) + " in this run");
    if (there.match_gain != ours.match_gain)
        found.push_back(std::string(there.match_gain ? "--match-gain" : "no --match-gain") +
                        " there, " + (ours.match_gain ? "--match-gain" : "none") + " in this run");
    if (there.register_px != ours.register_px)
        found.push_back("--register " + std::to_string(there.register_px) + " there, " +
                        std::to_string(ours.register_px) + " in this run");
    if (there.blend_px != ours.blend_px)
        found.push_back("--blend " + std::to_string(there.blend_px) + " there, " +
                        std::to_string(ours.blend_px) + " in this run");
    std::string text;
    for (const std::string& f : found)
        text += (text.empty() ? "" : "; ") + f;
    return text;
}

[[noreturn]] void refuse(const std::string& path, const std::string& why)
{
    // The usage kind's report is its cause alone: the file is named in it.
    throw error(failure_kind::usage, "",
                "'" + path + "': " + why +
                    "; give the options the folder's slices were made with, or use another "
                    "output folder");
}

}  // namespace

std::optional<seam_record> read_seam_record(const std::string& path)
{
    if (!platform::status_of(path).exists)
        return std::nullopt;
    return read_record(path);
}

std::string seam_record_text(const seam_record& record)
{
    return record_json(record).dump(4) + "\n";
}

std::string seam_record_path(const std::string& outputdir) { return outputdir + "/seams.json"; }

std::string describe(const seam_record& r)
{
    if (!r.any())
        return "no seam correction";
    std::string text;
    if (!r.flat_field.empty())
        text += flat_words(r) + " ";
    if (r.match_gain)
        text += "--match-gain ";
    if (r.register_px > 0)
        text += "--register " + std::to_string(r.register_px) + " ";
    if (r.blend_px > 0)
        text += "--blend " + std::to_string(r.blend_px) + " ";
    text.pop_back();
    return text;
}

void refuse_plain_slices(const std::string& outputdir, const seam_record& ours)
{
    refuse(seam_record_path(outputdir),
           "there is no record of seam corrections, but '" + outputdir +
               "' already holds slices made without them, and this run makes " + describe(ours));
}

void settle_seam_record(const std::string& outputdir, const seam_record& ours, bool holds_slices)
{
    const std::string path = seam_record_path(outputdir);
    const bool there = platform::status_of(path).exists;
    if (!ours.any()) {
        if (there)
            refuse(path, "the slices here were made with " + describe(read_record(path)) +
                             ", and this run makes none");
        return;
    }
    if (!there) {
        if (holds_slices)
            refuse_plain_slices(outputdir, ours);
        const std::string text = seam_record_text(ours);
        commit_new_file(path, text.data(), text.size());
    }
    const seam_record found = read_record(path);
    const std::string difference = differences(found, ours);
    if (!difference.empty())
        refuse(path, "the slices here were made with other seam corrections: " + difference);
}

}  // namespace orvane
