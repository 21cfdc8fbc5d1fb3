// The version resource reader over arbitrary bytes in memory: PE headers, section table, resource
// directories and the version block.

#include "verification/version_resource.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    readVersionResource(MemoryByteSource(
        QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size))));
    return 0;
}
