// Windows: the updater is "Updater.exe" and its self-delete script runs in cmd.exe.

#include "relocation_platform.h"
#include "self_delete_script.h"

#include <QDir>
#include <QProcess>

#include <windows.h>

namespace relocation::platform {

namespace {

// The Windows command interpreter from the system directory, never one found by a search that
// starts in a directory someone else may write to.
QString commandInterpreter() {
    wchar_t directory[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(directory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return QStringLiteral("cmd.exe");
    return QString::fromWCharArray(directory, static_cast<qsizetype>(length)) +
           QStringLiteral("\\cmd.exe");
}

} // namespace

QString updaterExecutableName() {
    return QStringLiteral("Updater.exe");
}

QString selfDeleteScriptSuffix() {
    return QStringLiteral(".cmd");
}

QByteArray selfDeleteScript(const QString&, const QString&) {
    // The paths never stand in the script: it is plain ASCII, so no code page can change it.
    return windowsSelfDeleteScript().toLatin1();
}

bool startSelfDeleteScript(const QString& nativeDirectory, const QString& nativeScriptPath,
                           const QString& workingDirectory) {
    // Both paths travel in the environment, which is UTF-16 from end to end, and the script reads
    // them with delayed expansion, which never parses a variable's value as a command: no
    // character of a path ("&", "(", ")", "%", "^", "!", any letter of any language) can change
    // what runs. The command line itself holds no path, and is written out exactly (/S: cmd.exe
    // strips the outer quotes and nothing else).
    QProcess script;
    script.setProgram(commandInterpreter());
    script.setNativeArguments(QStringLiteral("/D /V:ON /S /C \"\"!%1!\"\"").arg(kScriptVariable));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(kDirectoryVariable, nativeDirectory);
    environment.insert(kScriptVariable, nativeScriptPath);
    script.setProcessEnvironment(environment);
    script.setWorkingDirectory(workingDirectory);
    return script.startDetached();
}

} // namespace relocation::platform
