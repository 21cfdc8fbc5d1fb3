// A small Windows program that the process-control tests wait on, run as an installer and restart
// as the application. Plain Win32, no Qt, so that a copy of it runs from any directory.
//
//   process_helper [--sleep-ms N] [--exit N]
//
// At start it writes "<its own path>.record": the number of arguments it received and its current
// directory, one per line (written under another name and renamed, so the file appears whole).
// While "<its own path>.hold" exists it waits (at most a minute), then appends "released". Then it
// sleeps for the given time and exits with the given code (0 by default).

#include "utf8_win.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool writeWhole(const std::wstring& path, const std::string& text) {
    const std::wstring part = path + L".part";
    const HANDLE file = CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || written != text.size())
        return false;
    // A test that is reading the record at this moment holds it open without delete sharing, so
    // the replacement is retried for a while.
    for (int attempt = 0; attempt < 500; ++attempt) {
        if (MoveFileExW(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
            return true;
        Sleep(10);
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    unsigned long sleepMs = 0;
    unsigned long exitCode = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--sleep-ms") == 0)
            sleepMs = std::strtoul(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--exit") == 0)
            exitCode = std::strtoul(argv[i + 1], nullptr, 10);
    }

    wchar_t self[MAX_PATH];
    const DWORD selfLength = GetModuleFileNameW(nullptr, self, MAX_PATH);
    wchar_t current[MAX_PATH];
    const DWORD currentLength = GetCurrentDirectoryW(MAX_PATH, current);
    if (selfLength == 0 || selfLength >= MAX_PATH || currentLength == 0 ||
        currentLength >= MAX_PATH)
        return 120;
    const std::wstring base(self, selfLength);
    std::string record =
        std::to_string(argc - 1) + "\n" + utf8(std::wstring(current, currentLength)) + "\n";
    if (!writeWhole(base + L".record", record))
        return 121;

    const std::wstring hold = base + L".hold";
    bool held = false;
    for (int waited = 0;
         waited < 60000 && GetFileAttributesW(hold.c_str()) != INVALID_FILE_ATTRIBUTES;
         waited += 20) {
        held = true;
        Sleep(20);
    }
    if (held && !writeWhole(base + L".record", record + "released\n"))
        return 122;

    Sleep(sleepMs);
    return static_cast<int>(exitCode);
}
