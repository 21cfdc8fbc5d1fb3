#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <chrono>

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
    // The same installer is never started again after the updater refused it for its digest or
    // its signature (exits 6 and 7). After it failed or the user declined the elevation prompt
    // (exit 8) it is not started again for retryDelay, unless the user asked for this update
    // (userRequested, which changes nothing for exits 6 and 7).
    bool userRequested = false;
    std::chrono::seconds retryDelay = std::chrono::hours(24);
};

struct UpdateLaunch {
    // True once the updater has been started; the host should then exit promptly, since the
    // updater waits at most two minutes for it.
    bool started = false;
    // What went wrong, one sentence, when started is false.
    QString errorMessage;
    // Not started because of how the last update of the same installer ended (see retryDelay):
    // nothing is wrong with the request itself.
    bool heldBack = false;

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

// How the last update ended, as the updater's temporary copy recorded it beside the update log in
// TEMP (host-contract.md): its exit code (0: installed and restarted; see the README's table) with
// its meaning, when, and for which installer.
struct UpdateOutcome {
    bool recorded = false; // false: no readable record in that TEMP
    int exitCode = -1;
    QString meaning;
    QDateTime time; // UTC
    QString installerSha256;
    QString restartApplication;
};

// The record in tempDirectory (empty: QDir::tempPath()).
UpdateOutcome lastUpdateOutcome(const QString& tempDirectory = QString());

} // namespace UpdaterHost
