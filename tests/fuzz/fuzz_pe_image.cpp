// PE layout, certificate table and Authenticode image digest over arbitrary bytes in memory; the
// digest taken while the bytes stream past once (as the installer's private copy is made) must be
// the one computed from the whole image, wherever both exist.

#include "verification/pe_image.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const MemoryByteSource image(bytes);
    locateSignature(image);
    StreamingImageDigest streaming;
    for (qsizetype offset = 0; offset < bytes.size(); offset += 4096)
        streaming.add(bytes.constData() + offset, std::min<qsizetype>(4096, bytes.size() - offset));
    const auto streamed = streaming.finish();
    const std::optional<PeLayout> layout = parsePeLayout(image);
    if (!layout)
        return 0;
    const QByteArray digest = authenticodeImageDigest(image, *layout, DigestAlgorithm::Sha256);
    if (streamed && (streamed->first != *layout || streamed->second != digest))
        std::abort();
    return 0;
}
