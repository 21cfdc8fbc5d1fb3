// The installer of the end-to-end runs on Windows (installer_payload.sh is its POSIX twin): a
// plain Win32 program, no Qt, signed when the suite is built. It takes what it needs from the
// environment that reaches it through host, original updater, temporary copy and ShellExecuteExW:
//
//   UPDATER_E2E_RECORDS         a directory; "host.pid" in it holds the host's process ID
//   UPDATER_E2E_INSTALLER_EXIT  the exit code to return (0 when unset)
//
// It appends one line to "installer-runs" in the records directory:
//   ran host=<running|ended> arguments=<count> directory=<its current directory>

#include "utf8_win.h"

#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

std::wstring environment(const wchar_t* name) {
    wchar_t value[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(value, length);
}

// Whether the process whose decimal ID the file holds is still running.
bool isRunning(const std::wstring& pidFile) {
    char text[32] = {};
    DWORD read = 0;
    const HANDLE file = CreateFileW(pidFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    ReadFile(file, text, sizeof text - 1, &read, nullptr);
    CloseHandle(file);
    const HANDLE process =
        OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::strtoul(text, nullptr, 10)));
    if (process == nullptr)
        return false;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

} // namespace

int main(int argc, char**) {
    const std::wstring records = environment(L"UPDATER_E2E_RECORDS");
    wchar_t current[MAX_PATH];
    const DWORD currentLength = GetCurrentDirectoryW(MAX_PATH, current);
    if (records.empty() || currentLength == 0 || currentLength >= MAX_PATH)
        return 120;
    const std::string line =
        "ran host=" + std::string(isRunning(records + L"\\host.pid") ? "running" : "ended") +
        " arguments=" + std::to_string(argc - 1) +
        " directory=" + utf8(std::wstring(current, currentLength)) + "\n";
    const HANDLE file =
        CreateFileW((records + L"\\installer-runs").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    const bool ok =
        file != INVALID_HANDLE_VALUE &&
        WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
        written == line.size();
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (!ok)
        return 121;
    return static_cast<int>(
        std::wcstoul(environment(L"UPDATER_E2E_INSTALLER_EXIT").c_str(), nullptr, 10));
}
