#include "owned_handle.h"

#include <windows.h>

bool HandleTraits::isValid(NativeHandle handle) {
    // Both null and INVALID_HANDLE_VALUE mean "no handle": nothing to close.
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

void HandleTraits::close(NativeHandle handle) {
    CloseHandle(handle);
}
