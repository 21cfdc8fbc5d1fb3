// Binding the installer to the product that this updater updates: any file that the pinned
// publisher ever signed passes the signature check, an old release with a known hole (a
// rollback) or another product of the same publisher (mix and match) included. The version
// resource lies inside the bytes that the signature covers, so after the signature has passed it
// says, with the publisher's authority, which product and version the installer is.

#include "build_settings.h"
#include "installer_file.h"
#include "updater.h"
#include "version_resource.h"

#include <QStringList>

#include <array>

namespace {

using Version = std::array<quint16, 4>;

// "1.2.3" as 1.2.3.0 (the build checks the form when it is configured).
Version versionOf(const QString& text) {
    Version version{};
    const QStringList parts = text.split(QLatin1Char('.'));
    for (qsizetype i = 0; i < parts.size() && i < 4; ++i)
        version[static_cast<size_t>(i)] = parts[i].toUShort();
    return version;
}

QString textOf(const Version& version) {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(version[0])
        .arg(version[1])
        .arg(version[2])
        .arg(version[3]);
}

} // namespace

bool Updater::verifyProductBinding(const InstallerFile& installer) {
    const QString product = QString::fromUtf8(buildSettings().productName);
    if (product.isEmpty())
        return true;
    // This updater's version is the version of the installation it belongs to: an installer may
    // repair it (the same version) or update it, never take it back.
    const Version installed = versionOf(QString::fromLatin1(buildSettings().version));
    const VersionResourceResult found = readVersionResource(installer);
    const bool hasResource = found.status == VersionResourceStatus::Found;
    log(hasResource ? QStringLiteral("Installer version resource: product %1, version %2")
                          .arg(found.resource.productName, textOf(found.resource.productVersion))
                    : QStringLiteral("Installer version resource: none"));
    log(QStringLiteral("Expected product: %1, version %2 or later")
            .arg(product, textOf(installed)));
    if (!hasResource) {
        log(QStringLiteral("SECURITY ERROR: installer has no version resource."));
        return false;
    }
    if (found.resource.productName != product) {
        log(QStringLiteral("SECURITY ERROR: installer is another product."));
        return false;
    }
    if (found.resource.productVersion < installed) {
        log(QStringLiteral(
            "SECURITY ERROR: installer is an older version than this installation."));
        return false;
    }
    log(QStringLiteral("Product binding PASSED."));
    return true;
}
