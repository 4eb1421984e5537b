// The process on Windows: its arguments, console, memory, environment and
// random bits, and the sleep of the computer it runs on.
#include "platform/platform.hpp"

#include "platform/windows_common.hpp"
#include "platform/windows_forms.hpp"

#include <ntsecapi.h>

#include <shellapi.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <type_traits>

#include <pthread.h>

namespace orvane::platform {

using namespace windows_detail;

bool random_bytes(void* into, std::size_t count)
{
    auto* bytes = static_cast<unsigned char*>(into);
    while (count > 0) {
        const auto chunk = static_cast<ULONG>(std::min<std::size_t>(count, 1u << 20));
        if (!RtlGenRandom(bytes, chunk)) {
            errno = EIO;
            return false;
        }
        bytes += chunk;
        count -= chunk;
    }
    return true;
}

std::vector<std::string> utf8_arguments(int argc, const char* const* argv)
{
    int count = 0;
    LPWSTR* wide_arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (!wide_arguments || count != argc) {
        if (wide_arguments)
            ::LocalFree(wide_arguments);
        return std::vector<std::string>(argv, argv + argc);
    }
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i)
        arguments.push_back(narrow(wide_arguments[i]));
    ::LocalFree(wide_arguments);
    return arguments;
}

namespace {

// The console's own code page and input mode, given back when the program
// ends: the console outlives it.
UINT console_code_page = 0;
DWORD console_input_mode = 0;
bool input_mode_changed = false;

void restore_console()
{
    if (console_code_page != 0 && console_code_page != CP_UTF8)
        ::SetConsoleOutputCP(console_code_page);
    if (input_mode_changed)
        ::SetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), console_input_mode);
}

// Ctrl+C, Ctrl+Break or the window closed end the process without the
// handlers of std::atexit: the console is given back here, then the
// system's own handler ends the program as it would have.
BOOL WINAPI on_console_event(DWORD event)
{
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT)
        restore_console();
    return FALSE;
}

}  // namespace

void prepare_console()
{
    // The lines are UTF-8; a console shows them as such only on that code
    // page.
    console_code_page = ::GetConsoleOutputCP();
    const bool page_changed =
        console_code_page != 0 && console_code_page != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8);
    // With Quick Edit on, a click into the window selects text and stops
    // every write to the console, and so every worker, until a key is hit.
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    if (::GetConsoleMode(input, &console_input_mode)) {
        const DWORD mode = without_quick_edit(console_input_mode);
        input_mode_changed = mode != console_input_mode && ::SetConsoleMode(input, mode);
    }
    if (page_changed || input_mode_changed) {
        std::atexit(restore_console);
        ::SetConsoleCtrlHandler(on_console_event, TRUE);
    }
}

void keep_awake()
{
    // Until the program ends: the system, not the display (a run is left
    // alone overnight, its window need not stay lit).
    ::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
}

std::uint64_t physical_memory()
{
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return ::GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}

memory_limits process_memory_limits()
{
    // The job this process runs in, if any; the limits of a job it is nested
    // in are those of that job's own job and not seen here.
    memory_limits limits;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION job{};
    if (!::QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &job, sizeof job,
                                     nullptr))
        return limits;
    if (job.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_PROCESS_MEMORY)
        limits.job_process = job.ProcessMemoryLimit;
    if (job.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_JOB_MEMORY)
        limits.job_total = job.JobMemoryLimit;
    return limits;
}

// Windows has no limit on the address space: a job object counts committed
// memory, which a thread's reserved stack does not take.
mapped_memory process_mapped_memory() { return {}; }

thread_reservation thread_reservations() { return {}; }

// Slots of the POSIX threads OpenMP's workers run on: their values are kept
// apart from the compiler's emulated thread storage, and released as each
// such thread ends.
static_assert(std::is_same_v<pthread_key_t, thread_slot>);

bool make_thread_slot(void (*release)(void*), thread_slot& slot)
{
    const int failure = ::pthread_key_create(&slot, release);
    errno = failure;
    return failure == 0;
}

bool set_thread_slot(thread_slot slot, void* value)
{
    const int failure = ::pthread_setspecific(slot, value);
    errno = failure;
    return failure == 0;
}

std::string environment_value(const char* name)
{
    const std::wstring wide_name = wide(name);
    const DWORD size = ::GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
    if (size == 0)
        return {};
    std::wstring value(size, L'\0');
    if (::GetEnvironmentVariableW(wide_name.c_str(), value.data(), size) != size - 1)
        return {};
    return narrow(value.c_str());
}

bool error_stream_is_terminal()
{
    // Only a console has a mode; _isatty would take the null device for one too.
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void report_file_size_limit_as_error() {}

}  // namespace orvane::platform
