// The verification's speed and memory in one run, on files generated for it: the private copy of
// the installer (made in one pass with its SHA-256 and image digest) and the SHA-256 stage against
// openssl and sha256sum on a 1 GiB file, the Authenticode verification of a large signed image
// against osslsigncode (POSIX), and the peak memory, resident and shared, of a process that opens
// one file (empty, 64 MiB, 1 GiB, and a sparse 3 GiB that the build's limit refuses). Each figure
// is the best of a few rounds; nothing is asserted.
// scripts/bench-verification.sh builds it and runs it, on Linux and under Wine.
//
//   bench_verification [--work DIR] [--rounds N]
//       the whole benchmark; its files are made in DIR and left there (a later run, also the
//       Windows build under Wine, measures the same files), or else in a private directory under
//       TEMP that is removed afterwards
//   bench_verification --peak FILE
//       opens and hashes FILE, then prints this process's peak resident bytes, the bytes that the
//       opened file holds outside them, and whether it was refused

#include "authenticode_bench.h"
#include "generated_file.h"
#include "measurement.h"
#include "process_usage.h"
#include "updater.h"
#include "verification/installer_file.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

namespace {

constexpr qint64 kMiB = 1048576;

struct Tool {
    QString name;
    QString program;
    QStringList arguments;
};

struct ToolFigures {
    Timing best;
    QByteArray digest;  // lowercase hex
    QByteArray failure; // empty when the tool ran
};

// The SHA-256 stage as an update runs it (the installer opened once, then hashed) against the
// command-line tools, in interleaved rounds on one file that is in the page cache.
bool benchSha256(const QString& path, int rounds) {
    readThrough(path);
    const std::vector<Tool> tools{
        {QStringLiteral("openssl dgst -sha256"),
         QStringLiteral("openssl"),
         {QStringLiteral("dgst"), QStringLiteral("-sha256"), QStringLiteral("-r"), path}},
        {QStringLiteral("sha256sum"),
         QStringLiteral("sha256sum"),
         {QStringLiteral("--binary"), path}},
    };
    std::vector<ToolFigures> figures(tools.size());
    Timing stage;
    QByteArray digest;
    for (int round = 0; round < rounds; ++round) {
        {
            // The copy, its SHA-256 and its image digest are one pass; calculateSha256 returns
            // what that pass found.
            Updater updater;
            const Timing timing = measure([&] {
                const std::unique_ptr<InstallerFile> file = InstallerFile::open(path).file;
                digest = file ? updater.calculateSha256(*file).toHex() : QByteArray();
            });
            if (digest.isEmpty()) {
                std::fprintf(stderr, "the updater could not hash %s\n", qPrintable(path));
                return false;
            }
            stage = round == 0 ? timing : Timing::best(stage, timing);
        }
        for (std::size_t i = 0; i < tools.size(); ++i) {
            const ToolRun run = runTool(tools[i].program, tools[i].arguments);
            figures[i].failure = run.succeeded ? QByteArray() : run.output.trimmed();
            if (run.succeeded) {
                figures[i].best = Timing::best(figures[i].best, run.timing);
                figures[i].digest = run.output.left(64); // both print the digest first
            }
        }
    }

    const qint64 size = QFileInfo(path).size();
    const double openssl = figures.front().failure.isEmpty() ? figures.front().best.wallSeconds : 0;
    printTableHeader(QStringLiteral("SHA-256 of a file of %1 bytes, in the page cache").arg(size),
                     QStringLiteral("openssl"));
    printTableRow(QStringLiteral("open + calculateSha256"), stage, size, openssl);
    int compared = 0;
    bool agree = true;
    for (std::size_t i = 0; i < tools.size(); ++i) {
        if (!figures[i].failure.isEmpty()) {
            printTableNote(tools[i].name, QStringLiteral("not measured: ") +
                                              QString::fromLocal8Bit(figures[i].failure.left(60)));
            continue;
        }
        printTableRow(tools[i].name, figures[i].best, size, openssl);
        agree = agree && figures[i].digest == digest;
        ++compared;
    }
    std::printf("SHA-256 %s, %s\n", digest.constData(),
                compared == 0 ? "no tool to compare it with"
                : agree       ? "the same from every contender"
                              : "DIFFERENT from a tool's");
    return agree;
}

// Peak resident memory of a fresh process that opens and hashes one file and does nothing else.
bool benchPeakMemory(const std::vector<std::pair<QString, QString>>& files) {
    std::printf("\nPeak memory of a process that opens one file and hashes it\n%-14s %12s  %s\n",
                "file", "peak RSS", "private copy outside the RSS (POSIX: shared memory)");
    bool measured = true;
    for (const auto& [label, path] : files) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--peak"), path});
        const QList<QByteArray> bytes = child.waitForFinished(-1) && child.exitCode() == 0
                                            ? child.readAllStandardOutput().trimmed().split(' ')
                                            : QList<QByteArray>();
        if (bytes.size() != 3) {
            std::printf("%-14s not measured\n", qPrintable(label));
            measured = false;
            continue;
        }
        std::printf("%-14s %8.1f MiB  %8.1f MiB%s\n", qPrintable(label),
                    static_cast<double>(bytes[0].toLongLong()) / kMiB,
                    static_cast<double>(bytes[1].toLongLong()) / kMiB,
                    bytes[2] == "refused" ? "  (refused before a byte was copied)" : "");
    }
    return measured;
}

