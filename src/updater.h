#pragma once

#include <QByteArray>
#include <QString>

// The whole update logic. One object lives on the stack of main() for the single call of run().
// Every stage is a member operation that returns true on success, logs its own detail lines
// through log(), and reads nothing from the object's state.
class Updater {
public:
    // Decides the role (original updater or temporary copy), runs that role's sequence and
    // returns the process exit code (0 to 10).
    int run(int argc, char** argv);

    // Appends one time-stamped line to the update log in the TEMP directory. Never fails
    // visibly: a line that cannot be written is dropped.
    void log(const QString& message);

    // Original updater: copies itself into a fresh temporary updater directory and starts that
    // copy detached with the same arguments plus "--temporary-copy".
    bool relaunchFromTemporaryCopy(int argc, char** argv);

    // Temporary copy: the strict command-line grammar. Fills all four values on true.
    bool parseArguments(int argc, char** argv, long long& targetPid, QString& installerPath,
                        QString& expectedSha256, QString& restartPath);

    bool validateStagingDirectory(const QString& installerPath, const QString& manifestPath);
    bool validateManifest(const QString& manifestPath, const QString& installerPath,
                          const QString& expectedSha256);
    bool waitForApplication(long long targetPid);

    // SHA-256 of a whole file, streamed in 1 MiB chunks; empty on failure.
    QByteArray calculateSha256(const QString& path);
    bool verifySha256(const QString& installerPath, const QString& expectedSha256);

    bool verifyAuthenticode(const QString& installerPath);
    bool runInstaller(const QString& installerPath);
    bool restartApplication(const QString& restartPath);

    // Writes and starts the script that removes the temporary updater directory once this
    // process has exited.
    bool scheduleSelfDelete(const QString& executablePath);

private:
    int runOriginalUpdater(int argc, char** argv);
    int runTemporaryCopy(int argc, char** argv);
    bool cleanStagingArea(const QString& installerPath, const QString& manifestPath);
    int finishSuccessfulUpdate(const QString& installerPath, const QString& manifestPath);

    bool isTemporaryCopy = false;
};
