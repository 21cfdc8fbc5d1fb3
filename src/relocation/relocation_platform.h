#pragma once

// The few things that differ between platforms when the updater relocates itself and removes its
// temporary directory afterwards. Everything else (the steps, their order, the log lines) is
// written once, in temporary_copy.cpp, stale_copies.cpp and self_delete.cpp.

#include <QByteArray>
#include <QString>

namespace relocation::platform {

// File name of the updater executable inside the temporary updater directory.
QString updaterExecutableName();

// File name extension of the self-delete script, with its dot.
QString selfDeleteScriptSuffix();

// The self-delete script's bytes: the same for every update, with no path in it.
QByteArray selfDeleteScript();

// Starts the written script detached, in TEMP, to remove the directory and then the script itself
// (both paths in Qt's form); false when it could not be started.
bool startSelfDelete(const QString& directory, const QString& script);

// Lets the started temporary copy take the foreground, as far as this process may (Windows:
// AllowSetForegroundWindow), so that the consent prompt it raises later is shown in front, not as
// a flashing taskbar button; nothing to do elsewhere.
void handForeground(qint64 processId);

} // namespace relocation::platform
