// Throughput of the updater's streamed SHA-256 against the openssl and sha256sum command lines
// on one generated 1 GiB file, and the updater's peak resident memory for files of growing size.
//
//   bench_sha256               the whole benchmark; files live in a private directory under TEMP
//   bench_sha256 --peak FILE   hash FILE and print this process's peak resident bytes

#include "peak_memory.h"
#include "updater.h"
#include "verification/installer_file.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr qint64 kMiB = 1048576;
constexpr qint64 kGiB = 1024 * kMiB;

struct Measurement {
    QString name;
    double seconds = 0;
    QString digest; // empty: the tool is missing or failed
};

// Writes `size` bytes of pseudo-random content, 1 MiB at a time.
bool writeFile(const QString& path, qint64 size) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray block(kMiB, Qt::Uninitialized);
    QRandomGenerator generator(42);
    generator.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
    for (qint64 written = 0; written < size; written += block.size()) {
        block[0] = static_cast<char>(written / kMiB); // no two blocks alike
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
    QByteArray block(kMiB, Qt::Uninitialized);
    while (file.read(block.data(), block.size()) > 0) {
    }
}

Measurement timeUpdater(const QString& path) {
    Updater updater;
    QElapsedTimer timer;
    timer.start();
    const std::unique_ptr<InstallerFile> file = InstallerFile::open(path);
    const QByteArray digest = file ? updater.calculateSha256(*file) : QByteArray();
    return {QStringLiteral("Updater::calculateSha256"), timer.nsecsElapsed() / 1e9,
            QString::fromLatin1(digest.toHex())};
}

Measurement timeTool(const QString& name, const QString& program, const QStringList& arguments) {
    Measurement measurement{name, 0, {}};
    const QString executable = QStandardPaths::findExecutable(program);
    if (executable.isEmpty())
        return measurement;
    QProcess process;
    QElapsedTimer timer;
    timer.start();
    process.start(executable, arguments);
    if (!process.waitForFinished(-1) || process.exitCode() != 0)
        return measurement;
    measurement.seconds = timer.nsecsElapsed() / 1e9;
    // Both tools print the digest first, followed by a blank.
    measurement.digest =
        QString::fromLatin1(process.readAllStandardOutput()).section(QLatin1Char(' '), 0, 0);
    return measurement;
}

// Peak resident memory of a fresh process that hashes one file and nothing else.
qint64 peakOfChild(const QString& path) {
    QProcess process;
    process.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--peak"), path});
    if (!process.waitForFinished(-1) || process.exitCode() != 0)
        return -1;
    return process.readAllStandardOutput().trimmed().toLongLong();
}

int runBenchmark() {
    QTemporaryDir directory(QDir::tempPath() + QStringLiteral("/bench-sha256-XXXXXX"));
    if (!directory.isValid()) {
        std::fprintf(stderr, "cannot create a private directory under %s\n",
                     qPrintable(QDir::tempPath()));
        return 1;
    }
    // The updater logs into TEMP: keep its log inside the private directory too.
    qputenv("TMPDIR", directory.path().toLocal8Bit());
    qputenv("TMP", directory.path().toLocal8Bit());
    qputenv("TEMP", directory.path().toLocal8Bit());

    const QString empty = directory.filePath(QStringLiteral("empty.bin"));
    const QString medium = directory.filePath(QStringLiteral("64MiB.bin"));
    const QString large = directory.filePath(QStringLiteral("1GiB.bin"));
    std::printf("Generating test files in %s ...\n", qPrintable(directory.path()));
    std::fflush(stdout);
    if (!writeFile(empty, 0) || !writeFile(medium, 64 * kMiB) || !writeFile(large, kGiB)) {
        std::fprintf(stderr, "cannot write the test files\n");
        return 1;
    }

    // Read once so that every contender starts from the page cache.
    readThrough(large);

    std::vector<Measurement> results{
        timeUpdater(large),
        timeTool(QStringLiteral("openssl dgst -sha256"), QStringLiteral("openssl"),
                 {QStringLiteral("dgst"), QStringLiteral("-sha256"), QStringLiteral("-r"), large}),
        timeTool(QStringLiteral("sha256sum"), QStringLiteral("sha256sum"),
                 {QStringLiteral("--binary"), large}),
    };

    double fastest = 0;
    for (const Measurement& m : results) {
        if (!m.digest.isEmpty() && (fastest == 0 || m.seconds < fastest))
            fastest = m.seconds;
    }

    std::printf("\nSHA-256 of a 1 GiB file (%lld bytes, in the page cache)\n",
                static_cast<long long>(kGiB));
    std::printf("%-26s %9s %10s %18s  %s\n", "implementation", "seconds", "MB/s",
                "speed vs fastest", "digest");
    bool agree = true;
    for (const Measurement& m : results) {
        if (m.digest.isEmpty()) {
            std::printf("%-26s %9s\n", qPrintable(m.name), "not available");
            continue;
        }
        agree = agree && m.digest == results.front().digest;
        std::printf("%-26s %9.3f %10.1f %17.2fx  %s\n", qPrintable(m.name), m.seconds,
                    kGiB / 1e6 / m.seconds, fastest / m.seconds, qPrintable(m.digest.left(16)));
    }
    std::printf("digests %s\n", agree ? "agree" : "DIFFER");

    std::printf("\nPeak resident memory of a process that runs Updater::calculateSha256\n");
    for (const auto& [label, path] :
         {std::pair{"empty file", empty}, std::pair{"64 MiB file", medium},
          std::pair{"1 GiB file", large}}) {
        const qint64 peak = peakOfChild(path);
        std::printf("%-12s %8.1f MiB\n", label, peak / double(kMiB));
    }
    return agree ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 3 && arguments.at(1) == QLatin1String("--peak")) {
        Updater updater;
        const std::unique_ptr<InstallerFile> file = InstallerFile::open(arguments.at(2));
        if (!file || updater.calculateSha256(*file).isEmpty())
            return 1;
        std::printf("%lld\n", static_cast<long long>(peakResidentBytes()));
        return 0;
    }
    return runBenchmark();
}
