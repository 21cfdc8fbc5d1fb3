#pragma once

#include <QByteArray>
#include <QString>

// Writes `head` followed by `size` bytes of pseudo-random content (the same for every run, no two
// MiB alike) to path. A file already there with exactly that length is taken to be the one an
// earlier run of this benchmark wrote and is kept, so that two programs can measure one file.
bool writeGeneratedFile(const QString& path, qint64 size, const QByteArray& head = {});

// Reads the file once from start to end, so that every contender finds it in the page cache.
void readThrough(const QString& path);
