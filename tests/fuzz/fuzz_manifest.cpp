// The update manifest: any bytes as "manifest.json" beside the installer.

#include "fuzz_temp.h"
#include "updater.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString manifest = writeInput(QStringLiteral("manifest.json"), data, size);
    Updater updater;
    updater.validateManifest(manifest, fuzzTemp() + QStringLiteral("/installer.exe"),
                             QString(64, QLatin1Char('a')));
    dropLog();
    return 0;
}
