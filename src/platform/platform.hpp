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
// Opens a file to read from start to end, waiting where it must: a pipe
// (a list given as -i <(...)) opens once its writer is there.
int open_sequential(const std::string& path);
// Creates or empties path for reading and writing (libtiff may read back).
int create_for_writing(const std::string& path);
bool close_file(int fd);

// One read of up to count bytes at offset, retried when interrupted: the
// bytes read, 0 at the end of the file, -1 on failure.
std::int64_t read_at(int fd, void* into, std::size_t count, std::uint64_t offset);
// The next bytes of a file opened with open_sequential, up to count, retried
// when interrupted: the bytes read, 0 at the end, -1 on failure.
std::int64_t read_next(int fd, void* into, std::size_t count);
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

// Whether c divides the components of a path: the slash everywhere, and the
// backslash too on Windows, where it cannot be part of a name.
bool is_separator(char c);
// How many leading characters of path name a root that exists without being
// made: 0 on POSIX systems (where "/" is tested like any level); on Windows a
// drive (C: and its separator), a share (two separators, server, share and a
// separator) or a device prefix.
std::size_t root_length(const std::string& path);
// The names in a directory, without "." and ".."; empty when it cannot be read.
std::vector<std::string> directory_entries(const std::string& dir);

// The command line as UTF-8 texts, argv[0] first: the arguments as given on
// POSIX systems; rebuilt from the wide command line on Windows, so that
// names in any script reach the program unchanged.
std::vector<std::string> utf8_arguments(int argc, const char* const* argv);

// Makes the console show the program's UTF-8 lines as they are, where the
// system has a console code page.
void prepare_console();

// This computer's name, "localhost" when it has none.
std::string host_name();
long process_id();
enum class process_state { alive, gone, unknown };
// Whether a process of this host with that identifier still runs.
process_state state_of_process(long pid);

// The memory of this computer in bytes, 0 when it cannot be told.
std::uint64_t physical_memory();

// Whether standard error is a terminal someone watches (a console on
// Windows), not a file, a pipe or the null device.
bool error_stream_is_terminal();

// Makes a write past a file-size limit fail with EFBIG instead of ending the
// process with a signal, so it is reported as any other write failure.
void report_file_size_limit_as_error();

// The system's text for an errno value.
std::string error_text(int error_number);

}  // namespace orvane::platform
