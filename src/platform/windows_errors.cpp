// Windows' errors: carried in errno by the other Windows sources, told apart
// where the callers ask, and worded in Windows' own words with the code.
#include "platform/platform.hpp"

#include "platform/windows_common.hpp"
#include "platform/windows_forms.hpp"

#include <cctype>
#include <cerrno>
#include <system_error>

namespace orvane::platform {

using namespace windows_detail;

int windows_detail::errno_of_last_error()
{
    const DWORD code = ::GetLastError();
    // Creating a file that is there gives ERROR_FILE_EXISTS, a directory
    // ERROR_ALREADY_EXISTS: both are what callers wait for as EEXIST.
    return code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS
               ? EEXIST
               : errno_of(windows_error_base, code);
}

bool is_missing(int error_number)
{
    if ((error_number & ~code_mask) != windows_error_base)
        return error_number == ENOENT;
    const DWORD code = static_cast<DWORD>(error_number & code_mask);
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
           code == ERROR_INVALID_DRIVE;
}

namespace {

// Windows' own words for a code, without the final stop and line end, and
// the code: "The system cannot find the file specified (Windows error 2)".
std::string windows_words(DWORD code)
{
    wchar_t* words = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPWSTR>(&words), 0, nullptr);
    std::string text = length > 0 ? narrow(words) : std::string();
    if (words)
        ::LocalFree(words);
    while (!text.empty() &&
           (std::isspace(static_cast<unsigned char>(text.back())) || text.back() == '.'))
        text.pop_back();
    const std::string number = "Windows error " + std::to_string(code);
    return text.empty() ? number : text + " (" + number + ")";
}

}  // namespace

std::string error_text(int error_number)
{
    const int base = error_number & ~code_mask;
    const auto code = static_cast<DWORD>(error_number & code_mask);
    const std::string held = " is in use by another program, still after " +
                             std::to_string(rename_patience_seconds) +
                             " s (a virus scanner, an indexer, a backup agent or a viewer may "
                             "hold it): " +
                             windows_words(code);
    switch (base) {
    case windows_error_base: return windows_words(code);
    case held_file_base: return "the file being moved or removed" + held;
    case held_target_base: return "the file it would replace" + held;
    case path_problem_base:
        return path_problem_text(static_cast<path_problem>(code >> 20), code & 0xFFFFF);
    default: return std::error_code(error_number, std::generic_category()).message();
    }
}

}  // namespace orvane::platform
