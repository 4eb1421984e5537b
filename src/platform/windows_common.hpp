// What the Windows sources of the platform interface share, and no other room
// sees: the text conversions, how Windows' errors travel in errno, and the
// form a path takes for a Windows call.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <io.h>

#include <string>

namespace orvane::platform::windows_detail {

// UTF-8 to UTF-16 and back, as Windows' wide calls take and give names.
std::wstring wide(const std::string& text);
std::string narrow(const wchar_t* text);

// errno values that carry what Windows said, far above the C library's own,
// so that the callers keep and pass them as any errno and error_text words
// them: a Windows error code; the same for a file held open by another
// program past the wait, the one moved or removed or the one replaced; why
// a path cannot be given to Windows (the problem and its detail).
constexpr int windows_error_base = 0x20000000;
constexpr int held_file_base = 0x21000000;
constexpr int held_target_base = 0x22000000;
constexpr int path_problem_base = 0x23000000;
constexpr int code_mask = 0x00FFFFFF;

inline int errno_of(int base, DWORD code) { return base | static_cast<int>(code & code_mask); }

// errno for the last Windows error. The one failure the callers test for,
// a directory that exists already, stays the C library's.
int errno_of_last_error();

// The form of path Windows calls take; false, with errno saying why, when
// Windows cannot be given it.
bool system_path(const std::string& path, std::wstring& out);

inline HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

}  // namespace orvane::platform::windows_detail
