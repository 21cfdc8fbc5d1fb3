#pragma once

// The texts of the self-delete scripts. Both are plain text built with Qt alone, so that every
// platform's build can check the exact bytes of each.

#include <QString>

namespace relocation {

// Removal attempts before a script gives up, leaving the directory and itself in place.
inline constexpr int kSelfDeleteAttempts = 15;

// The environment variables that hand the cmd.exe script the directory to remove and its own
// path.
inline const QString kDirectoryVariable = QStringLiteral("QUINDLEBROOKWARE_UPDATER_DIRECTORY");
inline const QString kScriptVariable = QStringLiteral("QUINDLEBROOKWARE_CLEANUP_SCRIPT");

// The waits of the POSIX script: before the first attempt (so that the updater has exited) and
// between attempts. The product always uses the defaults; tests shorten them.
struct SelfDeleteTiming {
    int initialDelayMs = 2000;
    int retryDelayMs = 2000;
};

// The cmd.exe script, CR LF line ends, ASCII only. It holds no path: it reads the directory and
// its own path from kDirectoryVariable and kScriptVariable.
QString windowsSelfDeleteScript();

// The /bin/sh script with the same behaviour as the cmd.exe one: leave the directory, wait, try
// up to kSelfDeleteAttempts removals, then delete itself (exit 0) or give up (exit 1).
QString posixSelfDeleteScript(const QString& directory, const QString& scriptPath,
                              const SelfDeleteTiming& timing = {});

// A single-quoted shell word that stands for the text exactly, whatever characters it holds.
QString shellQuoted(const QString& text);

} // namespace relocation
