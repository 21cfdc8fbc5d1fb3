#pragma once

#include <QString>
#include <QStringList>

// Hands a downloaded installer to the updater: one call stages it in a fresh staging directory
// under TEMP, with its manifest, and starts the updater detached for the current process.
namespace UpdaterHost {

struct UpdateRequest {
    // The downloaded installer, anywhere this process can read it. It is copied, never moved.
    QString installerFile;
    // The updater executable in its install location (Updater.exe on Windows).
    QString updaterExecutable;
    // The application to start again once the installer has run: absolute, usually this
    // process's own QCoreApplication::applicationFilePath().
    QString restartApplication;
    // Where the staging directory is made. Empty: QDir::tempPath(). The updater only accepts a
    // staging directory directly in the TEMP directory that it sees itself, so a host sets this
    // only when it starts the updater with the same TEMP.
    QString tempDirectory;
};

struct UpdateLaunch {
    // True once the updater has been started; the host should then exit promptly, since the
    // updater waits at most two minutes for it.
    bool started = false;
    // What went wrong, one sentence, when started is false.
    QString errorMessage;

    // Filled as the staging goes on. After a failure the staging directory has been removed
    // again, and these only tell what was attempted.
    QString stagingDirectory;
    QString installerPath;
    QString manifestPath;
    QString sha256; // 64 lowercase hexadecimal digits

    // The arguments the updater was started with, and its process ID.
    QStringList updaterArguments;
    qint64 updaterProcessId = 0;
};

// Creates "Quindlebrookware-Update-<uuid>" directly in TEMP, copies the installer into it as
// "installer.exe" while computing its SHA-256, writes "manifest.json", and starts the updater
// detached with "--pid" (this process), "--installer", "--sha256" and "--restart". On any
// failure after the staging directory was created, the directory is removed again.
UpdateLaunch startUpdate(const UpdateRequest& request);

} // namespace UpdaterHost
