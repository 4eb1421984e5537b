// Every operating-system call of the program, behind one small interface:
// files at an offset, flushing to the device, renames, directories, process
// and host identity. Failures return false or -1 with errno set, so callers
// word them with error_text(errno) on every system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvane::platform {

// Descriptors of open files; -1 is none. Opening for reading never waits:
// a FIFO with no writer or a device that blocks opens at once (check what
// was opened with status_of_open before reading it).
int open_for_reading(const std::string& path);
// Creates or empties path for reading and writing (libtiff may read back).
int create_for_writing(const std::string& path);
bool close_file(int fd);

// One read of up to count bytes at offset, retried when interrupted: the
// bytes read, 0 at the end of the file, -1 on failure.
std::int64_t read_at(int fd, void* into, std::size_t count, std::uint64_t offset);
// Writes all count bytes at offset; false on failure.
bool write_at(int fd, const void* from, std::size_t count, std::uint64_t offset);

// Waits until the file's data is on the device.
bool sync_data(int fd);
// Starts the device on the file's data without waiting, where the system
// can; a later sync_data then finds little left. Failures show in the sync.
void start_writeback(int fd);

// Moves from onto to, replacing what is there, in one step.
bool rename_file(const std::string& from, const std::string& to);
bool remove_file(const std::string& path);

struct file_status {
    bool exists = false;
    bool directory = false;
    bool regular = false;
    std::uint64_t size = 0;
};
// What is at path, following symbolic links.
file_status status_of(const std::string& path);
// What an open file is.
file_status status_of_open(int fd);

bool make_directory(const std::string& path);
// The names in a directory, without "." and ".."; empty when it cannot be read.
std::vector<std::string> directory_entries(const std::string& dir);

// This computer's name, "localhost" when it has none.
std::string host_name();
long process_id();
enum class process_state { alive, gone, unknown };
// Whether a process of this host with that identifier still runs.
process_state state_of_process(long pid);

// The memory of this computer in bytes, 0 when it cannot be told.
std::uint64_t physical_memory();

// Makes a write past a file-size limit fail with EFBIG instead of ending the
// process with a signal, so it is reported as any other write failure.
void report_file_size_limit_as_error();

// The system's text for an errno value.
std::string error_text(int error_number);

}  // namespace orvane::platform
