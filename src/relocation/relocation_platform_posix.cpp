// POSIX: the updater is "Updater" and its self-delete script runs in /bin/sh.

#include "relocation_platform.h"
#include "self_delete_script.h"

#include <QProcess>

namespace relocation::platform {

QString updaterExecutableName() {
    return QStringLiteral("Updater");
}

QString selfDeleteScriptSuffix() {
    return QStringLiteral(".sh");
}

QByteArray selfDeleteScript(const QString& nativeDirectory, const QString& nativeScriptPath) {
    // The product always runs with the standard schedule; only tests build faster scripts.
    return posixSelfDeleteScript(nativeDirectory, nativeScriptPath).toLocal8Bit();
}

bool startSelfDeleteScript(const QString&, const QString& nativeScriptPath,
                           const QString& workingDirectory) {
    // The paths stand in the script, quoted as single shell words.
    return QProcess::startDetached(QStringLiteral("/bin/sh"), {nativeScriptPath}, workingDirectory);
}

} // namespace relocation::platform
