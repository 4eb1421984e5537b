// Every operating-system call of the program, behind one small interface:
// files at an offset, flushing to the device, renames, directories, locks
// and random bits. Failures return false or -1 with errno set, so callers
// word them with error_text(errno) on every system. On Windows errno then
// holds Windows' own error code, or why a path cannot be given to Windows,
// which error_text words in Windows' own words with the code; every path is
// turned there into the form Windows calls take at any length, while the
// program prints the paths as it made them.
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

// Creates path for reading and writing where nothing is there yet: -1 with
// EEXIST when anything is, so two writers never share a file.
int create_new(const std::string& path);
// Opens an existing plain file for reading and writing without following a
// link or waiting, so that it can be locked: -1 when it cannot be.
int open_for_locking(const std::string& path);
// Takes the lock that marks a file as held by a live run, without waiting:
// false with EAGAIN, EWOULDBLOCK or EACCES when another open file holds it,
// with another errno when the file system has no such locks. It lasts
// until fd is closed or its process ends, however it ends; locks taken
// through other descriptors of the same process conflict too.
bool try_lock(int fd);
// Whether path names the file open as fd (not a file put there since).
bool names_open_file(const std::string& path, int fd);
// Fills count bytes with random ones from the system; false when it has none.
bool random_bytes(void* into, std::size_t count);

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
// Lets the system drop the file's cached pages, once synced: a run writes far
// more than it reads back, and memory taken afresh for every file written
// costs the system more than the same pages used again.
void drop_cached(int fd);

// Moves from onto to, replacing what is there, in one step. On Windows a
// file another program holds open (a virus scanner or indexer looking at a
// new file, a viewer showing the old one) is waited for, with growing
// pauses, for about rename_patience_seconds before the rename or removal
// fails, saying that the file is in use.
bool rename_file(const std::string& from, const std::string& to);
bool remove_file(const std::string& path);
// Moves from onto to only where nothing is at to, in one step: false with
// EEXIST when anything is, so that of several writers exactly one puts its
// file there. A file system that can do neither a second name nor such a
// rename gets a test before the rename, which two writers may both pass.
bool rename_new(const std::string& from, const std::string& to);
constexpr int rename_patience_seconds = 10;

struct file_status {
    bool exists = false;
    bool directory = false;
    bool regular = false;
    std::uint64_t size = 0;
};
// What is at path, following symbolic links (on Windows too).
file_status status_of(const std::string& path);
// What an open file is.
file_status status_of_open(int fd);

// Which file a path names, following symbolic links: its device and its
// number there (volume serial and file index on Windows), so that two
// spellings or links of one file compare equal. exists is false when
// nothing can be found at the path.
struct file_identity {
    bool exists = false;
    std::uint64_t device = 0;
    std::uint64_t file = 0;
};
file_identity identity_of(const std::string& path);
inline bool same_file(const file_identity& a, const file_identity& b)
{
    return a.exists && b.exists && a.device == b.device && a.file == b.file;
}

bool make_directory(const std::string& path);
// Removes an empty directory.
bool remove_directory(const std::string& path);

// Whether c divides the components of a path: the slash everywhere, and the
// backslash too on Windows, where it cannot be part of a name.
bool is_separator(char c);
// How many leading characters of path name a root that exists without being
// made: 0 on POSIX systems (where "/" is tested like any level); on Windows a
// drive (C: and its separator), a share (two separators, server, share and a
// separator) or a device prefix.
std::size_t root_length(const std::string& path);
// The directory a run's outputs go under for -o dir: dir itself, but on
// Windows a drive alone (D:) becomes D:. so that the "/stack1" put after it
// stays in the drive's current directory, as cmd takes D:.
std::string output_base(const std::string& dir);
// The names in a directory, without "." and ".."; empty when it cannot be read.
std::vector<std::string> directory_entries(const std::string& dir);

// The command line as UTF-8 texts, argv[0] first: the arguments as given on
// POSIX systems; rebuilt from the wide command line on Windows, so that
// names in any script reach the program unchanged.
std::vector<std::string> utf8_arguments(int argc, const char* const* argv);

// Makes the console show the program's UTF-8 lines as they are, where the
// system has a console code page, and switches its Quick Edit off, where it
// has one (a click into the window would stop every worker at its next line
// until a key is pressed); both come back when the program ends, by Ctrl+C
// too.
void prepare_console();
// Keeps the computer from going to sleep while the program runs (not its
// display), where the system sends an idle one to sleep.
void keep_awake();

// The memory of this computer in bytes, 0 when it cannot be told.
std::uint64_t physical_memory();

// The limits the system puts on this process's memory, in bytes, each 0
// where none is set: its address space and its data (ulimit -v and -d) on
// POSIX systems; on Windows what the job object it runs in allows it, and
// all the job's processes together.
struct memory_limits {
    std::uint64_t address_space = 0;
    std::uint64_t data = 0;
    std::uint64_t job_process = 0;
    std::uint64_t job_total = 0;
};
memory_limits process_memory_limits();

// What this process has mapped now, in bytes, as the limits above count it:
// its whole address space and its private writable part; 0 where it cannot
// be told.
struct mapped_memory {
    std::uint64_t address_space = 0;
    std::uint64_t data = 0;
};
mapped_memory process_mapped_memory();

// What a thread started from now on takes of the address space before it
// holds anything: its stack with its guard, and the memory allocator's arena
// the thread may be given, of which the process has at most max_arenas;
// zeros where the system reserves nothing that an address-space limit counts.
struct thread_reservation {
    std::uint64_t stack = 0;
    std::uint64_t arena = 0;
    int max_arenas = 0;
};
thread_reservation thread_reservations();

#ifdef _WIN32
// A slot in which every thread keeps a value of its own (an object that
// lives as long as the thread); release is called with a thread's value,
// when it is not null, as that thread ends. false with errno set when no
// slot or no room for a value is left. Only Windows needs them (see
// base/per_thread.hpp).
using thread_slot = unsigned;
bool make_thread_slot(void (*release)(void*), thread_slot& slot);
bool set_thread_slot(thread_slot slot, void* value);
#endif

// The value of an environment variable, empty when it is not set.
std::string environment_value(const char* name);

// Whether standard error is a terminal someone watches (a console on
// Windows), not a file, a pipe or the null device.
bool error_stream_is_terminal();

// Makes a write past a file-size limit fail with EFBIG instead of ending the
// process with a signal, so it is reported as any other write failure.
void report_file_size_limit_as_error();

// Whether a failure means that nothing is at the path.
bool is_missing(int error_number);

// The system's text for an errno value.
std::string error_text(int error_number);

}  // namespace orvane::platform
