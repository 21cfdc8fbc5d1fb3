#include "program_run.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

#ifdef Q_OS_WIN
#include <windows.h>

#include <tlhelp32.h>
#else
#include <signal.h>
#endif

using namespace Qt::Literals::StringLiterals;

ProgramRun runProgram(const QString& program, const QStringList& arguments,
                      const QString& workingDirectory, int timeoutMs) {
    ProgramRun run;
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.start(program, arguments);
    run.finished =
        process.waitForFinished(timeoutMs) && process.exitStatus() == QProcess::NormalExit;
    if (!run.finished) {
        process.kill();
        process.waitForFinished();
    }
    run.exitCode = process.exitCode();
    run.standardOutput = process.readAllStandardOutput();
    run.standardError = process.readAllStandardError();
    return run;
}

bool waitForExit(QProcess& process, int timeoutMs) {
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    if (timeoutMs >= 0)
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (process.state() != QProcess::NotRunning)
        loop.exec();
    return process.state() == QProcess::NotRunning;
}

QByteArray readFileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void killProcessesRunningFrom(const QString& directory) {
    const QString prefix = QDir::cleanPath(directory) + u'/';
#ifdef Q_OS_WIN
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        const HANDLE process = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION,
                                           FALSE, entry.th32ProcessID);
        wchar_t image[MAX_PATH * 4];
        DWORD size = MAX_PATH * 4;
        if (process != nullptr && QueryFullProcessImageNameW(process, 0, image, &size) &&
            QDir::fromNativeSeparators(QString::fromWCharArray(image, size))
                .startsWith(prefix, Qt::CaseInsensitive))
            TerminateProcess(process, 137);
        if (process != nullptr)
            CloseHandle(process);
    }
    CloseHandle(snapshot);
#else
    for (const QString& pid : QDir(u"/proc"_s).entryList(QDir::Dirs)) {
        const QString executable = QFileInfo(u"/proc/%1/exe"_s.arg(pid)).symLinkTarget();
        if (executable.startsWith(prefix))
            ::kill(pid.toInt(), SIGKILL);
    }
#endif
}
