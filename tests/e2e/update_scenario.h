#pragma once

// The fixture of the end-to-end table: one update as a host application starts it, laid out in a
// test's private directory beside its TEMP:
//
//   <root>/<TEMP>     the private TEMP (ScopedTemp): log, staging, temporary updater directory
//   <root>/install/   the updater as it ships, with its runtime libraries
//   <root>/app/       the application to restart: records its working directory and arguments
//   <root>/records/   host.pid, and what the installer and the restarted application record
//
// The installers are signed when the suite is built (installer_win.cpp, installer_payload.sh).
// The environment, which reaches them through host, updater and temporary copy, says where they
// record and what they return. Paths that the host passes are native, as a host passes them
// (backslashes on Windows); the log reader takes both LF and the CR LF of Windows.

#include "test_environment.h"

#include <QByteArray>
#include <QMap>
#include <QProcessEnvironment>
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
// {pid}, {installer}, {restart}, {size}, {sha256} and {pin}.
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

// The log's messages with the temporary updater directory's path (one made in TEMP, or the given
// one) replaced by {dir} and the self-delete scripts' paths by {script1}, {script2}, ... in the
// order in which they appear.
struct NormalisedLog {
    QStringList messages;
    QString temporaryDirectory; // the path that {dir} stands for; empty if none was logged
    QStringList scripts;        // the paths that {script1}, {script2}, ... stand for
};
NormalisedLog normalised(const QStringList& messages, const QString& tempPath,
                         const QString& copyDirectory = QString());

// Whether the log holds both processes' expected blocks, each in order: the original's last
// lines may fall among the copy's first ones. On a mismatch all three are printed as warnings (a
// failure message would be cut short).
bool matchesBlocks(const QStringList& messages, const QStringList& original,
                   const QStringList& copy);

// Waits until the log holds at least count messages; returns what it holds then.
QStringList waitForLogSize(const ScopedTemp& temp, qsizetype count, int timeoutMs = 30000);

// The SHA-256 thumbprint, upper case, of the TEST certificate tests/pki/<certificate>.pem.
QString thumbprintOf(const QString& certificate);
QString sha256Hex(const QByteArray& bytes);

struct Staged {
    QString directory;
    QString installer; // as the host passes it: native separators
    QString manifest;
    QByteArray installerBytes;
};

struct HostRun {
    bool finished = false;
    int exitCode = -1; // what the host saw from the updater it started
    QString pid;       // the host's process ID
    QByteArray output;
};

class UpdateScenario {
public:
    // applicationFolder: the directory of root that holds the application to restart.
    explicit UpdateScenario(const ScopedTemp& temp,
                            const QString& applicationFolder = QStringLiteral("app"));

    // Installs the updater (into install/, or the given directory of root), the restart recorder
    // and the records directory; false with error set when something could not be laid out.
    bool install(QString& error, const QString& updaterDirectory = QStringLiteral("install"));

    QString root() const { return root_; }
    QString updater(const QString& directory = QStringLiteral("install")) const;
    QString application() const; // native separators, as the host passes it
    QString recordPath(const QString& name) const {
        return root_ + QStringLiteral("/records/") + name;
    }

    // A staging directory under TEMP (a fresh valid name unless name is given) with the installer
    // bytes as installer.exe and a manifest that announces manifestSha256.
    Staged stage(const QByteArray& installer, const QString& manifestSha256,
                 const QString& name = QString()) const;
    // The usual command line of the original updater for a staged installer.
    QStringList updaterArguments(const Staged& staged, const QString& sha256,
                                 const QString& restart) const;

    // What every process of a run inherits: where the installer and the restarted application
    // record, and the installer's exit code.
    QProcessEnvironment environment(int installerExit) const;
    // Runs the host, which starts program with arguments ("{pid}" is the host's ID) and exits
    // once the updater has exited (a temporary copy started by hand: has started) and, if
    // exitAfterLogLine is set, the log shows that line. With rewriteSource, it then writes that
    // file's bytes over the staged installer in place; rewriteSource + ".outcome" tells whether
    // the write was let through.
    HostRun runHost(const QString& program, const QStringList& arguments,
                    const QString& exitAfterLogLine, int installerExit, int timeoutMs = 60000,
                    const QString& rewriteSource = {}) const;

    // The installer's lines, the restarted application's record (empty when it never ran).
    QStringList installerRuns() const;
    QStringList restartRecord() const;
    // Entries of TEMP (names only), sorted.
    QStringList tempEntries() const;
    // Empty when a run left the staging area as staged, one temporary updater directory and no
    // self-delete script in TEMP, and neither ran the installer nor restarted the application;
    // otherwise what differs.
    QString untouchedDifference(const Staged& staged) const;

private:
    const ScopedTemp& temp_;
    QString root_;
    QString applicationFolder_;
};

} // namespace e2e