int printPeakOf(const QString& path) {
    Updater updater;
    const std::unique_ptr<InstallerFile> file = InstallerFile::open(path).file;
    if (file && updater.calculateSha256(*file).isEmpty())
        return 1;
    std::printf("%lld %lld %s\n", static_cast<long long>(peakResidentBytes()),
                static_cast<long long>(file ? heldCopyBytes(*file) : 0),
                file ? "copied" : "refused");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 3 && arguments.at(1) == QLatin1String("--peak"))
        return printPeakOf(arguments.at(2));

    QString work;
    int rounds = 3;
    for (qsizetype i = 1; i < arguments.size(); i += 2) {
        const QString value = i + 1 < arguments.size() ? arguments.at(i + 1) : QString();
        if (arguments.at(i) == QLatin1String("--work") && !value.isEmpty()) {
            work = QDir::fromNativeSeparators(value);
        } else if (arguments.at(i) == QLatin1String("--rounds") && value.toInt() > 0) {
            rounds = value.toInt();
        } else {
            std::fprintf(stderr,
                         "usage: bench_verification [--work DIR] [--rounds N] | --peak FILE\n");
            return 2;
        }
    }
    std::optional<QTemporaryDir> privateDirectory;
    if (work.isEmpty()) {
        privateDirectory.emplace(QDir::tempPath() + QStringLiteral("/bench-verification-XXXXXX"));
        work = privateDirectory->path();
    }
    const QString empty = work + QStringLiteral("/empty.bin");
    const QString medium = work + QStringLiteral("/64MiB.bin");
    const QString large = work + QStringLiteral("/1GiB.bin");
    const QString sparse = work + QStringLiteral("/3GiB-sparse.bin");
    std::printf("Files in %s; every figure is the best of %d rounds.\n", qPrintable(work), rounds);
    std::fflush(stdout);
    QFile sparseFile(sparse);
    if (!QDir().mkpath(work) || !writeGeneratedFile(empty, 0) ||
        !writeGeneratedFile(medium, 64 * kMiB) || !writeGeneratedFile(large, 1024 * kMiB) ||
        !sparseFile.open(QIODevice::WriteOnly) || !sparseFile.resize(3072 * kMiB)) {
        std::fprintf(stderr, "cannot write the files in %s\n", qPrintable(work));
        return 1;
    }

    bool complete = benchSha256(large, rounds);
    std::fflush(stdout);
    complete = benchAuthenticode(work, rounds) && complete;
    complete = benchPeakMemory({{QStringLiteral("empty"), empty},
                                {QStringLiteral("64 MiB"), medium},
                                {QStringLiteral("1 GiB"), large},
                                {QStringLiteral("3 GiB sparse"), sparse}}) &&
               complete;
    return complete ? 0 : 1;
}
