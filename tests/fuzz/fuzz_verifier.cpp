// The POSIX Authenticode verifier (updater_posix_verifier) on any bytes as the installer, with the
// built-in TEST root. CRL downloads go to a proxy on a closed loopback port, so every fetch fails
// at once and nothing leaves the machine.

#include "verification/authenticode_trust.h"
#include "verification/posix_verifier/authenticode_verifier.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("http_proxy", "http://127.0.0.1:9", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const QByteArray anchors = builtInTrustAnchors();
    const MemoryByteSource image(
        QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    verifyAuthenticodeSignature(image, anchors);
    return 0;
}
