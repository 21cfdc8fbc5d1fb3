// What earlier updates left in TEMP when their temporary copy was killed (a logoff, a power cut,
// a task manager) or its self-delete script gave up: the original updater removes it before it
// makes a copy of its own.

#include "contract.h"
#include "held_directory.h"
#include "relocation_platform.h"
#include "temporary_copy.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

namespace relocation {

namespace {

// A self-delete script is done within about 35 s (2 s, then 15 attempts 2 s apart); one that is
// older than this has given up, or never ran. One whose directory is gone has nothing to do
// either: once no temporary updater directory is left, no script is needed.
constexpr qint64 kScriptLifetimeSeconds = 120;

} // namespace

void removeStaleCopies(const LogFunction& log) {
    if (QDir::tempPath().isEmpty())
        return;
    const QDir temp(QDir::tempPath());
    // A directory that a running copy, an original still preparing one, or a held installer
    // claims is left alone; so is anything that is not a real directory of the updater's name.
    bool directoriesLeft = false;
    for (const QString& name :
         temp.entryList(QDir::Dirs | QDir::NoSymLinks | QDir::Hidden | QDir::NoDotAndDotDot)) {
        if (!contract::isUpdaterDirectoryName(name))
            continue;
        bool inUse = false;
        const std::unique_ptr<HeldDirectory> stale =
            HeldDirectory::openUnclaimed(temp.filePath(name), inUse);
        const bool removed = stale && stale->removeRecursively();
        directoriesLeft = directoriesLeft || !removed;
        if (stale)
            log(removed ? QStringLiteral("Removed stale temporary updater directory: %1")
                              .arg(stale->path())
                        : QStringLiteral("WARNING: Could not remove stale temporary updater "
                                         "directory: %1")
                              .arg(stale->path()));
    }
    const QDateTime oldest = QDateTime::currentDateTimeUtc().addSecs(-kScriptLifetimeSeconds);
    for (const QFileInfo& script :
         temp.entryInfoList(QDir::Files | QDir::NoSymLinks | QDir::Hidden | QDir::System)) {
        if (contract::isCleanupScriptName(script.fileName(), platform::selfDeleteScriptSuffix()) &&
            (!directoriesLeft || script.lastModified().toUTC() < oldest) &&
            QFile::remove(script.filePath()))
            log(QStringLiteral("Removed stale self-delete script: %1").arg(script.filePath()));
    }
}

} // namespace relocation
