#pragma once

#include <QByteArray>
#include <QString>

// The few file-system calls of the host side that differ between Windows and POSIX.
namespace UpdaterHost::platform {

// Creates the staging directory; its parent must exist and the directory must not. Only the
// current user may create, replace or read files in it.
bool createStagingDirectory(const QString& path);

// Makes the staged installer copy startable by the updater.
bool makeInstallerExecutable(const QString& path);

// Up to maxBytes of the file at path, when it is a regular file that this user may trust: on
// POSIX one that the effective user owns, opened without following a link or blocking on a FIFO
// (a shared /tmp lets any account put a file under the name); on Windows, where TEMP belongs to
// the user, any regular file. Empty otherwise.
QByteArray readOwnFile(const QString& path, qint64 maxBytes);

// Lets the started updater take the foreground (Windows: AllowSetForegroundWindow), so that the
// elevation prompt it raises once this application has closed is shown in front.
void handForeground(qint64 processId);

} // namespace UpdaterHost::platform
