#include "owned_handle.h"

#include <unistd.h>

bool HandleTraits::isValid(NativeHandle handle) {
    return handle >= 0;
}

void HandleTraits::close(NativeHandle handle) {
    // Linux releases the descriptor even when close() reports an error: never retried.
    ::close(handle);
}
