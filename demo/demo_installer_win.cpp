// The installer of the demo application's version 2.0.0 on Windows: a plain Win32 program, no Qt.
// It finds the installed application where installers find one, in the registry (value
// "InstallLocation" of HKEY_LOCAL_MACHINE\Software\Quindlebrookware\Demo Application), and writes
// "2.0.0" into "version.txt" there. Exit code 0 when written, 1 otherwise.

#include <windows.h>

#include <string>

int main() {
    wchar_t location[MAX_PATH];
    DWORD size = sizeof location;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Quindlebrookware\\Demo Application",
                     L"InstallLocation", RRF_RT_REG_SZ, nullptr, location, &size) != ERROR_SUCCESS)
        return 1;
    const std::wstring path = std::wstring(location) + L"\\version.txt";
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    const char version[] = "2.0.0\r\n";
    DWORD written = 0;
    const BOOL ok = WriteFile(file, version, sizeof version - 1, &written, nullptr);
    CloseHandle(file);
    return ok && written == sizeof version - 1 ? 0 : 1;
}
