// POSIX: the updater is "Updater" and its self-delete script runs in /bin/sh.

#include "relocation_platform.h"
#include "self_delete_script.h"

namespace relocation::platform {

QString updaterExecutableName() {
    return QStringLiteral("Updater");
}

QString selfDeleteScriptSuffix() {
    return QStringLiteral(".sh");
}

QString selfDeleteScriptText(const QString& nativeDirectory, const QString& nativeScriptPath) {
    // The product always runs with the standard schedule; only tests build faster scripts.
    return posixSelfDeleteScript(nativeDirectory, nativeScriptPath);
}

QString selfDeleteInterpreter() {
    return QStringLiteral("/bin/sh");
}

QStringList selfDeleteInterpreterArguments(const QString& nativeScriptPath) {
    return {nativeScriptPath};
}

} // namespace relocation::platform
