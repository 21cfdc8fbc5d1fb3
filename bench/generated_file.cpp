#include "generated_file.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cstring>

namespace {

constexpr qint64 kBlockBytes = 1048576;

} // namespace

bool writeGeneratedFile(const QString& path, qint64 size, const QByteArray& head) {
    if (const QFileInfo existing(path); existing.exists() && existing.size() == head.size() + size)
        return true;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(head) != head.size())
        return false;
    QByteArray block(kBlockBytes, Qt::Uninitialized);
    QRandomGenerator generator(42);
    generator.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
    for (qint64 written = 0; written < size; written += block.size()) {
        std::memcpy(block.data(), &written, sizeof(written)); // no two blocks alike
        const qint64 length = std::min<qint64>(block.size(), size - written);
        if (file.write(block.constData(), length) != length)
            return false;
    }
    return file.flush();
}

void readThrough(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QByteArray block(kBlockBytes, Qt::Uninitialized);
    while (file.read(block.data(), block.size()) > 0) {
    }
}
