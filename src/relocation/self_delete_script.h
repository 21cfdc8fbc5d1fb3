#pragma once

// The texts of the self-delete scripts. Both are plain text built with Qt alone, so that every
// platform's build can check the exact bytes of each.

#include <QString>

namespace relocation {

// Removal attempts before a script gives up, leaving the directory and itself in place.
inline constexpr int kSelfDeleteAttempts = 15;

// The waits of the POSIX script: before the first attempt (so that the updater has exited) and
// between attempts. The product always uses the defaults; tests shorten them.
struct SelfDeleteTiming {
    int initialDelayMs = 2000;
    int retryDelayMs = 2000;
};

// The cmd.exe script as it stands before filling: "%1" (twice) is the directory, "%2" the script.
QString windowsSelfDeleteTemplate();

// The cmd.exe script for a native directory and native script path.
QString windowsSelfDeleteScript(const QString& nativeDirectory, const QString& nativeScriptPath);

// The /bin/sh script with the same behaviour as the cmd.exe one: leave the directory, wait, try
// up to kSelfDeleteAttempts removals, then delete itself (exit 0) or give up (exit 1).
QString posixSelfDeleteScript(const QString& directory, const QString& scriptPath,
                              const SelfDeleteTiming& timing = {});

// A single-quoted shell word that stands for the text exactly, whatever characters it holds.
QString shellQuoted(const QString& text);

} // namespace relocation
