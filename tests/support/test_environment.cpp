#include "test_environment.h"

#include "relocation/relocation_platform.h"
#include "relocation/temporary_copy.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <QUuid>

#ifdef Q_OS_WIN
#include <stdlib.h>
#include <windows.h>
#endif

namespace {

const char* const kTempVariables[] = {"TMPDIR", "TMP", "TEMP"};

// Sets (or, for a null value, removes) an environment variable of this process, in UTF-16 on
// Windows, so that a TEMP outside the ANSI code page reaches Qt and every child process intact.
void setVariable(const char* name, const QString& value) {
#ifdef Q_OS_WIN
    const std::wstring wideName = QString::fromLatin1(name).toStdWString();
    const std::wstring wideValue = value.toStdWString();
    SetEnvironmentVariableW(wideName.c_str(), value.isNull() ? nullptr : wideValue.c_str());
    _wputenv_s(wideName.c_str(), wideValue.c_str());
#else
    if (value.isNull())
        qunsetenv(name);
    else
        qputenv(name, QFile::encodeName(value));
#endif
}

} // namespace

ScopedTemp::ScopedTemp(const QString& tempName) : dir_(std::make_unique<QTemporaryDir>()) {
    if (!dir_->isValid())
        return;
    // TEMP is a sub-directory, so that the test also owns what lies beside TEMP.
    const QString root = QDir::cleanPath(QFileInfo(dir_->path()).canonicalFilePath());
    canonical_ = root + QLatin1Char('/') + tempName;
    QDir().mkpath(canonical_);
    redirect_ = std::make_unique<TempRedirect>(canonical_);
}

ScopedTemp::~ScopedTemp() = default;

bool ScopedTemp::isValid() const {
    return dir_->isValid() && QDir::tempPath() == canonical_;
}

QString ScopedTemp::path() const {
    return canonical_;
}

QString ScopedTemp::filePath(const QString& relative) const {
    return QDir(canonical_).filePath(relative);
}

QString ScopedTemp::outsidePath(const QString& relative) const {
    return QDir::cleanPath(canonical_ + QStringLiteral("/../") + relative);
}

QString ScopedTemp::logPath() const {
    return filePath(QStringLiteral("Vexta-Updater.log"));
}

QByteArray ScopedTemp::logBytes() const {
    QFile file(logPath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QStringList ScopedTemp::logMessages() const {
    return logMessagesOf(logBytes());
}

QString ScopedTemp::createStagingDirectory(const QString& name) const {
    const QString dirName = name.isEmpty() ? QStringLiteral("Quindlebrookware-Update-") +
                                                 QUuid::createUuid().toString(QUuid::WithoutBraces)
                                           : name;
    const QString path = filePath(dirName);
    QDir().mkpath(path);
    return path;
}

QString ScopedTemp::writeFile(const QString& relative, const QByteArray& content) const {
    const QString path = QFileInfo(relative).isAbsolute() ? relative : filePath(relative);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
    return path;
}

TempRedirect::TempRedirect(const QString& path) {
    for (const char* name : kTempVariables) {
        saved_.emplace_back(name, qEnvironmentVariableIsSet(name) ? qEnvironmentVariable(name)
                                                                  : QString());
        setVariable(name, QDir::toNativeSeparators(path));
    }
}

TempRedirect::~TempRedirect() {
    for (const auto& [name, value] : saved_)
        setVariable(name, value);
}

QString updaterExecutable() {
    return QStringLiteral(UPDATER_EXECUTABLE);
}

UpdaterRun runUpdater(const ScopedTemp& temp, const QStringList& arguments, const QString& program,
                      int timeoutMs) {
    UpdaterRun result;
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setWorkingDirectory(temp.path());
    process.start();
    if (process.waitForFinished(timeoutMs) && process.exitStatus() == QProcess::NormalExit) {
        result.finished = true;
        result.exitCode = process.exitCode();
    } else {
        process.kill();
        process.waitForFinished();
    }
    result.messages = temp.logMessages();
    return result;
}

QStringList logMessagesOf(const QByteArray& logBytes) {
    static const QRegularExpression stamp(
        QStringLiteral("^\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\] "));
    QString text = QString::fromUtf8(logBytes);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QStringList lines = text.split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast(); // the line end of the last line
    for (QString& line : lines) {
        const QRegularExpressionMatch match = stamp.match(line);
        if (match.hasMatch())
            line.remove(0, match.capturedLength());
    }
    return lines;
}

QString sampleSha256() {
    return QStringLiteral("0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");
}

QStringList waitForLogMessage(const ScopedTemp& temp, const QString& message, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    QStringList messages = temp.logMessages();
    while (!messages.contains(message) && !timer.hasExpired(timeoutMs)) {
        QThread::msleep(20);
        messages = temp.logMessages();
    }
    return messages;
}

bool isInterleaving(const QStringList& merged, const QStringList& first,
                    const QStringList& second) {
    const qsizetype m = first.size();
    const qsizetype n = second.size();
    if (merged.size() != m + n)
        return false;
    // reachable[j]: the first i lines of first and j of second can make up merged's first i + j.
    std::vector<bool> reachable(static_cast<size_t>(n) + 1, false);
    for (qsizetype i = 0; i <= m; ++i) {
        for (qsizetype j = 0; j <= n; ++j) {
            bool ok = i == 0 && j == 0;
            if (i > 0 && reachable[static_cast<size_t>(j)] && first[i - 1] == merged[i + j - 1])
                ok = true;
            if (j > 0 && reachable[static_cast<size_t>(j - 1)] &&
                second[j - 1] == merged[i + j - 1])
                ok = true;
            reachable[static_cast<size_t>(j)] = ok;
        }
    }
    return reachable[static_cast<size_t>(n)];
}

QStringList originalUpdaterRelaunchLines() {
    QStringList lines{QString(40, QLatin1Char('=')), QStringLiteral("Updater started."),
                      QStringLiteral("Original updater detected."),
                      QStringLiteral("Temporary updater copy created: {dir}/") +
                          relocation::platform::updaterExecutableName()};
    for (const QString& library : relocation::runtimeLibraries())
        lines << QStringLiteral("Temporary updater DLL copied: {dir}/") + library;
    return lines << QStringLiteral("Launching temporary updater copy.")
                 << QStringLiteral("Temporary updater launched successfully.");
}
