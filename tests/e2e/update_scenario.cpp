#include "update_scenario.h"

#include "crl_server.h"
#include "program_run.h"
#include "relocation/relocation_platform.h"
#include "relocation/temporary_copy.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <utility>

namespace e2e {

const QString kBanner(40, QLatin1Char('='));

namespace {

const QString kIssuer =
    QStringLiteral("Quindlebrookware TEST Code Signing CA - NOT FOR PRODUCTION");
const QString kPublisher = QStringLiteral("Quindlebrookware TEST Publisher - NOT FOR PRODUCTION");

// The lines that each stage adds when it passes, in order.
QStringList stageLines(Stage stage) {
    switch (stage) {
    case Stage::Start:
        return {kBanner, QStringLiteral("Updater started."),
                QStringLiteral("Updater version: 1.0.0"),
                QStringLiteral("Running from temporary updater copy."), kBanner};
    case Stage::Arguments:
        return {QStringLiteral("Arguments parsed successfully."),
                QStringLiteral("Target PID: {pid}"), QStringLiteral("Installer: {installer}"),
                QStringLiteral("Restart application: {restart}")};
    case Stage::Staging:
        return {QStringLiteral("Staging directory validation passed.")};
    case Stage::Manifest:
        return {QStringLiteral("Update manifest validation passed.")};
    case Stage::InstallerFile:
        return {QStringLiteral("Installer exists and is readable."),
                QStringLiteral("Installer size: {size} bytes")};
    case Stage::Wait:
        return {QStringLiteral("Waiting for application process {pid} to exit..."),
                QStringLiteral("Target application exited."),
                QStringLiteral("Application closed successfully.")};
    case Stage::Digest:
        return {QStringLiteral("Expected SHA-256: {sha256}"),
                QStringLiteral("Actual SHA-256:   {sha256}"),
                QStringLiteral("SHA-256 verification PASSED.")};
    case Stage::Signature:
        return {QStringLiteral("Starting strict Authenticode verification: {installer}"),
                QStringLiteral("Windows Authenticode trust verification PASSED."),
                QStringLiteral("Certificate revocation checking PASSED."),
                QStringLiteral("Signer certificate SHA-256 thumbprint: {pin}"),
                QStringLiteral("Certificate thumbprint PIN PASSED."),
                QStringLiteral("Signer certificate subject: ") + kPublisher,
                QStringLiteral("Signer certificate issuer: ") + kIssuer,
                QStringLiteral("Strict Authenticode verification PASSED."),
                QStringLiteral("Certificate identity pinning PASSED."),
                QStringLiteral("Strict Authenticode verification PASSED.")};
    case Stage::InstallerRun:
        return {QStringLiteral("Starting installer with UAC elevation: {installer}"),
                QStringLiteral("Installer process launched successfully."),
                QStringLiteral("Waiting for installer to finish..."),
                QStringLiteral("Installer exit code: 0"),
                QStringLiteral("Installer completed successfully.")};
    }
    return {};
}

QStringList selfDeleteLines(const QString& script) {
    return {QStringLiteral("Self-delete script created: ") + script,
            QStringLiteral("Self-delete process launched successfully."),
            QStringLiteral("Temporary updater executable: {dir}/") +
                relocation::platform::updaterExecutableName(),
            QStringLiteral("Temporary updater directory: {dir}"),
            QStringLiteral("Temporary updater directory will be removed after updater exits.")};
}

QStringList linesOf(const QString& path) {
    QString text = QString::fromUtf8(readFileBytes(path));
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

} // namespace

QStringList copyBlockThrough(Stage last) {
    QStringList lines;
    for (int stage = 0; stage <= static_cast<int>(last); ++stage)
        lines += stageLines(static_cast<Stage>(stage));
    return lines;
}

QStringList closingBanner() {
    return {kBanner, QString(), QString(), QString()};
}

QStringList successTail(bool extraFile) {
    QStringList lines{QStringLiteral("Restarting application: {restart}"),
                      QStringLiteral("Downloaded installer deleted."),
                      QStringLiteral("Manifest deleted.")};
    lines << (extraFile ? QStringLiteral("Staging directory will be removed by cleanup process.")
                        : QStringLiteral("Update staging directory removed."));
    lines << QStringLiteral("Scheduling temporary Updater.exe for deletion.");
    lines += selfDeleteLines(QStringLiteral("{script1}"));
    lines << QStringLiteral("Update completed successfully.")
          << QStringLiteral("Application restarted successfully.");
    if (extraFile) {
        lines << QStringLiteral("Warning: could not remove staging directory.");
        lines += selfDeleteLines(QStringLiteral("{script2}"));
    }
    lines << QStringLiteral("Updater finished successfully.");
    return lines + closingBanner();
}

QStringList originalBlock() {
    return originalUpdaterRelaunchLines() << QStringLiteral("Original updater exiting.") << kBanner;
}

QStringList filled(QStringList lines, const QMap<QString, QString>& values) {
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        lines.replaceInStrings(QLatin1Char('{') + it.key() + QLatin1Char('}'), it.value());
    return lines;
}

NormalisedLog normalised(const QStringList& messages, const QString& tempPath,
                         const QString& copyDirectory) {
    static const QString uuid =
        QStringLiteral("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
    const QRegularExpression directory(copyDirectory.isEmpty()
                                           ? QRegularExpression::escape(tempPath) +
                                                 QStringLiteral("/Quindlebrookware-Updater-") + uuid
                                           : QRegularExpression::escape(copyDirectory));
    const QRegularExpression script(
        QRegularExpression::escape(tempPath) +
        QStringLiteral("/Quindlebrookware-Updater-Cleanup-") + uuid +
        QRegularExpression::escape(relocation::platform::selfDeleteScriptSuffix()));
    NormalisedLog log;
    QStringList& scripts = log.scripts;
    for (QString line : messages) {
        const QRegularExpressionMatch scriptMatch = script.match(line);
        if (scriptMatch.hasMatch()) {
            if (!scripts.contains(scriptMatch.captured()))
                scripts << scriptMatch.captured();
            line.replace(
                scriptMatch.captured(),
                QStringLiteral("{script%1}").arg(scripts.indexOf(scriptMatch.captured()) + 1));
        }
        const QRegularExpressionMatch directoryMatch = directory.match(line);
        if (directoryMatch.hasMatch()) {
            if (log.temporaryDirectory.isEmpty())
                log.temporaryDirectory = directoryMatch.captured();
            line.replace(log.temporaryDirectory, QStringLiteral("{dir}"));
        }
        log.messages << line;
    }
    return log;
}

bool matchesBlocks(const QStringList& messages, const QStringList& original,
                   const QStringList& copy) {
    if (isInterleaving(messages, original, copy))
        return true;
    for (const auto& [title, lines] :
         {std::pair{"log", messages}, std::pair{"original", original}, std::pair{"copy", copy}}) {
        qWarning("--- %s:", title);
        for (const QString& line : lines)
            qWarning("%s", qPrintable(line));
    }
    return false;
}

QStringList waitForLogSize(const ScopedTemp& temp, qsizetype count, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    QStringList messages = temp.logMessages();
    while (messages.size() < count && !timer.hasExpired(timeoutMs)) {
        QThread::msleep(20);
        messages = temp.logMessages();
    }
    return messages;
}

QString thumbprintOf(const QString& certificate) {
    const QByteArray pem =
        readFileBytes(QDir(testPkiDirectory()).filePath(certificate + QStringLiteral(".pem")));
    const QByteArray begin("-----BEGIN CERTIFICATE-----");
    const qsizetype start = pem.indexOf(begin) + begin.size();
    // Base64 decoding skips the line breaks.
    return sha256Hex(QByteArray::fromBase64(pem.mid(start, pem.indexOf("-----END") - start)))
        .toUpper();
}

QString sha256Hex(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

UpdateScenario::UpdateScenario(const ScopedTemp& temp, const QString& applicationFolder)
    : temp_(temp), root_(QFileInfo(temp.path()).absolutePath()),
      applicationFolder_(applicationFolder) {}

QString UpdateScenario::updater(const QString& directory) const {
    return root_ + QLatin1Char('/') + directory + QLatin1Char('/') +
           relocation::platform::updaterExecutableName();
}

QString UpdateScenario::application() const {
    return QDir::toNativeSeparators(root_ + QLatin1Char('/') + applicationFolder_ +
                                    QLatin1Char('/') +
                                    QFileInfo(QStringLiteral(APPLICATION_RECORDER)).fileName());
}

bool UpdateScenario::install(QString& error, const QString& updaterDirectory) {
    const QString installDirectory = QFileInfo(updater(updaterDirectory)).absolutePath();
    const QString applicationDirectory = QFileInfo(application()).absolutePath();
    // The program and the runtime libraries that the build names, beside the updater as it ships
    // and beside the application (the recorder is a program of the same build).
    QStringList copies{QStringLiteral(DEPLOYED_UPDATER), updater(updaterDirectory),
                       QStringLiteral(APPLICATION_RECORDER), application()};
    for (const QString& library : relocation::runtimeLibraries()) {
        const QString built =
            QFileInfo(QStringLiteral(DEPLOYED_UPDATER)).absoluteDir().filePath(library);
        copies << built << QDir(installDirectory).filePath(library) << built
               << QDir(applicationDirectory).filePath(library);
    }
    for (const QString& directory : {installDirectory, applicationDirectory, recordPath({})}) {
        if (!QDir().mkpath(directory)) {
            error = QStringLiteral("cannot create ") + directory;
            return false;
        }
    }
    for (qsizetype i = 0; i < copies.size(); i += 2) {
        if (!QFile::copy(copies[i], copies[i + 1])) {
            error = QStringLiteral("cannot copy %1 to %2").arg(copies[i], copies[i + 1]);
            return false;
        }
    }
    return true;
}

Staged UpdateScenario::stage(const QByteArray& installer, const QString& manifestSha256,
                             const QString& name) const {
    Staged staged;
    staged.directory = temp_.createStagingDirectory(name);
    staged.installerBytes = installer;
    staged.installer = QDir::toNativeSeparators(
        temp_.writeFile(staged.directory + QStringLiteral("/installer.exe"), installer));
    QFile::setPermissions(staged.installer,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QJsonObject manifest{{QStringLiteral("installer"), QStringLiteral("installer.exe")},
                               {QStringLiteral("sha256"), manifestSha256}};
    staged.manifest = temp_.writeFile(staged.directory + QStringLiteral("/manifest.json"),
                                      QJsonDocument(manifest).toJson());
    return staged;
}

QString UpdateScenario::untouchedDifference(const Staged& staged) const {
    const QStringList staging =
        QDir(staged.directory).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    if (staging != QStringList{QStringLiteral("installer.exe"), QStringLiteral("manifest.json")})
        return QStringLiteral("staging directory holds: ") + staging.join(QLatin1Char(' '));
    if (readFileBytes(staged.installer) != staged.installerBytes)
        return QStringLiteral("the installer changed");
    const QStringList temporary = QDir(temp_.path())
                                      .entryList({QStringLiteral("Quindlebrookware-Updater-*")},
                                                 QDir::AllEntries | QDir::NoDotAndDotDot);
    if (temporary.size() != 1 || !QFileInfo(temp_.filePath(temporary.first())).isDir())
        return QStringLiteral("TEMP holds: ") + tempEntries().join(QLatin1Char(' '));
    if (!installerRuns().isEmpty())
        return QStringLiteral("the installer ran");
    if (!restartRecord().isEmpty())
        return QStringLiteral("the application was restarted");
    return {};
}

QStringList UpdateScenario::updaterArguments(const Staged& staged, const QString& sha256,
                                             const QString& restart) const {
    return {QStringLiteral("--pid"),       QStringLiteral("{pid}"),
            QStringLiteral("--installer"), staged.installer,
            QStringLiteral("--sha256"),    sha256,
            QStringLiteral("--restart"),   restart};
}

QProcessEnvironment UpdateScenario::environment(int installerExit) const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("UPDATER_E2E_RECORDS"),
                       QDir::toNativeSeparators(recordPath({}).chopped(1)));
    environment.insert(QStringLiteral("UPDATER_E2E_INSTALLER_EXIT"),
                       QString::number(installerExit));
    environment.insert(QStringLiteral("UPDATER_HOST_TEST_RECORD"),
                       QDir::toNativeSeparators(recordPath(QStringLiteral("restart"))));
    return environment;
}

HostRun UpdateScenario::runHost(const QString& program, const QStringList& arguments,
                                const QString& exitAfterLogLine, int installerExit, int timeoutMs,
                                const QString& rewriteSource) const {
    QStringList hostArguments{QStringLiteral("--pid-file"), recordPath(QStringLiteral("host.pid")),
                              QStringLiteral("--give-up-ms"), QString::number(timeoutMs)};
    if (!exitAfterLogLine.isEmpty())
        hostArguments << QStringLiteral("--exit-after-log-line") << exitAfterLogLine;
    if (!rewriteSource.isEmpty())
        hostArguments << QStringLiteral("--rewrite-installer") << rewriteSource;
    // A temporary copy started by hand waits for its host, which therefore cannot wait for it.
    if (arguments.contains(QStringLiteral("--temporary-copy")))
        hostArguments << QStringLiteral("--detached");
    hostArguments << QStringLiteral("--") << program << arguments;

    QProcess host;
    host.setProcessEnvironment(environment(installerExit));
    // The updater's processes inherit the host's output; a pipe would break once this test stops
    // reading it, and a write to it (the installer image's shell complaining about its "MZ" line)
    // would then kill the writer.
    const QString output = recordPath(QStringLiteral("host-output"));
    host.setStandardOutputFile(output, QIODevice::Append);
    host.setStandardErrorFile(output, QIODevice::Append);
    host.start(QStringLiteral(E2E_HOST), hostArguments);
    HostRun run;
    run.finished =
        waitForExit(host, timeoutMs + 10000) && host.exitStatus() == QProcess::NormalExit;
    if (!run.finished) {
        host.kill();
        waitForExit(host, 30000);
    }
    run.exitCode = host.exitCode();
    run.output = readFileBytes(output);
    run.pid = QString::fromLatin1(readFileBytes(recordPath(QStringLiteral("host.pid")))).trimmed();
    return run;
}

QStringList UpdateScenario::installerRuns() const {
    return linesOf(recordPath(QStringLiteral("installer-runs")));
}

QStringList UpdateScenario::restartRecord() const {
    return linesOf(recordPath(QStringLiteral("restart")));
}

QStringList UpdateScenario::tempEntries() const {
    return QDir(temp_.path())
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace e2e
