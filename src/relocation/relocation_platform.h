#pragma once

// The few things that differ between platforms when the updater relocates itself and removes its
// temporary directory afterwards. Everything else (the steps, their order, the log lines) is
// written once, in temporary_copy.cpp and self_delete.cpp.

#include <QString>
#include <QStringList>

namespace relocation::platform {

// File name of the updater executable inside the temporary updater directory.
QString updaterExecutableName();

// File name extension of the self-delete script, with its dot.
QString selfDeleteScriptSuffix();

// The self-delete script's text with both native paths filled in.
QString selfDeleteScriptText(const QString& nativeDirectory, const QString& nativeScriptPath);

// The interpreter that runs the script, and its arguments for the given native script path.
QString selfDeleteInterpreter();
QStringList selfDeleteInterpreterArguments(const QString& nativeScriptPath);

} // namespace relocation::platform
