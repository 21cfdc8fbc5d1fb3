#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <vector>

// A private TEMP directory for one test, named tempName inside a directory of its own. While it
// lives, TMPDIR (and TMP and TEMP, which Windows reads) point at it in this process, so
// QDir::tempPath(), the update log and every child process started from the test use it; the
// previous values come back on destruction.
class ScopedTemp {
public:
    explicit ScopedTemp(const QString& tempName = QStringLiteral("TEMP"));
    ~ScopedTemp();

    bool isValid() const;
    // Cleaned, forward slashes, as QDir::tempPath() reports it.
    QString path() const;
    QString filePath(const QString& relative) const;
    // A path beside TEMP, in a directory that this test owns too.
    QString outsidePath(const QString& relative) const;

    QString logPath() const;
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
    std::vector<std::pair<const char*, QString>> saved_; // TEMP's variables; null: were not set
};

// A string of 64 lowercase hex digits that is not the digest of anything the tests write.
QString sampleSha256();

// The SHA-256 of bytes, 64 lowercase hex digits.
QString sha256Hex(const QByteArray& bytes);
