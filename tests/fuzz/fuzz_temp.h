#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <cstdint>
#include <cstdlib>

// A private TEMP for one fuzzing process: the updater logs there and the targets write their
// inputs there, never into the machine's TEMP. Made once, on first use.
inline const QString& fuzzTemp() {
    static const QString directory = [] {
        QByteArray pattern = QDir::tempPath().toLocal8Bit() + "/updater-fuzz-XXXXXX";
        const char* made = mkdtemp(pattern.data());
        if (made == nullptr)
            std::abort();
        setenv("TMPDIR", made, 1);
        return QString::fromLocal8Bit(made);
    }();
    return directory;
}

// Writes one input to a file in the private TEMP and returns its path.
inline QString writeInput(const QString& name, const uint8_t* data, size_t size) {
    const QString path = fuzzTemp() + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) !=
            static_cast<qint64>(size))
        std::abort();
    return path;
}

// The update log would grow by a few lines per input, millions of times over.
inline void dropLog() {
    QFile::remove(fuzzTemp() + QStringLiteral("/Vexta-Updater.log"));
}
