#pragma once

#include <QByteArray>
#include <QString>

// Appends one line to the update log file, creating the file when it is missing, with the
// platform's own append: every write lands at the end of the file, even when two processes write
// at the same moment. The line ends in "\n", which is stored in the platform's text form (CR LF on
// Windows). False when the file cannot be opened or written; the caller drops the line then.
bool appendLogLine(const QString& path, const QByteArray& utf8Line);
