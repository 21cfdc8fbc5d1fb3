#pragma once

// What every updater process does first, before anything else runs: the platform's own
// hardening of the process.
// - Windows: DLLs load only from the system directory and the program's own folder (the
//   temporary updater directory, which holds Qt6Core.dll), never from the working directory or
//   PATH.
// - POSIX: every descriptor this process inherited becomes close-on-exec, so that nothing of the
//   host's, nor the claim that a temporary copy inherits from its original, reaches the installer
//   or the restarted application; the process itself keeps them.
void prepareProgram();
