// Committing a file under its final name: written under a temporary one, synced, renamed into
// place when complete; and making the directories it goes into.
#pragma once

#include "io/unsynced_file.hpp"

#include <cstddef>
#include <string>

namespace orvane {

// A file being written beside its final name. The final name marks a slice
// done on the next run, so it must never name a half-written file: the data
// goes to temp_path(), which the caller writes and hands back open with
// hold(); commit() syncs it and renames it into place. A file never
// committed is removed with its temporary.
//
// The temporary's name is random and made by this object alone (created
// only where nothing was), so no other run, in any process namespace or on
// any machine sharing the directory, writes into it. The object holds a
// lock on it from creation to commit: a temporary nobody holds is a killed
// run's leftover, which remove_stale_temporaries() may remove.
class output_file {
public:
    // Creates the temporary and takes its lock; throws a write error naming
    // the temporary ("cannot create: ...") on failure.
    explicit output_file(std::string final_path);
    ~output_file();
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;

    const std::string& temp_path() const { return temp_path_; }
    const std::string& final_path() const { return final_path_; }

    // Keeps the written temporary's open file until it is synced.
    void hold(unsynced_file written);
    // Keeps the file's pages cached once synced, for data read back soon;
    // others are let go, so that a run's writes reuse the same memory.
    void keep_cached() { keep_cached_ = true; }
    // Starts the device on the written data without waiting for it.
    void start_sync();
    // Waits until the written data is on the device and closes it; throws a
    // write error naming the temporary on failure.
    void sync();
    // Syncs what is not yet synced, then renames the temporary onto the final
    // name; throws a write error naming the final path on failure.
    void commit();
    // Commits only where nothing is at the final name yet: false, the
    // temporary left to the destructor, when anything is, so that of
    // several runs creating one file exactly one puts its bytes there.
    bool commit_new();

private:
    std::string final_path_;
    std::string temp_path_;
    int lock_fd_ = -1;  // the temporary, locked while this object lives
    unsynced_file written_;
    bool committed_ = false;
    bool keep_cached_ = false;
};

// Writes size bytes from data as the whole file at path, under a temporary
// synced and renamed onto it, so the name shows the whole file or nothing,
// after a power loss too. Throws a write error on failure.
void commit_file(const std::string& path, const void* data, std::size_t size);

// Writes size bytes from data as the whole of the file's temporary and
// starts the device on them without waiting; commit() then syncs and renames.
// Files written so, one after another, and committed after the last is
// written, reach the device together instead of each waiting its turn: one
// sync per file after the next one's write would make the system's copies
// of every following write several times slower. Throws a write error.
void write_and_start(output_file& file, const void* data, std::size_t size);

// The same where nothing is at path yet: of several runs creating the file
// at once, one run's bytes are put there, the others' temporaries removed.
void commit_new_file(const std::string& path, const void* data, std::size_t size);

// Creates the directory path, whose parent must be there already; one that
// is there, or appears while we try to create it (another worker made it),
// counts as made. False, with errno set, when it cannot be made.
bool make_dir(const std::string& path);

// Creates every missing directory along a path whose levels end at a
// separator (a slash; on Windows a backslash too), each as make_dir does.
// False at the first level that cannot be made, with errno set and, when
// failed_level is given, that level in it.
bool make_dirs(const std::string& path, std::string* failed_level = nullptr);

// Throws the write error of a directory level that could not be made.
[[noreturn]] void refuse_directory(const std::string& level, const std::string& reason);

// Whether name (without its directory) has the form of a temporary:
// <final name>.<16 hexadecimal digits>.part.
bool is_temporary_name(const std::string& name);

// Removes the temporaries in dir that no live run holds (a killed run's):
// those whose lock it can take itself. Returns how many were removed.
int remove_stale_temporaries(const std::string& dir);

}  // namespace orvane
