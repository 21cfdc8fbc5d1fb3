// Windows: the updater is "Updater.exe" and its self-delete script runs in cmd.exe.

#include "relocation_platform.h"
#include "self_delete_script.h"

#include <QDir>
#include <QProcess>

#include <windows.h>

namespace relocation::platform {

namespace {

// The system directory, from the system itself (never from the environment).
QString systemDirectory() {
    wchar_t directory[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(directory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return QStringLiteral("C:\\Windows\\System32");
    return QString::fromWCharArray(directory, static_cast<qsizetype>(length));
}

} // namespace

QString updaterExecutableName() {
    return QStringLiteral("Updater.exe");
}

QString selfDeleteScriptSuffix() {
    return QStringLiteral(".cmd");
}

QByteArray selfDeleteScript() {
    // Plain ASCII: no code page can change it.
    return windowsSelfDeleteScript().toLatin1();
}

bool startSelfDelete(const QString& directory, const QString& script) {
    // The paths travel in the environment, which is UTF-16 from end to end, and the script reads
    // them with delayed expansion, which never parses a variable's value as a command: no
    // character of a path ("&", "(", ")", "%", "^", "!", any letter of any language) can change
    // what runs. The command line itself holds no path, and is written out exactly (/S: cmd.exe
    // strips the outer quotes and nothing else). cmd.exe, timeout.exe and ping.exe all come from
    // the system directory, never from a search that begins in a directory someone may write to.
    QProcess interpreter;
    const QString system = systemDirectory();
    interpreter.setProgram(system + QStringLiteral("\\cmd.exe"));
    interpreter.setNativeArguments(
        QStringLiteral("/D /V:ON /S /C \"\"!%1!\"\"").arg(kScriptVariable));
    QProcessEnvironment environment = selfDeleteEnvironment(directory, script);
    environment.insert(kSystemDirectoryVariable, system);
    interpreter.setProcessEnvironment(environment);
    interpreter.setWorkingDirectory(QDir::tempPath());
    return interpreter.startDetached();
}

void handForeground(qint64 processId) {
    AllowSetForegroundWindow(static_cast<DWORD>(processId));
}

} // namespace relocation::platform
