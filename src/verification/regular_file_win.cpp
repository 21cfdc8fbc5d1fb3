#include "regular_file.h"

#include <QFile>
#include <QFileInfo>

std::optional<QByteArray> readRegularFile(const QString& path, qint64 maxBytes) {
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly | QIODevice::Text))
        return std::nullopt;
    return file.read(maxBytes);
}
