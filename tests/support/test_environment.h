#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

// Points TEMP (TMPDIR, TMP, TEMP) of this process at another path for one scope, for cases in
// which the TEMP directory itself is unusable; the previous values come back on destruction.
class TempRedirect {
public:
    explicit TempRedirect(const QString& path);
    ~TempRedirect();
    TempRedirect(const TempRedirect&) = delete;
    TempRedirect& operator=(const TempRedirect&) = delete;

private:
    std::vector<std::pair<const char*, QString>> saved_; // a null value: was not set
};

// A private TEMP directory for one test, named tempName inside a directory of its own. While it
// lives, TMPDIR (and TMP and TEMP, which Windows reads) point at it in this process, so
// QDir::tempPath(), the update log and every child process started from the test use it; the
// previous values come back on destruction.
class ScopedTemp {
public:
    explicit ScopedTemp(const QString& tempName = QStringLiteral("TEMP"));

    bool isValid() const;
    // Cleaned, forward slashes, as QDir::tempPath() reports it.
    QString path() const;
    QString filePath(const QString& relative) const;
    // A path beside TEMP, in a directory that this test owns too.
    QString outsidePath(const QString& relative) const;

    QString logPath() const;
    QByteArray logBytes() const;
    // The log's messages in order, each without its "[yyyy-MM-dd HH:mm:ss] " prefix. A line that
    // carries no time stamp (the empty lines after a closing banner) is kept as it stands.
    QStringList logMessages() const;

    // Creates "Quindlebrookware-Update-<uuid>" directly in this TEMP and returns its path.
    QString createStagingDirectory(const QString& name = QString()) const;
    // Writes a file (creating parent directories) and returns its absolute path.
    QString writeFile(const QString& relative, const QByteArray& content) const;

private:
    QTemporaryDir dir_;
    QString canonical_;
    std::unique_ptr<TempRedirect> redirect_;
};

struct UpdaterRun {
    bool finished = false;
    int exitCode = -1;
    QStringList messages; // the log's messages after the run
};

// The built Updater program.
QString updaterExecutable();

// Runs a program (by default the real Updater) with the given arguments in the current TEMP and
// waits for it; returns its exit code and the log messages of the TEMP directory.
UpdaterRun runUpdater(const ScopedTemp& temp, const QStringList& arguments,
                      const QString& program = updaterExecutable(), int timeoutMs = 60000);

// A string of 64 lowercase hex digits that is not the digest of anything the tests write.
QString sampleSha256();

// Waits until the log of this TEMP holds the message (a detached temporary copy logs on after the
// process that started it has exited) and returns the log's messages; at the timeout it returns
// what the log holds then.
QStringList waitForLogMessage(const ScopedTemp& temp, const QString& message,
                              int timeoutMs = 30000);
