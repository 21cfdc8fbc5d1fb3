// Stands for the host application in end-to-end runs: it starts the updater from its install
// location as a host does, sees the updater's exit code, and stays alive until the update log
// shows a given line (the temporary copy waiting for it, say), so that the temporary copy has a
// real process to wait for.
//
// usage: e2e-host --pid-file FILE [--exit-after-log-line TEXT] [--give-up-ms N] [--detached]
//                 [--rewrite-installer SOURCE] -- PROGRAM ARGS...
//
// "{pid}" in ARGS and in TEXT is replaced by this process's ID. The PID is written to FILE before
// PROGRAM starts, in its own directory. The exit code is PROGRAM's, or 100 when it could not be
// started, 101 when it crashed, 102 when the log line did not appear within N ms (default 30000),
// 2 on a usage error. With --detached, PROGRAM is not waited for and the exit code is 0 once it
// has started. With --rewrite-installer, once the log line has appeared, the bytes of SOURCE are
// written over the installer that PROGRAM was given (its --installer), in place, as an attacker
// with the user's rights would while the updater waits for this process; SOURCE.outcome then says
// "written" or "refused".

#include "program_run.h"
#include "test_environment.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QThread>

#include <cstdio>

namespace {

constexpr int kUsageError = 2;
constexpr int kNotStarted = 100;
constexpr int kCrashed = 101;
constexpr int kLogLineMissing = 102;
// After the awaited line the host lingers a moment, so that the updater, which logs the line just
// before it opens the host's process, has surely opened it: the copy then always sees the host
// end rather than sometimes find it gone already.
constexpr unsigned long kGraceMs = 200;

int usage() {
    std::fputs("usage: e2e-host --pid-file FILE [--exit-after-log-line TEXT] [--give-up-ms N] "
               "[--detached] [--rewrite-installer SOURCE] -- PROGRAM ARGS...\n",
               stderr);
    return kUsageError;
}

bool writePidFile(const QString& path, qint64 pid) {
    QSaveFile file(path);
    const QByteArray text = QByteArray::number(pid) + '\n';
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit();
}

// Polls the update log of this process's TEMP until one of its messages equals line.
bool waitForLogLine(const QString& line, int giveUpMs) {
    const QString logPath = QDir::tempPath() + QStringLiteral("/Vexta-Updater.log");
    QElapsedTimer timer;
    timer.start();
    while (!timer.hasExpired(giveUpMs)) {
        QFile log(logPath);
        if (log.open(QIODevice::ReadOnly) && logMessagesOf(log.readAll()).contains(line))
            return true;
        QThread::msleep(10);
    }
    return false;
}

// Writes source's bytes over target, which must exist, in place (the same file, not a new one in
// its place), and records whether that was let through.
bool rewriteInPlace(const QString& target, const QString& source) {
    QFile replacement(source);
    QFile file(target);
    const bool written = replacement.open(QIODevice::ReadOnly) &&
                         file.open(QIODevice::WriteOnly | QIODevice::ExistingOnly) &&
                         file.resize(0) && file.write(replacement.readAll()) >= 0 && file.flush();
    QSaveFile outcome(source + QStringLiteral(".outcome"));
    return outcome.open(QIODevice::WriteOnly) &&
           outcome.write(written ? "written" : "refused") > 0 && outcome.commit();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    const QString pid = QString::number(QCoreApplication::applicationPid());

    QString pidFile;
    QString exitAfterLine;
    QString rewriteSource;
    int giveUpMs = 30000;
    bool detached = false;
    while (!arguments.isEmpty() && arguments.first() != QStringLiteral("--")) {
        const QString option = arguments.takeFirst();
        if (option == QStringLiteral("--detached")) {
            detached = true;
            continue;
        }
        if (arguments.isEmpty())
            return usage();
        const QString value = arguments.takeFirst();
        bool ok = true;
        if (option == QStringLiteral("--pid-file"))
            pidFile = value;
        else if (option == QStringLiteral("--exit-after-log-line"))
            exitAfterLine = QString(value).replace(QStringLiteral("{pid}"), pid);
        else if (option == QStringLiteral("--rewrite-installer"))
            rewriteSource = value;
        else if (option == QStringLiteral("--give-up-ms"))
            giveUpMs = value.toInt(&ok);
        else
            return usage();
        if (!ok)
            return usage();
    }
    if (pidFile.isEmpty() || arguments.size() < 2)
        return usage();
    arguments.removeFirst(); // "--"
    const QString program = arguments.takeFirst();
    arguments.replaceInStrings(QStringLiteral("{pid}"), pid);

    if (!writePidFile(pidFile, QCoreApplication::applicationPid()))
        return kUsageError;

    // A temporary copy started by hand waits for this process: it is not waited for in turn.
    const QString directory = QFileInfo(program).absolutePath(); // as started from its folder
    int exitCode = 0;
    if (detached) {
        if (!QProcess::startDetached(program, arguments, directory)) {
            std::fputs("e2e-host: the detached start failed\n", stderr);
            return kNotStarted;
        }
    } else {
        QProcess updater;
        updater.setProcessChannelMode(QProcess::ForwardedChannels);
        updater.setWorkingDirectory(directory);
        updater.start(program, arguments);
        if (!updater.waitForStarted()) {
            std::fprintf(stderr, "e2e-host: %s\n", qPrintable(updater.errorString()));
            return kNotStarted;
        }
        if (!waitForExit(updater, -1) || updater.exitStatus() != QProcess::NormalExit)
            return kCrashed;
        exitCode = updater.exitCode();
    }
    if (!exitAfterLine.isEmpty()) {
        if (!waitForLogLine(exitAfterLine, giveUpMs))
            return kLogLineMissing;
        QThread::msleep(kGraceMs);
    }
    const qsizetype installer = arguments.indexOf(QStringLiteral("--installer")) + 1;
    if (!rewriteSource.isEmpty() &&
        (installer == 0 || !rewriteInPlace(arguments.value(installer), rewriteSource)))
        return kUsageError;
    return exitCode;
}
