#pragma once

// The few things that differ between platforms when the updater relocates itself and removes its
// temporary directory afterwards. Everything else (the steps, their order, the log lines) is
// written once, in temporary_copy.cpp and self_delete.cpp.

#include <QByteArray>
#include <QString>

namespace relocation::platform {

// File name of the updater executable inside the temporary updater directory.
QString updaterExecutableName();

// File name extension of the self-delete script, with its dot.
QString selfDeleteScriptSuffix();

// The self-delete script's bytes, for the directory to remove and the script's own path (both
// with native separators).
QByteArray selfDeleteScript(const QString& nativeDirectory, const QString& nativeScriptPath);

// Starts the written script detached, in workingDirectory, for the same two paths; false when it
// could not be started.
bool startSelfDeleteScript(const QString& nativeDirectory, const QString& nativeScriptPath,
                           const QString& workingDirectory);

} // namespace relocation::platform
