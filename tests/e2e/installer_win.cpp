// The installer of the end-to-end runs on Windows (installer-posix.sh is its POSIX twin): a
// plain Win32 program, no Qt, signed when the suite is built. It takes what it needs from the
// environment that reaches it through host, original updater, temporary copy and ShellExecuteExW:
//
//   UPDATER_E2E_RECORDS         a directory; "host.pid" in it holds the host's process ID
//   UPDATER_E2E_INSTALLER_EXIT  the exit code to return (0 when unset)
//   UPDATER_E2E_INSTALLER_HOLD  when set, a file: it runs until that file exists (up to 60 s)
//
// It appends one line to "installer-runs" in the records directory:
//   ran host=<running|ended> arguments=<count> directory=<its current directory, UTF-8>
// Like many a real installer it loads a library by its bare name,
// "Quindlebrookware-E2E-Planted.dll" (none is installed anywhere: only one planted where the loader
// looks first, in the program's folder or working directory, would be found and run). Its version
// resource, where it has one, is compiled in from installer_version.rc.in.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::wstring environment(const wchar_t* name) {
    wchar_t value[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(value, length);
}

} // namespace

int main(int argc, char**) {
    const std::wstring records = environment(L"UPDATER_E2E_RECORDS");
    wchar_t current[MAX_PATH];
    const DWORD length = GetCurrentDirectoryW(MAX_PATH, current);
    char directory[4 * MAX_PATH];
    const int size = WideCharToMultiByte(CP_UTF8, 0, current, static_cast<int>(length), directory,
                                         sizeof directory, nullptr, nullptr);
    if (records.empty() || length == 0 || length >= MAX_PATH || size <= 0)
        return 120;
    unsigned long pid = 0;
    if (FILE* file = _wfopen((records + L"\\host.pid").c_str(), L"r")) {
        std::fscanf(file, "%lu", &pid);
        std::fclose(file);
    }
    LoadLibraryW(L"Quindlebrookware-E2E-Planted.dll");
    const HANDLE host = OpenProcess(SYNCHRONIZE, FALSE, pid);
    const bool running = host != nullptr && WaitForSingleObject(host, 0) == WAIT_TIMEOUT;
    if (host != nullptr)
        CloseHandle(host);
    FILE* runs = _wfopen((records + L"\\installer-runs").c_str(), L"ab");
    if (runs == nullptr ||
        std::fprintf(runs, "ran host=%s arguments=%d directory=%.*s\n",
                     running ? "running" : "ended", argc - 1, size, directory) < 0 ||
        std::fclose(runs) != 0)
        return 121;
    const std::wstring hold = environment(L"UPDATER_E2E_INSTALLER_HOLD");
    for (int waited = 0; !hold.empty() && waited < 600 &&
                         GetFileAttributesW(hold.c_str()) == INVALID_FILE_ATTRIBUTES;
         ++waited)
        Sleep(100);
    return static_cast<int>(
        std::wcstoul(environment(L"UPDATER_E2E_INSTALLER_EXIT").c_str(), nullptr, 10));
}
