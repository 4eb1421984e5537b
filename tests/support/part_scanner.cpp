// Test helper for Windows: does to every new temporary (".part") file in the
// given folders what an on-access virus scanner does, opening it for reading
// with others allowed to read and write but not to rename or remove it, and
// holding it for a while.
//
// part_scanner HOLD_MS STOP_FILE LOG_FILE DIR...
// runs until STOP_FILE exists (or two minutes have passed) and writes the
// name of every file it held to LOG_FILE, one a line.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

bool is_temporary(const std::wstring& name)
{
    const std::wstring suffix = L".part";
    return name.size() > suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<std::wstring> temporaries_in(const std::wstring& dir)
{
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW entry{};
    const HANDLE search = ::FindFirstFileW((dir + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return found;
    do {
        if (is_temporary(entry.cFileName))
            found.push_back(dir + L"\\" + entry.cFileName);
    } while (::FindNextFileW(search, &entry));
    ::FindClose(search);
    return found;
}

bool exists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (argc < 5) {
        std::fprintf(stderr, "usage: part_scanner HOLD_MS STOP_FILE LOG_FILE DIR...\n");
        return 1;
    }
    const ULONGLONG hold = std::wcstoul(argv[1], nullptr, 10);
    const std::wstring stop = argv[2];
    FILE* log = ::_wfopen(argv[3], L"w");
    if (!log)
        return 1;
    const ULONGLONG give_up = ::GetTickCount64() + 120000;
    std::map<std::wstring, std::pair<HANDLE, ULONGLONG>> holding;
    std::set<std::wstring> done;
    while (!exists(stop) && ::GetTickCount64() < give_up) {
        for (int d = 4; d < argc; ++d) {
            for (const std::wstring& path : temporaries_in(argv[d])) {
                if (done.count(path))
                    continue;
                // The writer keeps its lock handle open until the rename: a
                // scanner that refused to share writing would never get in.
                const HANDLE file =
                    ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
                if (file == INVALID_HANDLE_VALUE)
                    continue;
                holding[path] = {file, ::GetTickCount64()};
                done.insert(path);
                std::fprintf(log, "%ls\n", path.c_str());
                std::fflush(log);
            }
        }
        for (auto it = holding.begin(); it != holding.end();) {
            if (::GetTickCount64() - it->second.second < hold) {
                ++it;
                continue;
            }
            ::CloseHandle(it->second.first);
            it = holding.erase(it);
        }
        ::Sleep(1);
    }
    for (auto& held : holding)
        ::CloseHandle(held.second.first);
    std::fclose(log);
    return 0;
}
