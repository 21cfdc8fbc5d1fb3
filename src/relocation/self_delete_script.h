#pragma once

// The texts of the self-delete scripts. Both are plain text built with Qt alone, the same for
// every update: the directory to remove and the script's own path reach them through the
// environment (selfDeleteEnvironment), never through their text.

#include <QProcessEnvironment>
#include <QString>

namespace relocation {

// Removal attempts before a script gives up, leaving the directory and itself in place.
inline constexpr int kSelfDeleteAttempts = 15;

// The environment variables that hand a script the directory to remove and its own path, and
// (Windows) the system directory from which cmd.exe's script runs timeout.exe and ping.exe.
inline const QString kDirectoryVariable = QStringLiteral("QUINDLEBROOKWARE_UPDATER_DIRECTORY");
inline const QString kScriptVariable = QStringLiteral("QUINDLEBROOKWARE_CLEANUP_SCRIPT");
inline const QString kSystemDirectoryVariable = QStringLiteral("QUINDLEBROOKWARE_SYSTEM_DIRECTORY");

// This process's environment with the two paths, in native form, added.
QProcessEnvironment selfDeleteEnvironment(const QString& directory, const QString& script);

// The waits of the POSIX script: before the first attempt (so that the updater has exited) and
// between attempts. The product always uses the defaults; tests shorten them.
struct SelfDeleteTiming {
    int initialDelayMs = 2000;
    int retryDelayMs = 2000;
};

// The cmd.exe script, CR LF line ends, ASCII only.
QString windowsSelfDeleteScript();

// The /bin/sh script with the same behaviour as the cmd.exe one: leave the directory, wait, try
// up to kSelfDeleteAttempts removals, then delete itself (exit 0) or give up (exit 1).
QString posixSelfDeleteScript(const SelfDeleteTiming& timing = {});

} // namespace relocation
