#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class HeldDirectory;
class InstallerFile;
struct RunValues;

// The whole update logic. One object lives on the stack of main() for the single call of run().
// Every stage is a member operation that returns true on success, logs its own detail lines
// through log(), and reads nothing from the object's state.
class Updater {
public:
    // Decides the role (original updater or temporary copy), runs that role's sequence and
    // returns the process exit code (0 to 10). arguments[0] is the program itself; the rest come
    // from the platform's own command line (UTF-16 on Windows), as QCoreApplication gives them.
    int run(const QStringList& arguments);

    // Appends one time-stamped line to the update log in the TEMP directory. Never fails
    // visibly: a line that cannot be written is dropped.
    void log(const QString& message);

    // Original updater: removes what killed copies left in TEMP, copies itself into a fresh
    // temporary updater directory and starts that copy detached with the same arguments plus
    // "--temporary-copy".
    bool relaunchFromTemporaryCopy(const QStringList& arguments);

    // Temporary copy: the strict command-line grammar. Fills all four values on true.
    bool parseArguments(const QStringList& arguments, long long& targetPid, QString& installerPath,
                        QString& expectedSha256, QString& restartPath);

    bool validateStagingDirectory(const QString& installerPath, const QString& manifestPath);
    bool validateManifest(const QString& manifestPath, const QString& installerPath,
                          const QString& expectedSha256);

    bool waitForApplication(long long targetPid);

    // The stages from here to runInstaller take the installer as the run opened it once
    // (InstallerFile, a private copy), never its path: the bytes that run are the bytes that
    // were checked.

    // SHA-256 of the whole installer, taken while its private copy was made, through the
    // platform's own hashing; empty on a read error.
    QByteArray calculateSha256(const InstallerFile& installer);
    bool verifySha256(const InstallerFile& installer, const QString& expectedSha256);

    bool verifyAuthenticode(const InstallerFile& installer);
    // When the build binds a product (UPDATER_PRODUCT_NAME): the installer's version resource
    // names that product, at this installation's version or later. Without a binding it logs
    // nothing and passes.
    bool verifyProductBinding(const InstallerFile& installer);
    // computerRestarting: the installer succeeded and has started a restart of the computer.
    bool runInstaller(const InstallerFile& installer, bool& computerRestarting);
    bool restartApplication(const QString& restartPath);

    // Writes and starts the script that removes the temporary updater directory once this
    // process has exited.
    bool scheduleSelfDelete(const QString& executablePath);

private:
    int runOriginalUpdater(const QStringList& arguments);
    int runTemporaryCopy(const QStringList& arguments);
    bool cleanStagingArea(HeldDirectory& staging);
    int finishSuccessfulUpdate(HeldDirectory& staging, const RunValues& run,
                               bool computerRestarting);
    int endFailedRun(int exitCode, RunValues& run);
    void scheduleOwnRemoval();
    void recordOutcome(int exitCode, const RunValues& run, bool computerRestarting = false);

    bool isTemporaryCopy = false;
};
