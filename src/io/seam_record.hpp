// What decides a seam-corrected mosaic's pixels beyond the layout, recorded in the output folder
// so that every run and task writing into it makes its slices alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace orvane {

// The seam corrections a run makes, as recorded. flat_field is "auto" (the
// estimate kept in the output folder), "file" (one given) or empty (none);
// flat_field_identity names the field's values (flat_field_identity()).
struct seam_record {
    std::string flat_field;
    std::string flat_field_identity;
    bool match_gain = false;
    std::int32_t register_px = 0;
    std::int32_t blend_px = 0;

    bool any() const
    {
        return !flat_field.empty() || match_gain || register_px > 0 || blend_px > 0;
    }
};

// The record as one JSON object (the same text for the same record), and
// the volume's copy of it.
std::string seam_record_text(const seam_record& record);

// The record's JSON file in an output folder.
std::string seam_record_path(const std::string& outputdir);

// Makes sure the folder's record is this run's, before any slice: with
// seam corrections, writes it where there is none (of several runs at once,
// one's bytes stay) and reads back what is there; without, there must be
// none. Throws the usage error naming the file and each difference, and,
// where there is no record yet, when the folder already holds slices
// (holds_slices) made without corrections.
void settle_seam_record(const std::string& outputdir, const seam_record& ours, bool holds_slices);

// Refuses a run with seam corrections `ours` on a folder that holds slices
// made without them, naming the folder's record path.
[[noreturn]] void refuse_plain_slices(const std::string& outputdir, const seam_record& ours);

// The record in the file at path; none when nothing is there. A file that
// holds no record is refused as settle_seam_record refuses it.
std::optional<seam_record> read_seam_record(const std::string& path);

// "--flat-field auto --register 8 ..." or "no seam correction".
std::string describe(const seam_record& record);

}  // namespace orvane
