// Committing a file under its final name: written under a temporary one, renamed into place when
// complete.
#pragma once

#include <string>

namespace orvane {

// A file being written beside its final name. The final name marks a slice
// done on the next run, so it must never name a half-written file: the data
// goes to temp_path() and commit() renames it into place. A pending file that
// is never committed is removed.
class pending_file {
public:
    explicit pending_file(std::string final_path);
    ~pending_file();
    pending_file(const pending_file&) = delete;
    pending_file& operator=(const pending_file&) = delete;

    const std::string& temp_path() const { return temp_path_; }
    const std::string& final_path() const { return final_path_; }

    // Renames the temporary onto the final name; throws a write error
    // naming the final path on failure.
    void commit();

private:
    std::string final_path_;
    std::string temp_path_;
    bool committed_ = false;
};

// The temporary name for final_path used by this process:
// final_path + "." + host + "." + pid + ".part". Unique per host and process,
// so two runs over the same slice never write into the same file.
std::string temp_name_for(const std::string& final_path);

// Removes the temporaries in dir that were left by processes of this host that
// no longer exist (a killed run). Returns how many were removed.
int remove_stale_temporaries(const std::string& dir);

}  // namespace orvane
