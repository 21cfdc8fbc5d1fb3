// POSIX: the updater is "Updater" and its self-delete script runs in /bin/sh.

#include "relocation_platform.h"
#include "self_delete_script.h"

#include <QDir>
#include <QProcess>

namespace relocation::platform {

QString updaterExecutableName() {
    return QStringLiteral("Updater");
}

QString selfDeleteScriptSuffix() {
    return QStringLiteral(".sh");
}

QByteArray selfDeleteScript() {
    // The product always runs with the standard schedule; only tests build faster scripts.
    return posixSelfDeleteScript().toLatin1();
}

bool startSelfDelete(const QString& directory, const QString& script) {
    QProcess shell;
    shell.setProgram(QStringLiteral("/bin/sh"));
    shell.setArguments({script});
    shell.setProcessEnvironment(selfDeleteEnvironment(directory, script));
    shell.setWorkingDirectory(QDir::tempPath());
    return shell.startDetached();
}

void handForeground(qint64) {}

} // namespace relocation::platform
