#include "wine_check.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

bool isRunningUnderWine() {
#ifdef Q_OS_WIN
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}
