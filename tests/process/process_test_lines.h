#pragma once

// The log lines of the process-control operations that the tests of every platform expect, and a
// scoped change of the current directory (the installer and the restarted application start in
// the updater's current directory).

#include <QDir>
#include <QString>
#include <QStringList>

inline QString waitingLine(long long pid) {
    return QStringLiteral("Waiting for application process %1 to exit...").arg(pid);
}

inline QString startLine(const QString& installer) {
    return QStringLiteral("Starting installer with UAC elevation: %1").arg(installer);
}

// The lines of an installer that was started and ran to its end with the given exit code.
inline QStringList ranToEnd(const QString& installer, const QString& exitCode) {
    return {startLine(installer), QStringLiteral("Installer process launched successfully."),
            QStringLiteral("Waiting for installer to finish..."),
            QStringLiteral("Installer exit code: %1").arg(exitCode)};
}

inline const QString kNonZero = QStringLiteral("Installer returned a non-zero exit code.");

// Makes a directory the current one for the scope, and restores the previous one afterwards.
class ScopedCurrentDirectory {
public:
    explicit ScopedCurrentDirectory(const QString& path) : saved_(QDir::currentPath()) {
        QDir::setCurrent(path);
    }
    ~ScopedCurrentDirectory() { QDir::setCurrent(saved_); }
    ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
    ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

private:
    QString saved_;
};
