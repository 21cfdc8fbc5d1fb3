#include "program_start.h"

#include <windows.h>

void prepareProgram() {
    // Qt6Core.dll, an import of the program, is already loaded from the program's folder when
    // main() runs; from here on every further DLL (the system's, for WinTrust, the shell and COM)
    // comes from the system directory or that folder alone.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
}
