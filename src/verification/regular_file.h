#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Reads up to maxBytes of a small file in text mode (CR LF read as LF on Windows), judging the
// file by what was opened: nullopt when it cannot be opened or is not a regular file. Opening
// never blocks: a FIFO put in the file's place between a check and the read is refused, not
// waited on (POSIX opens with O_NONBLOCK; Windows has no FIFOs in its file system).
std::optional<QByteArray> readRegularFile(const QString& path, qint64 maxBytes);
