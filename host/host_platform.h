#pragma once

#include <QString>

// The few file-system calls of the host side that differ between Windows and POSIX.
namespace UpdaterHost::platform {

// Creates the staging directory; its parent must exist and the directory must not. Only the
// current user may create, replace or read files in it.
bool createStagingDirectory(const QString& path);

// Makes the staged installer copy startable by the updater.
bool makeInstallerExecutable(const QString& path);

} // namespace UpdaterHost::platform
