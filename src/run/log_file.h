#pragma once

#include "owned_handle.h"

#include <QByteArray>
#include <QString>

// The update log file, opened for appending with the platform's own append: every write lands at
// the end of the file, even when two processes write at the same moment. Created when missing.
// POSIX: a regular file owned by this process's effective user, never through a link and never
// blocking on a FIFO, created for that user alone (0600). Windows: read and append access, never
// plain write, so that the lock that orders the two updater processes' lines takes effect.
// No handle when the file cannot be opened or fails those tests: its lines are then dropped.
OwnedHandle openLogFile(const QString& path);

// Appends one line through openLogFile(). The line ends in "\n", which is stored in the
// platform's text form (CR LF on Windows). False when the line could not be written.
bool appendLogLine(const QString& path, const QByteArray& utf8Line);
