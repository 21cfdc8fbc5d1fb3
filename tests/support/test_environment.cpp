#include "test_environment.h"

#include "program_run.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUuid>

#ifdef Q_OS_WIN
#include <stdlib.h>
#include <windows.h>
#endif

using namespace Qt::Literals::StringLiterals;

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

// The messages of a log file's bytes, without their time stamps. What breaks the line format
// shows in the messages, so that no comparison can pass over it: a line that does not start with
// "[yyyy-MM-dd HH:mm:ss] " (but the empty lines that end the closing banner) is marked "(no time
// stamp)", and on Windows a line that does not end with CR LF "(no CR)".
QStringList logMessagesOf(const QByteArray& logBytes) {
    static const QRegularExpression stamp(u"^\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\] "_s);
    QStringList lines = QString::fromUtf8(logBytes).split(u'\n');
    if (lines.last().isEmpty())
        lines.removeLast(); // the line end of the last line
    for (QString& line : lines) {
        const bool crLf = line.endsWith(u'\r');
        if (crLf)
            line.chop(1);
        const QRegularExpressionMatch match = stamp.match(line);
        if (match.hasMatch())
            line.remove(0, match.capturedLength());
        else if (!line.isEmpty())
            line.prepend(u"(no time stamp) "_s);
        if (!crLf && QSysInfo::productType() == u"windows"_s)
            line.prepend(u"(no CR) "_s);
    }
    return lines;
}

} // namespace

ScopedTemp::ScopedTemp(const QString& tempName) {
    if (!dir_.isValid())
        return;
    // TEMP is a sub-directory, so that the test also owns what lies beside TEMP.
    canonical_ = QFileInfo(dir_.path()).canonicalFilePath() + u'/' + tempName;
    QDir().mkpath(canonical_);
    for (const char* name : kTempVariables) {
        saved_.emplace_back(name, qEnvironmentVariableIsSet(name) ? qEnvironmentVariable(name)
                                                                  : QString());
        setVariable(name, QDir::toNativeSeparators(canonical_));
    }
}

ScopedTemp::~ScopedTemp() {
    for (const auto& [name, value] : saved_)
        setVariable(name, value);
}

bool ScopedTemp::isValid() const {
    return dir_.isValid() && QDir::tempPath() == canonical_;
}

QString ScopedTemp::path() const {
    return canonical_;
}

QString ScopedTemp::filePath(const QString& relative) const {
    return QDir(canonical_).filePath(relative);
}

QString ScopedTemp::outsidePath(const QString& relative) const {
    return QDir::cleanPath(canonical_ + u"/../"_s + relative);
}

QString ScopedTemp::logPath() const {
    return filePath(u"Vexta-Updater.log"_s);
}

QStringList ScopedTemp::logMessages() const {
    return logMessagesOf(readFileBytes(logPath()));
}

QString ScopedTemp::createStagingDirectory(const QString& name) const {
    const QString path =
        filePath(name.isEmpty() ? u"Quindlebrookware-Update-"_s +
                                      QUuid::createUuid().toString(QUuid::WithoutBraces)
                                : name);
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

QString sampleSha256() {
    return u"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"_s;
}

QString sha256Hex(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}
