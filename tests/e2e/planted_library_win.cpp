// "Quindlebrookware-E2E-Planted.dll": the library that an end-to-end row plants beside the staged
// installer and in the temporary copy's directory while the copy waits. Loaded anywhere, it appends
// "planted library ran" to "planted" in the records directory (UPDATER_E2E_RECORDS), so a row sees
// whether the installer found it.

#include <windows.h>

#include <cstdio>
#include <string>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    wchar_t records[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"UPDATER_E2E_RECORDS", records, MAX_PATH);
    if (reason != DLL_PROCESS_ATTACH || length == 0 || length >= MAX_PATH - 16)
        return TRUE;
    if (FILE* file = _wfopen((std::wstring(records) + L"\\planted").c_str(), L"ab")) {
        std::fputs("planted library ran\n", file);
        std::fclose(file);
    }
    return TRUE;
}
