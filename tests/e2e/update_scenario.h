#pragma once

// One complete update as a host application starts it, set up in a test's private directory:
//
//   <root>/TEMP                the private TEMP (ScopedTemp): log, staging, temporary updater
//   <root>/install/Updater     the installed updater (plus the build's runtime libraries)
//   <root>/app/Application     the application to restart: records its directory and arguments
//   <root>/records/            what the installer payload and the restarted application write
//
// The installer is an image that /bin/sh runs (installer_image.h), signed with the pinned TEST
// publisher's key. Its payload appends one line per run to records/installer-runs: whether the
// host process still existed, how many arguments it got and its working directory.

#include "test_environment.h"

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace e2e {

extern const QString kBanner;

// The stages of the temporary copy, in their order; each includes the run's own line after it.
enum class Stage {
    Start,         // the opening block
    Arguments,     // "Arguments parsed successfully." and the parsed values
    Staging,       // "Staging directory validation passed."
    Manifest,      // "Update manifest validation passed."
    InstallerFile, // "Installer exists and is readable." and its size
    Wait,          // the wait and "Application closed successfully."
    Digest,        // both digests and "SHA-256 verification PASSED."
    Signature,     // the signature lines and "Strict Authenticode verification PASSED."
    InstallerRun,  // the installer's start, its exit code 0 and "Installer completed successfully."
};

// The temporary copy's lines for every stage up to and including last, with the placeholders
// {pid}, {installer}, {restart}, {size}, {sha256}, {pin} and {dir}.
QStringList copyBlockThrough(Stage last);
// The lines of a successful run after the installer, with {restart}, {dir}, {script1} and, for a
// staging directory that held an extra file, {script2}.
QStringList successTail(bool extraFile);
// The closing banner as the log's messages show it: the banner and three empty lines.
QStringList closingBanner();
// The original updater's block after a successful relaunch, with {dir}.
QStringList originalBlock();

// Replaces each {key} of the map in every line.
QStringList filled(QStringList lines, const QMap<QString, QString>& values);

// The log's messages with the temporary updater directory's path replaced by {dir} and the
// self-delete scripts' paths by {script1}, {script2}, ... in the order in which they appear.
struct NormalisedLog {
    QStringList messages;
    QString temporaryDirectory; // the path that {dir} stands for; empty if none was logged
};
NormalisedLog normalised(const QStringList& messages, const QString& tempPath);

// Whether the log holds both processes' expected blocks, each in order: the original's last
// lines may fall among the copy's first ones. On a mismatch all three are printed as warnings (a
// failure message would be cut short).
bool matchesBlocks(const QStringList& messages, const QStringList& original,
                   const QStringList& copy);

// Waits until the log holds at least count messages; returns what it holds then.
QStringList waitForLogSize(const ScopedTemp& temp, qsizetype count, int timeoutMs = 30000);

// The upper-case SHA-256 thumbprint of a TEST certificate from its committed thumbprint file.
QString testThumbprint(const QString& certificate);
QString sha256Hex(const QByteArray& bytes);

struct Staged {
    QString directory;
    QString installer;
    QString manifest;
    QByteArray installerBytes;
    QString installerSha256;
};

struct HostRun {
    bool finished = false;
    int exitCode = -1; // what the host saw from the updater it started
    QString pid;       // the host's process ID
    QByteArray output;
};

class UpdateScenario {
public:
    explicit UpdateScenario(const ScopedTemp& temp);

    // Installs the updater and the restart recorder and makes the records directory; false with
    // error set when something could not be laid out.
    bool install(QString& error);

    QString root() const { return root_; }
    QString updater() const { return root_ + QStringLiteral("/install/Updater"); }
    QString application() const { return root_ + QStringLiteral("/app/Application"); }
    QString recordPath(const QString& name) const {
        return root_ + QStringLiteral("/records/") + name;
    }

    // An installer image whose payload records its run and exits with payloadExitCode; signed
    // with the pinned TEST publisher unless sign is false. Empty with error set on failure.
    QByteArray makeInstaller(int payloadExitCode, bool sign, QString& error) const;

    // A staging directory under TEMP (a fresh valid name unless name is given) with the installer
    // bytes as installer.exe and a manifest that announces manifestSha256.
    Staged stage(const QByteArray& installer, const QString& manifestSha256,
                 const QString& name = QString()) const;

    // install(), a signed installer whose payload exits with 0, and its staging with a matching
    // manifest: the common start of the cases about a single stage. False with error set.
    bool prepare(Staged& staged, QString& error);

    // Empty when a run left the staging area as it was, one temporary updater directory and no
    // self-delete script in TEMP, and neither ran the installer nor restarted the application;
    // otherwise what differs.
    QString untouchedDifference(const Staged& staged) const;

    // Runs the host, which starts program with arguments ("{pid}" is the host's ID) and exits
    // once the updater has exited and, if exitAfterLogLine is set, the log shows that line.
    HostRun runHost(const QString& program, const QStringList& arguments,
                    const QString& exitAfterLogLine, int timeoutMs = 60000) const;
    // The usual command line of the original updater for a staged installer.
    QStringList updaterArguments(const Staged& staged, const QString& sha256,
                                 const QString& restart) const;

    // The payload's lines, the restarted application's record (empty when it never ran).
    QStringList installerRuns() const;
    QStringList restartRecord() const;
    // Entries of TEMP (names only), sorted.
    QStringList tempEntries() const;

private:
    const ScopedTemp& temp_;
    QString root_;
};

} // namespace e2e
