#pragma once

// The removal of the temporary updater directory after the temporary copy has exited.

#include "temporary_copy.h"

namespace relocation {

// Writes "Quindlebrookware-Updater-Cleanup-<uuid>" with the platform's script suffix directly
// into TEMP and starts it detached there; the script removes the directory that holds the given
// executable once this process has gone, then itself. Logs every step and failure. True when the
// script was started, and when nothing exists at the given path (nothing is scheduled then).
bool scheduleDirectoryRemoval(const QString& executablePath, const LogFunction& log);

} // namespace relocation
