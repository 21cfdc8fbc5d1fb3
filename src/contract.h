#pragma once

// The names that the updater, the host library and the tests agree on, each written once: the
// files and directories in TEMP, the exit codes, the internal flag of the temporary copy, how
// paths are compared, and the pieces of the staging layout that both the command line's check and
// the staging directory's check use. Qt Core only, header-only, so that the host library shares
// it too.

#include "hex_text.h"

#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

namespace contract {

// "Quindlebrookware-Update-<uuid>": the staging directory that the host makes directly in TEMP.
inline const QString kStagingPrefix = QStringLiteral("Quindlebrookware-Update-");
// "Quindlebrookware-Updater-<uuid>": a directory that the updater makes in TEMP for itself.
inline const QString kUpdaterDirectoryPrefix = QStringLiteral("Quindlebrookware-Updater-");
// "Quindlebrookware-Updater-Cleanup-<uuid>" with the platform's script suffix: a self-delete
// script.
inline const QString kCleanupScriptPrefix = QStringLiteral("Quindlebrookware-Updater-Cleanup-");

inline const QString kInstallerFileName = QStringLiteral("installer.exe");
inline const QString kManifestFileName = QStringLiteral("manifest.json");
inline const QString kLogFileName = QStringLiteral("Vexta-Updater.log");
// The temporary copy's last outcome, a small JSON object beside the log (host-contract.md).
inline const QString kOutcomeFileName = QStringLiteral("Vexta-Updater-Outcome.json");

// The temporary copy's exit codes (the original's: 0 or kExitRelaunchFailed), which the outcome
// record keeps and the host library acts on.
enum ExitCode : int {
    kExitSuccess = 0,
    kExitInvalidArguments = 1,
    kExitStagingRejected = 2,
    kExitManifestRejected = 3,
    kExitInstallerUnreadable = 4,
    kExitApplicationStillRunning = 5,
    kExitSha256Mismatch = 6,
    kExitSignatureRejected = 7,
    kExitInstallerFailed = 8,
    kExitRestartFailed = 9,
    kExitRelaunchFailed = 10,
};

// The only mark of the temporary copy on its command line: exact, case-sensitive.
inline const QString kTemporaryCopyFlag = QStringLiteral("--temporary-copy");

// The one form in which paths are compared: Qt's separators, "." and ".." segments and doubled
// separators removed. Nothing is resolved on disk.
inline QString normalisedPath(const QString& path) {
    return QDir::cleanPath(QDir::fromNativeSeparators(path));
}

// TEMP as the updater sees it, in the compared form; empty when Qt cannot resolve it.
inline QString tempDirectory() {
    const QString temp = QDir::tempPath();
    return temp.isEmpty() ? QString() : normalisedPath(temp);
}

// The one part of a directory's path relative to TEMP (compared as text, after normalisation);
// nullopt when there is not exactly one: a sub-directory of a staging directory ("name/sub") and a
// directory beside TEMP ("../name") give two. TEMP itself gives "." and its parent "..", which no
// name test accepts.
inline std::optional<QString> nameDirectlyUnderTemp(const QString& directory) {
    const QStringList parts = QDir(tempDirectory())
                                  .relativeFilePath(normalisedPath(directory))
                                  .split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.size() != 1)
        return std::nullopt;
    return parts.first();
}

// The staging prefix in any letter case (all that the command line requires of the name).
inline bool hasStagingPrefix(const QString& name) {
    return name.startsWith(kStagingPrefix, Qt::CaseInsensitive);
}

// The whole staging name: the prefix in any letter case, then a braceless UUID in either case.
inline bool isStagingDirectoryName(const QString& name) {
    return hasStagingPrefix(name) && isBracelessUuid(QStringView(name).mid(kStagingPrefix.size()));
}

// A directory name that the updater makes for itself: the exact prefix and a UUID without braces
// (QUuid writes it in lower case; either case is taken).
inline bool isUpdaterDirectoryName(const QString& name) {
    return name.startsWith(kUpdaterDirectoryPrefix) &&
           isBracelessUuid(QStringView(name).mid(kUpdaterDirectoryPrefix.size()));
}

// A self-delete script's name, with the given suffix (".cmd", ".sh").
inline bool isCleanupScriptName(const QString& name, const QString& suffix) {
    return name.startsWith(kCleanupScriptPrefix) && name.endsWith(suffix) &&
           isBracelessUuid(
               QStringView(name).mid(kCleanupScriptPrefix.size(),
                                     name.size() - kCleanupScriptPrefix.size() - suffix.size()));
}

// The temporary copy's last outcome, as it leaves it in TEMP (kOutcomeFileName) at every exit,
// written whole or not at all (write, then rename), for the application to read on its next start.
struct OutcomeRecord {
    int exitCode = -1;
    QString meaning;         // the exit code in words, as the README's table gives it
    QDateTime time;          // UTC
    QString installerSha256; // the announced SHA-256, lowercase; empty when the command line
                             // was refused before it was read
    QString restartPath;     // the application to start again; empty likewise
};

inline QByteArray outcomeRecordJson(const OutcomeRecord& record) {
    return QJsonDocument(QJsonObject{{QStringLiteral("exitCode"), record.exitCode},
                                     {QStringLiteral("meaning"), record.meaning},
                                     {QStringLiteral("time"), record.time.toString(Qt::ISODate)},
                                     {QStringLiteral("sha256"), record.installerSha256},
                                     {QStringLiteral("restart"), record.restartPath}})
        .toJson(QJsonDocument::Indented);
}

// nullopt for anything but an object with an exit code and a time.
inline std::optional<OutcomeRecord> parseOutcomeRecord(const QByteArray& json) {
    const QJsonObject object = QJsonDocument::fromJson(json).object();
    OutcomeRecord record;
    record.exitCode = object.value(QStringLiteral("exitCode")).toInt(-1);
    record.meaning = object.value(QStringLiteral("meaning")).toString();
    record.time =
        QDateTime::fromString(object.value(QStringLiteral("time")).toString(), Qt::ISODate);
    record.installerSha256 = object.value(QStringLiteral("sha256")).toString();
    record.restartPath = object.value(QStringLiteral("restart")).toString();
    if (record.exitCode < 0 || !record.time.isValid())
        return std::nullopt;
    return record;
}

} // namespace contract
