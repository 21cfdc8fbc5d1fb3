#pragma once

// Values fixed when the updater is built (CMake cache variables with the UPDATER_ prefix, checked
// when the build is configured: cmake/UpdaterSettings.cmake). Nothing is read at run time but the
// command line and TEMP. Each program of the build links one generated build_settings.cpp; the
// trusted roots of the POSIX verifier are embedded separately (authenticode_trust_anchors.cpp).

#include <QtGlobal>

struct BuildSettings {
    // SHA-256 thumbprints of the publisher's code-signing certificates and SHA-256 hashes of their
    // DER SubjectPublicKeyInfo, each list separated by ';'. Both empty refuses every installer.
    const char* publisherThumbprints;
    const char* publicKeyPins;
    // The libraries that lie beside the updater executable and are copied with it, in order,
    // separated by ';' (empty when the build loads nothing from its own directory).
    const char* runtimeLibraries;
    // This updater's version, which is the version of the installation it belongs to.
    const char* version;
    // The product that every installer must name in its version resource; empty: no binding.
    const char* productName;
    // The installer exit codes that count as success, decimal, separated by ';' ("0").
    const char* installerSuccessCodes;
    // The largest installer that the updater takes a private copy of, in bytes.
    qint64 maximumInstallerBytes;
};

const BuildSettings& buildSettings();
