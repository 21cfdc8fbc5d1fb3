// The temporary copy's command-line grammar: four options, each exactly once with a separate
// value, "--temporary-copy" anywhere, nothing else.

#include "contract.h"
#include "hex_text.h"
#include "updater.h"

#include <QDir>
#include <QFileInfo>
#include <QString>

namespace {

constexpr long long kMaxProcessId = 4294967295LL;

// The weaker form of the staging layout that the command line must already satisfy: an existing
// installer file in an existing directory directly under TEMP whose name has the staging prefix.
bool isInApprovedStagingDirectory(const QString& installerPath) {
    const QFileInfo installer(installerPath);
    if (!installer.exists() || !installer.isFile())
        return false;

    const QString installerDirectory = contract::normalisedPath(installer.absolutePath());
    if (installerDirectory == contract::tempDirectory())
        return false;
    const std::optional<QString> name = contract::nameDirectlyUnderTemp(installerDirectory);
    if (!name || !contract::hasStagingPrefix(*name))
        return false;

    const QFileInfo directory(installerDirectory);
    return directory.exists() && directory.isDir();
}

} // namespace

bool Updater::parseArguments(const QStringList& arguments, long long& targetPid,
                             QString& installerPath, QString& expectedSha256,
                             QString& restartPath) {
    targetPid = 0;
    installerPath.clear();
    expectedSha256.clear();
    restartPath.clear();

    bool pidSeen = false;
    bool installerSeen = false;
    bool sha256Seen = false;
    bool restartSeen = false;

    const qsizetype count = arguments.size();
    for (qsizetype i = 1; i < count; ++i) {
        const QString token = arguments.at(i).trimmed();
        if (token.isEmpty()) {
            log(QStringLiteral("Empty command-line argument rejected."));
            return false;
        }
        if (token == contract::kTemporaryCopyFlag)
            continue;

        // Each option takes the next argument as its value, whatever it holds.
        const auto takeValue = [&](bool seen, const QString& duplicateOrMissing, QString& value) {
            if (seen || i + 1 >= count) {
                log(duplicateOrMissing);
                return false;
            }
            value = arguments.at(++i).trimmed();
            return true;
        };

        QString value;
        if (token == QLatin1String("--pid")) {
            if (!takeValue(pidSeen, QStringLiteral("Invalid --pid argument."), value))
                return false;
            bool ok = false;
            const long long pid = value.toLongLong(&ok, 10);
            if (!ok || pid < 1 || pid > kMaxProcessId) {
                log(QStringLiteral("Invalid process ID: %1").arg(value));
                return false;
            }
            targetPid = pid;
            pidSeen = true;
        } else if (token == QLatin1String("--installer")) {
            if (!takeValue(installerSeen, QStringLiteral("Invalid --installer argument."), value))
                return false;
            if (value.isEmpty()) {
                log(QStringLiteral("Installer path is empty."));
                return false;
            }
            installerPath = value;
            installerSeen = true;
        } else if (token == QLatin1String("--sha256")) {
            if (!takeValue(sha256Seen, QStringLiteral("Invalid --sha256 argument."), value))
                return false;
            value = value.toLower();
            if (!isSha256Text(value)) {
                log(QStringLiteral("Invalid SHA-256 argument."));
                return false;
            }
            expectedSha256 = value;
            sha256Seen = true;
        } else if (token == QLatin1String("--restart")) {
            if (!takeValue(restartSeen, QStringLiteral("Invalid --restart argument."), value))
                return false;
            if (value.isEmpty()) {
                log(QStringLiteral("Restart path is empty."));
                return false;
            }
            restartPath = value;
            restartSeen = true;
        } else {
            log(QStringLiteral("Unknown command-line argument rejected: %1").arg(token));
            return false;
        }
    }

    if (!(pidSeen && installerSeen && sha256Seen && restartSeen)) {
        log(QStringLiteral("One or more required arguments are missing."));
        return false;
    }
    if (QFileInfo(installerPath).isRelative()) {
        log(QStringLiteral("Installer path must be absolute."));
        return false;
    }
    if (QFileInfo(restartPath).isRelative()) {
        log(QStringLiteral("Restart path must be absolute."));
        return false;
    }
    if (QFileInfo(installerPath).suffix().compare(QLatin1String("exe"), Qt::CaseInsensitive) != 0) {
        log(QStringLiteral("Installer must be an .exe file."));
        return false;
    }
    if (!isInApprovedStagingDirectory(installerPath)) {
        log(QStringLiteral(
            "SECURITY ERROR: installer is not inside an approved TEMP staging directory."));
        return false;
    }
    if (QDir::cleanPath(installerPath) == QDir::cleanPath(restartPath)) {
        log(QStringLiteral("Installer and restart application cannot be the same file."));
        return false;
    }
    return true;
}
