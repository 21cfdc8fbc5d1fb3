// Windows: the updater is "Updater.exe" and its self-delete script runs in cmd.exe.

#include "relocation_platform.h"
#include "self_delete_script.h"

namespace relocation::platform {

QString updaterExecutableName() {
    return QStringLiteral("Updater.exe");
}

QString selfDeleteScriptSuffix() {
    return QStringLiteral(".cmd");
}

QString selfDeleteScriptText(const QString& nativeDirectory, const QString& nativeScriptPath) {
    return windowsSelfDeleteScript(nativeDirectory, nativeScriptPath);
}

QString selfDeleteInterpreter() {
    return QStringLiteral("cmd.exe");
}

QStringList selfDeleteInterpreterArguments(const QString& nativeScriptPath) {
    return {QStringLiteral("/C"), nativeScriptPath};
}

} // namespace relocation::platform
