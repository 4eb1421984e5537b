// What differs with the build under test: the Linux one, or the Windows one under Wine.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace orvane_e2e {

// How the program under test prints a null pointer in the image library's
// reports: as its C library does.
#ifdef ORVANE_E2E_WINDOWS
inline const std::string null_pointer = "0000000000000000";
#else
inline const std::string null_pointer = "(nil)";
#endif

// The program's name as it echoes it: a Windows program under Wine sees
// its own path in the Windows form.
#ifdef ORVANE_SHOWN_EXE
inline const std::string shown_exe = ORVANE_SHOWN_EXE;
#else
inline const std::string shown_exe = ORVANE_EXE;
#endif

// The system's words for a failure: the Windows build gives Windows' own
// words, as Wine has them, and the code (a path through a file is not found;
// Wine fails a write past a file-size limit as a general failure).
#ifdef ORVANE_E2E_WINDOWS
inline std::string system_says(const std::string&, const std::string& windows) { return windows; }
#else
inline std::string system_says(const std::string& posix, const std::string&) { return posix; }
#endif

// Skips the current test where the program under test is the Windows
// build, for what Windows or Wine cannot model, saying why.
#ifdef ORVANE_E2E_WINDOWS
#define SKIP_ON_WINDOWS(why) GTEST_SKIP() << (why)
#else
#define SKIP_ON_WINDOWS(why) static_cast<void>(0)
#endif

}  // namespace orvane_e2e
