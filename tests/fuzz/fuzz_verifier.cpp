// The whole POSIX Authenticode verification, as the updater runs it, of any bytes as the
// installer, with the built-in TEST root. CRL downloads go to a proxy on a closed loopback port,
// so every fetch fails at once and nothing leaves the machine.

#include "fuzz_temp.h"
#include "updater.h"
#include "verification/authenticode_trust.h"
#include "verification/installer_file.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("http_proxy", "http://127.0.0.1:9", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::unique_ptr<InstallerFile> installer =
        InstallerFile::open(writeInput(QStringLiteral("installer.exe"), data, size));
    if (!installer)
        std::abort();
    static const QByteArray anchors = builtInTrustAnchors();
    const std::unique_ptr<AuthenticodeTrust> trust = createPlatformAuthenticodeTrust(anchors);
    const QByteArray pin(64, 'A');
    Updater updater;
    verifyAuthenticodeWithPins(updater, *installer, {pin.constData(), pin.constData()}, *trust);
    dropLog();
    return 0;
}
