// The end-to-end table: updates through the updater as it ships, started the way a host
// application starts it, on Linux and on Windows (under Wine in CI). Each row is one behaviour
// that a host or a user can observe: the exit code that the host sees, the lines of both
// processes in order, whether and how the installer ran, whether and where the application was
// started again, the outcome that the copy recorded, and what is left in the staging directory and
// in TEMP.
//
// A row runs on both platforms unless it says why it is Linux only. Where Wine differs from
// Windows, the row gives what Wine shows, and why, beside what Linux and Windows show; the test
// prints that reason whenever it applies (docs/windows-build.md lists them for a release run on
// real Windows).
//
// Per row, in a directory of its own: <TEMP> (ScopedTemp: log, staging, temporary updater
// directory), install/ (the updater and its runtime libraries), app/ (the application to restart:
// host_argument_recorder, which records its working directory and arguments) and records/ (the
// host's ID, what the installer and the application record, the processes' output). The
// installers are signed when the suite is built (tests/e2e/CMakeLists.txt); the environment tells
// them where to record and what to return.

#include "contract.h"
#include "crl_server.h"
#include "program_run.h"
#include "relocation/relocation_platform.h"
#include "relocation/temporary_copy.h"
#include "test_environment.h"
#include "wine_check.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>
#include <QThread>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <map>
#include <memory>
#include <optional>

using namespace Qt::Literals::StringLiterals;

namespace {

// Who starts the updater, and how long the host application stays.
enum class Host {
    Running,       // stays until the copy waits for it (when the copy gets that far)
    Staying,       // stays until the copy gives up waiting for it, 120 s
    Library,       // demo-host: stages with the host library, starts the updater and exits at once
    AsNobody,      // the updater runs as user 65534 (setpriv)
    WithoutRights, // as user 65534, elevating through the test's pkexec (Linux)
    NoexecKernel,  // the host library, in a PID namespace with vm.memfd_noexec = 2 (Linux)
};

// What the host downloaded and staged.
enum class Installer {
    Current,           // signed by the pinned TEST publisher: the product at 2.0.0.0
    Repair,            // the same, at 1.0.0.0: this installation's own version
    Rollback,          // the same, at 0.9.0.0
    OtherProduct,      // another product of the same publisher
    NoVersionResource, // signed, without a version resource
    Unsigned,
    Tampered, // the current installer with a byte that the signature covers changed
    Pki,      // a signed image of tests/pki (Row::pkiImage)
    Sparse,   // 3 GiB of nothing (a sparse file)
    Nsis,     // the demo's installer, made with NSIS: it finds the application in the registry
};

// What another process of the same user does while the copy waits for the host.
enum class Meddling {
    None,
    Rewrite,        // writes an unsigned program into the staged installer
    SwapStaging,    // puts a link to another directory, with an unsigned installer.exe, in the
                    // staging directory's place
    PlantLibraries, // drops Quindlebrookware-E2E-Planted.dll beside installer.exe and in the
                    // temporary updater directory
};

// The updater as the test builds ship it (pinning the TEST publisher, binding the TEST product),
// or as a publisher of Windows Installer packages builds it: 3010 and 1641 count as success, and
// no product is bound.
enum class Build { AsShipped, MsiPublisher };

struct Outcome {
    int exit = 0;       // the temporary copy's exit code (10: the original's)
    QStringList copy{}; // the temporary copy's lines
    QStringList original{};
    bool restarted = true; // the application comes back (when the host has gone)
};

const QString kProduct = u"Quindlebrookware Demo Application"_s;

// A successful run's lines of the temporary copy; {selfDelete1} stands for kSelfDelete's lines
// and {binding} for the product binding's (none in a build that binds no product).
const QString kUpdated = uR"({banner}
Updater started.
Updater version: 1.0.0
Running from temporary updater copy.
{banner}
Arguments parsed successfully.
Target PID: {pid}
Installer: {installer}
Restart application: {restart}
Staging directory validation passed.
Update manifest validation passed.
Installer exists and is readable.
Installer size: {size} bytes
Waiting for application process {pid} to exit...
Target application exited.
Application closed successfully.
Expected SHA-256: {sha256}
Actual SHA-256:   {sha256}
SHA-256 verification PASSED.
Starting strict Authenticode verification: {installer}
Windows Authenticode trust verification PASSED.
Certificate revocation checking PASSED.
Signer certificate SHA-256 thumbprint: {pin}
Certificate thumbprint PIN PASSED.
Signer certificate subject: Quindlebrookware TEST Publisher - NOT FOR PRODUCTION
Signer certificate issuer: Quindlebrookware TEST Code Signing CA - NOT FOR PRODUCTION
Strict Authenticode verification PASSED.
Certificate identity pinning PASSED.
Strict Authenticode verification PASSED.
{binding}
Starting installer with UAC elevation: {installer}
Installer process launched successfully.
Waiting for installer to finish...
Installer exit code: 0
Installer completed successfully.
Restarting application: {restart}
Downloaded installer deleted.
Manifest deleted.
Update staging directory removed.
Scheduling temporary Updater.exe for deletion.
{selfDelete1}
Update completed successfully.
Application restarted successfully.
Updater finished successfully.
{closing})"_s;
const QString kSelfDelete = uR"(Self-delete script created: {script}
Self-delete process launched successfully.
Temporary updater executable: {dir}/{exe}
Temporary updater directory: {dir}
Temporary updater directory will be removed after updater exits.)"_s;
// The product binding of an installer of the TEST product at 2.0.0.0.
const QString kBinding =
    uR"(Installer version resource: product Quindlebrookware Demo Application, version 2.0.0.0
Expected product: Quindlebrookware Demo Application, version 1.0.0.0 or later
Product binding PASSED.)"_s;
// The closing banner as the log's messages show it: the banner and three empty lines.
const QString kClosing = u"{banner}\n\n\n"_s;
const QString kWaiting = u"Waiting for application process {pid} to exit..."_s;
const QString kTimedOut = u"Timed out waiting for application after 120 seconds."_s;
const QString kOtherDigest = sha256Hex("other");
// In the DOS stub, which the Authenticode digest covers (unlike the checksum and the certificate
// table): a change there is a damaged signature on both platforms.
constexpr qsizetype kTamperedByte = 0x60;
constexpr qint64 kSparseBytes = 3LL << 30;
const QString kPlanted = u"Quindlebrookware-E2E-Planted.dll"_s;
// Where the demo application's installation is registered (demo/demo-installer.nsi).
const QString kRegistration = u"HKEY_LOCAL_MACHINE\\Software\\Quindlebrookware\\Demo Application"_s;
#ifdef Q_OS_WIN
constexpr QSettings::Format kRegistry = QSettings::Registry64Format;
#else
constexpr QSettings::Format kRegistry = QSettings::NativeFormat; // the NSIS row is Windows only
#endif

// The lines of an expected text, with the self-delete lines in place of {selfDelete1} and
// {selfDelete2} (the first and the second script), the binding's lines in place of {binding} and
// the closing banner in place of {closing}.
QStringList lines(QString text, Build build = Build::AsShipped) {
    text.replace(u"{selfDelete1}"_s, QString(kSelfDelete).replace(u"{script}"_s, u"{script1}"_s))
        .replace(u"{selfDelete2}"_s, QString(kSelfDelete).replace(u"{script}"_s, u"{script2}"_s))
        .replace(u"{closing}"_s, kClosing);
    text.replace(u"{binding}\n"_s, build == Build::AsShipped ? kBinding + u'\n' : QString());
    return text.split(u'\n');
}

QStringList originalBlock(bool staleCopy = false) {
    QStringList block{u"{banner}"_s, u"Updater started."_s, u"Original updater detected."_s};
    if (staleCopy)
        block << u"Removed stale temporary updater directory: {stale}"_s;
    block << u"Temporary updater copy created: {dir}/{exe}"_s;
    for (const QString& library : relocation::runtimeLibraries())
        block << u"Temporary updater DLL copied: {dir}/"_s + library;
    return block << u"Launching temporary updater copy."_s
                 << u"Temporary updater launched successfully."_s << u"Original updater exiting."_s
                 << u"{banner}"_s;
}

Outcome updated(const QString& text = kUpdated, Build build = Build::AsShipped) {
    return {0, lines(text, build), originalBlock()};
}

struct Row {
    // What the host downloaded, staged and passed, and how the machine is set up.
    Installer installer = Installer::Current;
    QString pkiImage{};
    int installerExit = 0;
    bool servesCrls = true;
    Host host = Host::Running;
    Build build = Build::AsShipped;
    QString stagingName{};     // empty: a fresh valid name
    QString announcedDigest{}; // on the command line and in the manifest; empty: the real one
    QString manifestDigest{};  // in the manifest, where it differs
    QString restart = u"{application}"_s;
    QString extraArgument{}; // passed after the four options
    bool extraFileInStaging = false;
    bool staleCopyInTemp = false; // a killed copy's directory is left in TEMP
    bool stagingIsLink = false;   // the staging directory is a link to one elsewhere
    bool immutableTemp = false;   // chattr +i, once the log exists
    QString tempName = u"TEMP"_s;
    QString applicationFolder = u"app"_s;
    Meddling meddling = Meddling::None;
    QString copyDirectory{}; // the temporary copy itself is started from this folder of the root
    bool startAgain = false; // afterwards the host library is asked for the same installer again
    Outcome expected = updated();
    // Where Wine differs from Windows: what it shows instead, and why.
    std::optional<Outcome> underWine{};
    const char* wineDifference = nullptr;
    const char* linuxOnly = nullptr;   // why the row cannot run on Windows
    const char* windowsOnly = nullptr; // why it cannot run on Linux
};

// The staging directory still held something when the installer had run (a file the host left,
// or a link another process put in its place): the cleanup process removes what it may, with a
// script of its own.
Outcome updatedWithLeftovers(const QString& text = kUpdated) {
    return updated(QString(text)
                       .replace(u"Update staging directory removed."_s,
                                u"Staging directory will be removed by cleanup process."_s)
                       .replace(u"Updater finished successfully."_s,
                                uR"(Warning: could not remove staging directory.
{selfDelete2}
Updater finished successfully.)"_s));
}

// What a failed run logs after its verdict: the wait for the host that the update had not come to
// yet (exits 2 to 4), the application started again where the update left it closed (exits 2 to 4
// and 6 to 8), the copy's directory scheduled for removal, and after a run that reached the
// installer the closing banner.
QStringList ending(int exit) {
    QStringList after;
    if (exit >= 2 && exit <= 4)
        after << kWaiting << u"Target application exited."_s;
    if ((exit >= 2 && exit <= 4) || (exit >= 6 && exit <= 8))
        after << u"Restarting application: {restart}"_s;
    after << lines(u"Scheduling temporary Updater.exe for deletion.\n{selfDelete1}"_s);
    if (exit == 8 || exit == 9)
        after << kClosing.split(u'\n');
    return after;
}

// Exits 1 to 7: a successful run's lines before `line`, then the refusal and the ending.
Outcome refused(int exit, const QString& line, const QStringList& refusal,
                Build build = Build::AsShipped) {
    const QStringList all = lines(kUpdated, build);
    if (!all.contains(line))
        qFatal("not a line of a successful run: %s", qPrintable(line));
    return {exit, all.mid(0, all.indexOf(line)) + refusal + ending(exit), originalBlock(),
            exit != 1 && exit != 5};
}

// Exits 8 and 9: the failure, the staging-area cleanup, the verdict, then the ending.
Outcome cleaned(int exit, const QString& line, const QStringList& failure, const QString& verdict,
                Build build = Build::AsShipped) {
    Outcome outcome = refused(exit, line,
                              failure + QStringList{u"Temporary installer removed."_s,
                                                    u"Update manifest removed."_s,
                                                    u"Staging directory removed."_s, verdict},
                              build);
    outcome.restarted = exit == 8;
    return outcome;
}

// The signature check's lines when WinVerifyTrust refuses the file with code.
Outcome trustRefused(const char* code) {
    return refused(7, u"Starting strict Authenticode verification: {installer}"_s,
                   {u"Starting strict Authenticode verification: {installer}"_s,
                    u"WinVerifyTrust FAILED: 0x"_s + QLatin1String(code),
                    u"Strict Authenticode verification FAILED."_s});
}

// The SHA-256 thumbprint, upper case, of the TEST certificate tests/pki/<certificate>.pem.
QString thumbprintOf(const QString& certificate) {
    const QByteArray pem = readFileBytes(testPkiDirectory() + u'/' + certificate + u".pem"_s);
    const qsizetype start = pem.indexOf("-----BEGIN CERTIFICATE-----") + 27;
    return sha256Hex(QByteArray::fromBase64(pem.mid(start, pem.indexOf("-----END") - start)))
        .toUpper();
}

// The signature check's lines for a trusted signature by another certificate than the pinned one.
Outcome pinRefused(const QString& certificate, const char* subject, const char* issuer) {
    const auto name = [](const char* what) {
        return u"Quindlebrookware TEST %1 - NOT FOR PRODUCTION"_s.arg(QLatin1String(what));
    };
    return refused(7, u"Starting strict Authenticode verification: {installer}"_s,
                   {u"Starting strict Authenticode verification: {installer}"_s,
                    u"Windows Authenticode trust verification PASSED."_s,
                    u"Certificate revocation checking PASSED."_s,
                    u"Signer certificate SHA-256 thumbprint: "_s + thumbprintOf(certificate),
                    u"SECURITY ERROR: certificate thumbprint PIN FAILED."_s,
                    u"Expected signer thumbprint: {pin}"_s,
                    u"Signer certificate subject: "_s + name(subject),
                    u"Signer certificate issuer: "_s + name(issuer),
                    u"SECURITY ERROR: installer signer is not the pinned publisher."_s,
                    u"Strict Authenticode verification FAILED."_s});
}

QByteArray installerBytes(const Row& row) {
    const auto signedImage = [](const char* variant) {
        return QStringLiteral(INSTALLER_DIRECTORY) + u'/' + QLatin1String(variant) + u".exe"_s;
    };
    const std::map<Installer, QString> files{
        {Installer::Current, signedImage("current")},
        {Installer::Repair, signedImage("repair")},
        {Installer::Rollback, signedImage("rollback")},
        {Installer::OtherProduct, signedImage("other-product")},
        {Installer::NoVersionResource, signedImage("no-version-resource")},
        {Installer::Unsigned, QStringLiteral(UNSIGNED_INSTALLER)},
        {Installer::Tampered, signedImage("current")},
        {Installer::Pki, testPkiDirectory() + u'/' + row.pkiImage},
        {Installer::Nsis, QStringLiteral(NSIS_INSTALLER)}};
    if (row.installer == Installer::Sparse)
        return "(sparse)";
    QByteArray bytes = readFileBytes(files.at(row.installer));
    if (row.installer == Installer::Tampered)
        bytes[kTamperedByte] = static_cast<char>(bytes[kTamperedByte] ^ 0x01);
    return bytes;
}

// Copies a program of the build into directory as the updater, with the runtime libraries that
// the build names.
bool install(const QString& program, const QString& directory, const QString& name) {
    QStringList files{program};
    for (const QString& library : relocation::runtimeLibraries())
        files << QFileInfo(QStringLiteral(DEPLOYED_UPDATER)).dir().filePath(library);
    return QDir().mkpath(directory) &&
           std::all_of(files.cbegin(), files.cend(), [&](const QString& file) {
               return QFile::copy(file, directory + u'/' +
                                            (file == program ? name : QFileInfo(file).fileName()));
           });
}

QStringList entriesOf(const QString& directory) {
    return QDir(directory).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QStringList linesOf(const QString& path) {
    QString text = QString::fromUtf8(readFileBytes(path));
    text.chop(text.endsWith(u'\n') ? 1 : 0);
    return text.isEmpty() ? QStringList() : text.split(u'\n');
}

// Whether merged holds exactly the lines of first and second, each in its own order (the lines of
// two processes that append to one log at the same time).
bool isInterleaving(const QStringList& merged, const QStringList& first,
                    const QStringList& second) {
    if (merged.size() != first.size() + second.size())
        return false;
    // reachable[j]: the first i lines of first and j of second make up merged's first i + j.
    QList<bool> reachable(second.size() + 1, false);
    for (qsizetype i = 0; i <= first.size(); ++i) {
        for (qsizetype j = 0; j <= second.size(); ++j)
            reachable[j] = (i == 0 && j == 0) ||
                           (i > 0 && reachable[j] && first[i - 1] == merged[i + j - 1]) ||
                           (j > 0 && reachable[j - 1] && second[j - 1] == merged[i + j - 1]);
    }
    return reachable[second.size()];
}

const QString kUuid = u"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}"_s;

// The log's messages with the temporary updater directory's path (one made in TEMP, or the given
// one) replaced by {dir} and the self-delete scripts' paths by {script1}, {script2}, ... in the
// order in which they appear. A removed stale directory is {stale}.
struct Log {
    QStringList messages;
    QString directory; // what {dir} stands for; empty if no such path was logged
};
Log normalised(const QStringList& messages, const QString& temp, const QString& copyDirectory) {
    const QRegularExpression stale(
        u"^Removed stale (temporary updater directory|self-delete script): .*$"_s);
    const QRegularExpression directory(copyDirectory.isEmpty()
                                           ? QRegularExpression::escape(temp) +
                                                 u"/Quindlebrookware-Updater-"_s + kUuid
                                           : QRegularExpression::escape(copyDirectory));
    const QRegularExpression script(
        QRegularExpression::escape(temp) + u"/Quindlebrookware-Updater-Cleanup-"_s + kUuid +
        QRegularExpression::escape(relocation::platform::selfDeleteScriptSuffix()));
    Log log;
    QStringList scripts; // in the order of their first mention
    for (QString line : messages) {
        if (const QRegularExpressionMatch match = stale.match(line); match.hasMatch()) {
            log.messages << u"Removed stale "_s + match.captured(1) + u": {stale}"_s;
            continue;
        }
        const QString path = script.match(line).captured();
        if (!path.isEmpty() && !scripts.contains(path))
            scripts << path;
        if (!path.isEmpty())
            line.replace(path, u"{script%1}"_s.arg(scripts.indexOf(path) + 1));
        if (log.directory.isEmpty())
            log.directory = directory.match(line).captured();
        if (!log.directory.isEmpty())
            line.replace(log.directory, u"{dir}"_s);
        log.messages << line;
    }
    return log;
}

#ifdef Q_OS_LINUX
// The temporary copy's exit code, which no host sees: it is started detached. This test adopts
// orphans (a child subreaper), so once its starter has gone the copy is this process's child. It
// is the "Updater" child that started last (demo-host starts the original updater detached and
// leaves it to this process too); every one of them is waited for. -1: none ended.
int adoptedCopyExitCode() {
    int copyExit = -1;
    qint64 latestStart = -1;
    (void)QTest::qWaitFor(
        [&] {
            for (const QString& entry : QDir(u"/proc"_s).entryList(QDir::Dirs)) {
                const QByteArray stat = readFileBytes(u"/proc/%1/stat"_s.arg(entry));
                const qsizetype close = stat.lastIndexOf(')');
                const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
                int status = 0;
                if (!stat.contains("(Updater") || fields.value(1).toInt() != ::getpid() ||
                    ::waitpid(entry.toInt(), &status, 0) != entry.toInt() ||
                    fields.value(19).toLongLong() <= latestStart)
                    continue;
                latestStart = fields.value(19).toLongLong();
                copyExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            return copyExit >= 0;
        },
        60000);
    return copyExit;
}
#endif

// Runs a command of the Unix side: under Wine, a Windows program can start a Linux one, and the
// links and renames of a row that stands for another process of the user are made that way.
bool runUnix(const QStringList& command) {
    return runProgram(isRunningUnderWine() ? u"Z:/bin/sh"_s : u"/bin/sh"_s,
                      {u"-c"_s, command.join(u' ')})
               .exitCode == 0;
}

QString unixPath(const QString& path) {
    QString unix = QDir::fromNativeSeparators(path);
    if (isRunningUnderWine() && unix.startsWith(u"Z:"_s, Qt::CaseInsensitive))
        unix.remove(0, 2);
    return u'\'' + unix + u'\'';
}

// One update of a row, step by step: the machine laid out, the download staged, the updater
// started as the host starts it, what happens while the copy waits, then what the log, the
// records and TEMP show. Each step fails the test function with Qt Test's macros, which end
// the step; the caller stops at the first failed step.
class Scenario {
public:
    Scenario(const Row& row, ScopedTemp& temp, const QString& run = u"records"_s)
        : row_(row), temp_(temp), root_(QFileInfo(temp.path()).absolutePath()),
          records_(root_ + u'/' + run) {
        expected_ = row.expected;
        if (row.underWine && isRunningUnderWine()) {
            qInfo("Under Wine: %s", row.wineDifference);
            expected_ = *row.underWine;
        }
    }
    ~Scenario() {
        endHost();
        if (row_.immutableTemp)
            runProgram(u"chattr"_s, {u"-i"_s, temp_.path()});
        // The registration that the row wrote and the installer rewrote is the machine's: gone.
        if (row_.installer == Installer::Nsis)
            QSettings(kRegistration, kRegistry).remove(QString());
    }

    void lay();
    void stage();
    void start();
    void whileTheCopyWaits();
    // From the `skipped`-th message on; a run after a killed one may find stale directories or not,
    // depending on when the kill came: their removal lines are left out.
    void compareLog(qsizetype skipped = 0, bool dropStaleRemovals = false);
    void checkWhatRan();
    void checkOutcomeRecord();
    void checkWhatIsLeft(const QStringList& leftFromBefore = {});
    void startAgainRefused();
    // The kill test's: the copy ended at once, by SIGKILL or TerminateProcess, when the log shows
    // the line; an installer held until then is let go.
    void killCopyAt(const QString& line);

    QStringList hold{}; // environment of the installer, for the kill test

private:
    QString stagedInstallerPath() const {
        return QDir::toNativeSeparators(staging_ + u"/installer.exe"_s);
    }
    // The temporary updater directory, as the original updater's log names it.
    QString copyDirectory() const {
        const QRegularExpression made(u"Temporary updater copy created: (.*)/[^/]+$"_s);
        for (const QString& line : temp_.logMessages())
            if (const QRegularExpressionMatch match = made.match(line); match.hasMatch())
                return match.captured(1);
        return QString();
    }
    void endHost();

    Row row_;
    ScopedTemp& temp_;
    QString root_;
    QString records_;
    Outcome expected_;
    QString updater_;
    QString application_;
    QString applicationDirectory_;
    std::unique_ptr<CrlServer> crls_;
    QByteArray installer_;
    QString digest_;
    QString staging_;
    QString restart_;
    QString pid_;
    QString output_;
    QProcess host_;
    Log log_;
};

void Scenario::lay() {
    QVERIFY(temp_.isValid());
    const QString updaterDirectory =
        root_ + u'/' + (row_.copyDirectory.isEmpty() ? u"install"_s : row_.copyDirectory);
    updater_ = updaterDirectory + u'/' + relocation::platform::updaterExecutableName();
    applicationDirectory_ = root_ + u'/' + row_.applicationFolder;
    application_ = QDir::toNativeSeparators(
        applicationDirectory_ + u'/' + QFileInfo(QStringLiteral(APPLICATION_RECORDER)).fileName());
    const QString program = row_.build == Build::MsiPublisher
                                ? QStringLiteral(MSI_PUBLISHER_UPDATER)
                                : QStringLiteral(DEPLOYED_UPDATER);
    QVERIFY(QDir().mkpath(records_));
    if (!QFileInfo::exists(updater_))
        QVERIFY(install(program, updaterDirectory, QFileInfo(updater_).fileName()) &&
                install(QStringLiteral(APPLICATION_RECORDER), applicationDirectory_,
                        QFileInfo(application_).fileName()));
    crls_ = row_.servesCrls ? std::make_unique<CrlServer>(testPkiDirectory()) : nullptr;
    QVERIFY2(!crls_ || crls_->isReady(), "cannot serve the test CRLs on 127.0.0.1");
    if (row_.installer == Installer::Nsis) {
        // The 1.0.0 installation, as it registered itself.
        QSettings registration(kRegistration, kRegistry);
        registration.setValue(u"InstallLocation"_s,
                              QDir::toNativeSeparators(applicationDirectory_));
        registration.setValue(u"DisplayVersion"_s, u"1.0.0"_s);
        registration.sync();
        QCOMPARE(registration.status(), QSettings::NoError);
    }
    if (row_.staleCopyInTemp) {
        const QString stale = temp_.filePath(contract::kUpdaterDirectoryPrefix +
                                             QUuid::createUuid().toString(QUuid::WithoutBraces));
        temp_.writeFile(stale + u'/' + relocation::platform::updaterExecutableName(), "killed");
    }
}

// What the host downloaded, staged and passed; the host library stages for itself.
void Scenario::stage() {
    installer_ = installerBytes(row_);
    QVERIFY(!installer_.isEmpty());
    digest_ = row_.announcedDigest.isEmpty() ? sha256Hex(installer_) : row_.announcedDigest;
    restart_ = QString(row_.restart).replace(u"{application}"_s, application_);
    if (row_.host == Host::Library || row_.host == Host::NoexecKernel)
        return;
    staging_ = temp_.createStagingDirectory(row_.stagingName);
    if (row_.installer == Installer::Sparse) {
        QFile sparse(staging_ + u"/installer.exe"_s);
        QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(kSparseBytes));
    } else {
        temp_.writeFile(stagedInstallerPath(), installer_);
    }
    // Executable, as a host may leave it: what runs must still be the checked copy.
    QFile::setPermissions(stagedInstallerPath(),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QJsonObject manifest{
        {u"installer"_s, u"installer.exe"_s},
        {u"sha256"_s, row_.manifestDigest.isEmpty() ? digest_ : row_.manifestDigest}};
    temp_.writeFile(staging_ + u"/manifest.json"_s, QJsonDocument(manifest).toJson());
    if (row_.extraFileInStaging)
        temp_.writeFile(staging_ + u"/release-notes.txt"_s, "2.0.0\n");
    if (row_.stagingIsLink) {
        // The staged files lie elsewhere; the name in TEMP is a link to them.
        QVERIFY(runUnix({u"mv"_s, unixPath(staging_), unixPath(root_ + u"/elsewhere"_s),
                         u"&& ln -s"_s, unixPath(root_ + u"/elsewhere"_s), unixPath(staging_)}));
    }
}

// The host application: this program again, which waits until it is ended. It starts the updater
// from the updater's folder with its own ID, or demo-host stands for it.
void Scenario::start() {
    QStringList arguments{u"--pid"_s,    u"{pid}"_s, u"--installer"_s, stagedInstallerPath(),
                          u"--sha256"_s, digest_,    u"--restart"_s,   restart_};
    if (!row_.extraArgument.isEmpty())
        arguments << row_.extraArgument;
    if (!row_.copyDirectory.isEmpty()) {
        arguments << u"--temporary-copy"_s;
        temp_.writeFile(QFileInfo(updater_).path() + u"/settings.ini"_s, "mine");
    }
    if (row_.immutableTemp) {
        // The log exists, so the updater can still append to it; nothing new can be made in TEMP.
        temp_.writeFile(contract::kLogFileName, QByteArray());
        const ProgramRun immutable = runProgram(u"chattr"_s, {u"+i"_s, temp_.path()});
        if (!immutable.finished || immutable.exitCode != 0)
            QSKIP(qPrintable(u"TEMP cannot be made immutable: "_s +
                             QString::fromUtf8(immutable.standardError)));
    }
    QString program = updater_;
    const QStringList nobody{u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s};
    if (row_.host == Host::AsNobody || row_.host == Host::WithoutRights) {
        const ProgramRun probe = runProgram(u"setpriv"_s, nobody + QStringList{u"true"_s});
        if (!probe.finished || probe.exitCode != 0)
            QSKIP(qPrintable(u"setpriv cannot switch to user 65534: "_s +
                             QString::fromUtf8(probe.standardError)));
        // The user may reach the tree; the row says what it may not.
        QVERIFY(QFile::setPermissions(root_, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                 QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                                 QFileDevice::ExeOther));
        QCOMPARE(runProgram(u"chown"_s, {u"-R"_s, u"65534:65534"_s, temp_.path()}).exitCode, 0);
        QVERIFY(QFile::setPermissions(records_, QFileDevice::Permissions(0x7777)));
        arguments = nobody + QStringList{updater_} + arguments;
        program = u"setpriv"_s;
    }
    if (row_.host == Host::AsNobody)
        QVERIFY(QFile::setPermissions(stagedInstallerPath(), {}));
    if (row_.host == Host::WithoutRights) {
        // The test's pkexec, set-user-ID root, bound over polkit's in a mount namespace of this
        // run's own.
        const QString pkexec = root_ + u"/pkexec"_s;
        if (!QFileInfo::exists(u"/usr/bin/pkexec"_s))
            QSKIP("no /usr/bin/pkexec to stand in for (Debian's package pkexec)");
        QVERIFY(QFile::copy(QStringLiteral(TEST_PKEXEC), pkexec));
        QCOMPARE(runProgram(u"chmod"_s, {u"4755"_s, pkexec}).exitCode, 0);
        const QString bind = u"mount --bind \"$0\" /usr/bin/pkexec && exec \"$@\""_s;
        arguments =
            QStringList{u"--mount"_s, u"--propagation"_s, u"private"_s, u"sh"_s, u"-c"_s, bind,
                        pkexec,       u"setpriv"_s} +
            arguments;
        program = u"unshare"_s;
    }

    if (row_.host != Host::Library && row_.host != Host::NoexecKernel) {
        host_.start(QCoreApplication::applicationFilePath(), {u"--host"_s});
        QVERIFY(host_.waitForStarted());
        pid_ = QString::number(host_.processId());
        temp_.writeFile(records_ + u"/host.pid"_s, pid_.toLatin1());
    }
    QProcess starter;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"UPDATER_E2E_RECORDS"_s, QDir::toNativeSeparators(records_));
    environment.insert(u"UPDATER_E2E_INSTALLER_EXIT"_s, QString::number(row_.installerExit));
    environment.insert(u"UPDATER_HOST_TEST_RECORD"_s,
                       QDir::toNativeSeparators(records_ + u"/restart"_s));
    for (const QString& variable : hold)
        environment.insert(variable.section(u'=', 0, 0), variable.section(u'=', 1));
    starter.setProcessEnvironment(environment);
    // The updater's processes inherit this output; a pipe would break once this test stops
    // reading it, and a write to it (the installer image's shell complaining about its "MZ" line)
    // would then kill the writer.
    output_ = records_ + u"/output"_s;
    starter.setStandardOutputFile(output_, QIODevice::Append);
    starter.setStandardErrorFile(output_, QIODevice::Append);
    starter.setWorkingDirectory(QFileInfo(updater_).path());
    starter.setProgram(program);
    starter.setArguments(arguments.replaceInStrings(u"{pid}"_s, pid_));
    if (row_.host == Host::Library || row_.host == Host::NoexecKernel) {
        const QString downloaded = temp_.writeFile(records_ + u"/downloaded.exe"_s, installer_);
        const QStringList host{
            QStringLiteral(DEMO_HOST), u"--updater"_s, updater_, u"--installer"_s, downloaded,
            u"--application"_s,        application_};
        starter.setProgram(host.first());
        starter.setArguments(host.mid(1));
        if (row_.host == Host::NoexecKernel) {
            // The namespace's first process sets the kernel's rule for it and outlives every
            // process of the update (a PID namespace ends with its first process).
            starter.setProgram(u"unshare"_s);
            starter.setArguments(QStringList{u"--pid"_s, u"--fork"_s, u"--mount-proc"_s,
                                             QCoreApplication::applicationFilePath(),
                                             u"--noexec-init"_s} +
                                 host);
        }
    }
    // A temporary copy started by hand waits for its host, which therefore cannot wait for it.
    if (!row_.copyDirectory.isEmpty()) {
        QVERIFY(starter.startDetached());
    } else {
        starter.start();
        QVERIFY(starter.waitForStarted());
        QVERIFY(waitForExit(starter, 120000) && starter.exitStatus() == QProcess::NormalExit);
        QVERIFY2(starter.exitCode() == (expected_.exit == 10 ? 10 : 0),
                 qPrintable(u"exit code %1, output: %2"_s.arg(starter.exitCode())
                                .arg(QString::fromUtf8(readFileBytes(output_)))));
    }
    if (row_.host == Host::Library || row_.host == Host::NoexecKernel) {
        const QRegularExpressionMatch staged =
            QRegularExpression(u"demo-host: process (\\d+) staged (.+?)\r?\n"_s)
                .match(QString::fromUtf8(readFileBytes(output_)));
        pid_ = staged.captured(1);
        staging_ = staged.captured(2);
        temp_.writeFile(records_ + u"/host.pid"_s, pid_.toLatin1());
    }
}

// The host stays as long as the copy waits for it, when the copy gets that far, and a moment more:
// the copy logs the line just before it opens the host's process, and so always sees it end
// rather than sometimes find it gone already. Meanwhile another process of the user may meddle.
void Scenario::whileTheCopyWaits() {
    const QString waiting = QString(kWaiting).replace(u"{pid}"_s, pid_);
    const QString hostEnd = row_.host == Host::Staying          ? QString(kTimedOut)
                            : expected_.copy.contains(kWaiting) ? waiting
                                                                : QString();
    if (!hostEnd.isEmpty() && !pid_.isEmpty() && row_.host != Host::Library &&
        row_.host != Host::NoexecKernel) {
        (void)QTest::qWaitFor([&] { return temp_.logMessages().contains(hostEnd); },
                              row_.host == Host::Staying ? 150000 : 30000);
        QThread::msleep(200);
    }
    switch (row_.meddling) {
    case Meddling::None:
        break;
    case Meddling::Rewrite: {
        // By now the copy has its private copy and no longer holds the staged file (on Windows
        // it held it, shared for reading only, while the copy was made): the write goes through.
        // The replacement, an unsigned program, would fail and show in the log were it run.
        QFile held(stagedInstallerPath());
        const QByteArray replacement =
            readFileBytes(testPkiDirectory() + u"/test-unsigned-pe32plus.exe"_s);
        QVERIFY(held.open(QIODevice::WriteOnly | QIODevice::ExistingOnly) &&
                held.write(replacement) == replacement.size() && held.flush());
        break;
    }
    case Meddling::SwapStaging: {
        // Elsewhere, an unsigned program and a manifest that announces it; the staging directory
        // moves away and a link to that place takes its name. On Windows the updater holds the
        // staging directory so that it cannot be renamed; under Wine, which this row sidesteps
        // through the Unix side, and on Linux the swap is made.
        const QString substitute = root_ + u"/substitute"_s;
        temp_.writeFile(substitute + u"/installer.exe"_s,
                        readFileBytes(testPkiDirectory() + u"/test-unsigned-pe32plus.exe"_s));
        temp_.writeFile(substitute + u"/manifest.json"_s, "{}");
        const bool swapped = runUnix({u"mv"_s, unixPath(staging_), unixPath(root_ + u"/moved"_s),
                                      u"&& ln -s"_s, unixPath(substitute), unixPath(staging_)});
        QVERIFY(swapped);
        break;
    }
    case Meddling::PlantLibraries:
        QVERIFY(QFile::copy(QStringLiteral(PLANTED_LIBRARY), staging_ + u'/' + kPlanted) &&
                QFile::copy(QStringLiteral(PLANTED_LIBRARY), copyDirectory() + u'/' + kPlanted));
        break;
    }
    endHost();
}

void Scenario::endHost() {
    host_.kill();
    waitForExit(host_, 30000);
}

// The lines of both processes, in the order of each (after `skipped` lines of earlier runs).
void Scenario::compareLog(qsizetype skipped, bool dropStaleRemovals) {
    const QString product = row_.installer == Installer::OtherProduct
                                ? u"Quindlebrookware Other Application"_s
                                : kProduct;
    const QMap<QString, QString> values{
        {u"pid"_s, pid_},
        {u"installer"_s, stagedInstallerPath()},
        {u"restart"_s, restart_},
        {u"size"_s,
         QString::number(row_.installer == Installer::Sparse ? kSparseBytes : installer_.size())},
        {u"sha256"_s, digest_},
        {u"actual"_s, sha256Hex(installer_)},
        {u"pin"_s, thumbprintOf(u"test-publisher"_s)},
        {u"stagingName"_s, QFileInfo(staging_).fileName()},
        {u"staging"_s, staging_},
        {u"product"_s, product},
        {u"banner"_s, QString(40, u'=')},
        {u"exe"_s, relocation::platform::updaterExecutableName()}};
    QStringList original = expected_.original;
    QStringList copy = expected_.copy;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        original.replaceInStrings(u'{' + it.key() + u'}', it.value());
        copy.replaceInStrings(u'{' + it.key() + u'}', it.value());
    }
    const auto messages = [&] { return temp_.logMessages().mid(skipped); };
    (void)QTest::qWaitFor([&] { return messages().size() >= original.size() + copy.size(); },
                          30000);
    log_ = normalised(messages(), temp_.path(),
                      row_.copyDirectory.isEmpty() ? QString() : QFileInfo(updater_).path());
    if (dropStaleRemovals) {
        log_.messages.removeAll(u"Removed stale temporary updater directory: {stale}"_s);
        log_.messages.removeAll(u"Removed stale self-delete script: {stale}"_s);
    }
    if ((row_.host == Host::Library || row_.host == Host::NoexecKernel) &&
        log_.messages.contains(u"Target process no longer exists. Continuing."_s))
        copy.replaceInStrings(u"Target application exited."_s,
                              u"Target process no longer exists. Continuing."_s);
    if (!isInterleaving(log_.messages, original, copy)) {
        // All three as warnings: a failure message would be cut short.
        for (const auto& [title, lines] :
             {std::pair{"log", log_.messages}, std::pair{"original", original},
              std::pair{"copy", copy}})
            qWarning("--- %s:\n%s", title, qPrintable(lines.join(u'\n')));
        QFAIL("the log does not hold both processes' lines in order");
    }
    QVERIFY(!log_.directory.isEmpty() || expected_.exit == 10);
#ifdef Q_OS_LINUX
    if (expected_.exit != 10 && row_.host != Host::NoexecKernel)
        QCOMPARE(adoptedCopyExitCode(), expected_.exit);
#endif
}

// The installer ran once, after the host had gone, without arguments, in a working directory that
// the user cannot add to (POSIX: "/"; Windows: the directory of its private copy, in TEMP), and
// loaded no library that another process planted; the application came back without arguments,
// in its own folder.
void Scenario::checkWhatRan() {
    const bool ran = expected_.copy.contains(u"Waiting for installer to finish..."_s);
    if (row_.installer == Installer::Nsis) {
        // It did its work: the installed version and its registration.
        QCOMPARE(readFileBytes(applicationDirectory_ + u"/version.txt"_s), QByteArray("2.0.0\r\n"));
        QCOMPARE(QSettings(kRegistration, kRegistry).value(u"DisplayVersion"_s),
                 QVariant(u"2.0.0"_s));
    }
    const QStringList runs = linesOf(records_ + u"/installer-runs"_s);
    QCOMPARE(runs.size(), ran && row_.installer != Installer::Nsis ? 1 : 0);
    if (!runs.isEmpty()) {
        QVERIFY2(runs.first().startsWith(u"ran host=ended arguments=0 directory="_s),
                 qPrintable(runs.first()));
        const QString directory = QDir::fromNativeSeparators(runs.first().section(u'=', 3));
        QVERIFY2(QSysInfo::productType() == u"windows"
                     ? QRegularExpression(u'^' + QRegularExpression::escape(temp_.path()) +
                                              u"/Quindlebrookware-Updater-"_s + kUuid + u'$',
                                          QRegularExpression::CaseInsensitiveOption)
                               .match(directory)
                               .hasMatch() &&
                           directory.compare(log_.directory, Qt::CaseInsensitive) != 0
                     : directory == u"/"_s,
                 qPrintable(directory + u" (TEMP "_s + temp_.path() + u", copy "_s +
                            log_.directory + u')'));
    }
    QCOMPARE(linesOf(records_ + u"/planted"_s), QStringList());
    // Polled until it reads with its content: under Wine and CPU load it was found empty just
    // after it had appeared.
    const bool restarted = expected_.restarted;
    if (restarted)
        QVERIFY(
            QTest::qWaitFor([&] { return !linesOf(records_ + u"/restart"_s).isEmpty(); }, 10000));
    QCOMPARE(linesOf(records_ + u"/restart"_s),
             restarted ? QStringList{applicationDirectory_} : QStringList());
}

// Every exit of the temporary copy leaves its outcome beside the log.
void Scenario::checkOutcomeRecord() {
    const std::optional<contract::OutcomeRecord> record =
        contract::parseOutcomeRecord(readFileBytes(temp_.filePath(contract::kOutcomeFileName)));
    QCOMPARE(record.has_value(), expected_.exit != 10);
    if (!record)
        return;
    QCOMPARE(record->exitCode, expected_.exit);
    QVERIFY(!record->meaning.isEmpty());
    QVERIFY(qAbs(record->time.secsTo(QDateTime::currentDateTimeUtc())) < 300);
    QCOMPARE(record->installerSha256, expected_.exit == 1 ? QString() : digest_);
    QCOMPARE(record->restartPath, expected_.exit == 1 ? QString() : restart_);
}

// What is left: the staging directory as staged after exits 1 to 7 and 10; after every exit of
// the copy, once its self-delete script has run (its first attempt comes 2 s after its start:
// timeout, or ping where there is none, as under Wine), nothing of the updater's own but the log
// and the outcome record.
void Scenario::checkWhatIsLeft(const QStringList& leftFromBefore) {
    const int exit = expected_.exit;
    const bool stagingLeft =
        (exit >= 1 && exit <= 7) || exit == 10 || row_.meddling == Meddling::SwapStaging;
    QStringList left = QStringList{contract::kLogFileName} + leftFromBefore;
    if (exit != 10)
        left << contract::kOutcomeFileName;
    if (stagingLeft && !staging_.isEmpty())
        left << QFileInfo(staging_).fileName();
    left.sort();
    left.removeDuplicates();
    if (stagingLeft && row_.meddling == Meddling::None && !row_.stagingIsLink &&
        row_.installer != Installer::Sparse) {
        QCOMPARE(entriesOf(staging_), (QStringList{u"installer.exe"_s, u"manifest.json"_s}));
        QCOMPARE(readFileBytes(stagedInstallerPath()), installer_);
    }
    if (!row_.copyDirectory.isEmpty())
        QCOMPARE(readFileBytes(QFileInfo(updater_).path() + u"/settings.ini"_s),
                 QByteArray("mine"));
    if (row_.meddling == Meddling::SwapStaging) {
        // Nothing is removed through the link, nor from the staging directory that moved away.
        const QStringList staged{u"installer.exe"_s, u"manifest.json"_s};
        QCOMPARE(entriesOf(root_ + u"/substitute"_s), staged);
        QCOMPARE(entriesOf(root_ + u"/moved"_s), staged);
    }
    (void)QTest::qWaitFor([&] { return entriesOf(temp_.path()) == left; }, 15000);
    QCOMPARE(entriesOf(temp_.path()).join(u", "_s), left.join(u", "_s));
}

// The same installer again, through the host library: refused for good after a refused digest or
// signature, and nothing is started.
void Scenario::startAgainRefused() {
    const qsizetype before = temp_.logMessages().size();
    const ProgramRun again =
        runProgram(QStringLiteral(DEMO_HOST),
                   {u"--updater"_s, updater_, u"--installer"_s, records_ + u"/downloaded.exe"_s,
                    u"--application"_s, application_});
    QCOMPARE(again.exitCode, 1);
    QVERIFY2(again.standardError.contains("refused this installer before (exit 7"),
             again.standardError.constData());
    QCOMPARE(temp_.logMessages().size(), before);
}

void Scenario::killCopyAt(const QString& line) {
    const QString waiting = QString(kWaiting).replace(u"{pid}"_s, pid_);
    const QString awaited = QString(line).replace(u"{pid}"_s, pid_);
    if (awaited != waiting) {
        // The copy goes on once its host has gone.
        QVERIFY(QTest::qWaitFor([&] { return temp_.logMessages().contains(waiting); }, 30000));
        QThread::msleep(200);
        endHost();
    }
    QVERIFY(QTest::qWaitFor([&] { return temp_.logMessages().contains(awaited); }, 30000));
    // The copy may have gone on to its end by now (the cleanup takes moments): what runs from its
    // directory is ended, whatever it is (the installer, which runs from its private copy, goes
    // on).
    killProcessesRunningFrom(copyDirectory());
    endHost();
    temp_.writeFile(records_ + u"/release"_s, "go");
    // An installer let go records its run and ends.
    if (awaited == u"Waiting for installer to finish..."_s)
        QVERIFY(QTest::qWaitFor([&] { return !linesOf(records_ + u"/installer-runs"_s).isEmpty(); },
                                30000));
    QThread::msleep(500);
}

} // namespace

Q_DECLARE_METATYPE(Row)

#define STEP(call)                                                                                 \
    do {                                                                                           \
        call;                                                                                      \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)

class EndToEndTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
#ifdef Q_OS_LINUX
        QVERIFY(::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0);
#endif
    }
    void update_data();
    void update();
    void killedAtEachStage_data();
    void killedAtEachStage();
};

void EndToEndTest::update_data() {
    QTest::addColumn<Row>("row");
    const auto add = [](const char* name, const Row& row) { QTest::newRow(name) << row; };
    const Build msi = Build::MsiPublisher;
    const char* const kWindowsInstallerCodes =
        "Windows Installer's codes: a POSIX exit status has 8 bits (3010 arrives as 194)";

    add("0: complete update, host running until the copy waits for it", {});
    add("0: extra file in the staging directory",
        {.extraFileInStaging = true, .expected = updatedWithLeftovers()});
    // The copy may find the host still running or already gone: both wait lines are accepted.
    add("0: staged by the host library, host gone at once", {.host = Host::Library});
    // A profile name outside the ANSI code page and with cmd.exe's metacharacters reaches the copy
    // intact (the UTF-16 command line), and the self-delete script, which holds no path, removes
    // what it must.
    add("0: TEMP and application folder outside the ANSI code page, with cmd.exe's metacharacters",
        {.tempName = u"Jos\u00e9 \u0414\u043c\u0438\u0442\u0440\u0438\u0439 \u674e Tom&Jerry "
                     "(Work) 100%"_s,
         .applicationFolder =
             u"App \u674e \u0414\u043c\u0438\u0442\u0440\u0438\u0439 Jos\u00e9"_s});
    // "--temporary-copy" by mistake, from an install directory: the update is made, and nothing
    // of that directory is removed.
    add("0: temporary copy started by hand from an install directory",
        {.copyDirectory = u"installed updater"_s,
         .expected = {0,
                      lines(QString(kUpdated).replace(
                          u"{selfDelete1}"_s, u"WARNING: Self-delete skipped: not a temporary "
                                              "updater directory: {dir}"_s)),
                      {}}});
    // The installer's bytes are copied privately before the wait: what is written into the
    // staged file afterwards is neither checked nor run.
    add("0: installer rewritten in place while the copy waits for the host",
        {.meddling = Meddling::Rewrite});
    // A link in the staging directory's place: the checked copy runs, and the cleanup removes
    // nothing through the link.
    add("0: staging directory swapped for a link while the copy waits",
        {.meddling = Meddling::SwapStaging,
         .expected = updatedWithLeftovers(QString(kUpdated).replace(
             u"Downloaded installer deleted.\nManifest deleted."_s,
             u"WARNING: Could not delete installer: {installer}\n"
             "WARNING: Could not delete manifest: {staging}/manifest.json"_s))});
    // The installer looks for a library by its bare name: neither its folder nor its working
    // directory is one that another process may add to. The planted file in the staging
    // directory is a file the host left, and goes as such.
    add("0: libraries planted beside the installer and in the copy's directory",
        {.meddling = Meddling::PlantLibraries, .expected = updatedWithLeftovers()});
    add("0: a killed copy's directory in TEMP is removed first",
        {.staleCopyInTemp = true, .expected = {0, lines(kUpdated), originalBlock(true)}});
    add("0: an installer of this installation's own version (a repair)",
        {.installer = Installer::Repair,
         .expected = updated(QString(kUpdated).replace(
             u"{binding}"_s,
             QString(kBinding).replace(u"version 2.0.0.0"_s, u"version 1.0.0.0"_s)))});
    // A successful run's lines in a build that counts the installer's exit code as success.
    const auto accepted = [](int code) {
        return QString(kUpdated).replace(
            u"Installer exit code: 0"_s,
            u"Installer exit code: %1\nInstaller exit code %1 counts as success in this build."_s
                .arg(code));
    };
    add("0: installer exit code 3010, which the publisher's build accepts",
        {.installerExit = 3010,
         .build = msi,
         .expected = updated(accepted(3010), msi),
         .windowsOnly = kWindowsInstallerCodes});
    add("0: installer exit code 1641: the computer restarts, the application with it",
        {.installerExit = 1641,
         .build = msi,
         .expected = {0,
                      lines(accepted(1641)
                                .replace(u"Restarting application: {restart}"_s,
                                         u"Application not restarted: the installer has started a "
                                         "restart of the computer."_s)
                                .remove(u"Application restarted successfully.\n"_s),
                            msi),
                      originalBlock(), false},
         .windowsOnly = kWindowsInstallerCodes});
    add("0: an installer made with NSIS, which finds the application in the registry",
        {.installer = Installer::Nsis,
         .windowsOnly = "a Windows installer of NSIS, which a POSIX system cannot start"});
    add("0: a user without rights, through pkexec",
        {.host = Host::WithoutRights,
         .linuxOnly =
             "polkit's pkexec, which the row replaces with a set-user-ID program of its own"});
    add("0: a kernel that refuses executable memory files (vm.memfd_noexec = 2)",
        {.host = Host::NoexecKernel,
         .linuxOnly = "a Linux kernel setting, in a PID namespace of the row's own"});

    add("1: relative restart path", {.restart = u"app/Application"_s,
                                     .expected = refused(1, u"Arguments parsed successfully."_s,
                                                         {u"Restart path must be absolute."_s,
                                                          u"Invalid command-line arguments."_s})});
    // Only the exact flag makes a temporary copy: the original relaunches, and its copy refuses
    // the look-alike.
    add("1: the copy's flag in another letter case",
        {.extraArgument = u"--Temporary-Copy"_s,
         .expected = refused(1, u"Arguments parsed successfully."_s,
                             {u"Unknown command-line argument rejected: --Temporary-Copy"_s,
                              u"Invalid command-line arguments."_s})});
    add("2: staging directory name with braces",
        {.stagingName = u"Quindlebrookware-Update-{5c0ffee0-0000-4000-8000-000000000000}"_s,
         .expected = refused(2, u"Staging directory validation passed."_s,
                             {u"Staging directory name is invalid: {stagingName}"_s,
                              u"SECURITY ERROR: staging directory validation failed."_s})});
    add("2: staging directory is a link",
        {.stagingIsLink = true,
         .expected = refused(2, u"Staging directory validation passed."_s,
                             {u"Staging directory is a link or not a directory: {staging}"_s,
                              u"SECURITY ERROR: staging directory validation failed."_s})});
    add("3: manifest announces another digest",
        {.manifestDigest = kOtherDigest,
         .expected =
             refused(3, u"Update manifest validation passed."_s,
                     {u"SECURITY ERROR: manifest SHA-256 does not match updater argument."_s,
                      u"Manifest SHA-256: "_s + kOtherDigest, u"Argument SHA-256: {sha256}"_s,
                      u"SECURITY ERROR: update manifest validation failed."_s})});
    add("4: installer that the updater's user may not read",
        {.host = Host::AsNobody,
         .expected = refused(4, u"Installer exists and is readable."_s,
                             {u"Installer could not be opened: Permission denied (13)"_s,
                              u"Installer does not exist, is not a file, or is not readable."_s}),
         .linuxOnly = "the updater runs as user 65534 (setpriv); on Windows that needs a second "
                      "account and a deny ACL"});
    // Nothing is copied before the size is checked: a sparse file costs nothing on disk.
    add("4: installer of 3 GiB, more than the build accepts",
        {.installer = Installer::Sparse,
         .announcedDigest = kOtherDigest,
         .expected = refused(4, u"Installer exists and is readable."_s,
                             {u"Installer is larger than this updater accepts: 3221225472 bytes "
                              "(the limit is 2147483648 bytes)."_s,
                              u"Installer does not exist, is not a file, or is not readable."_s})});
    // Takes the real 120 s: tst_end_to_end_slow (label "slow") runs it, without the CRL server's
    // port, which it does not need, so that it may run beside the other tests.
    if (qEnvironmentVariableIsSet("UPDATER_E2E_SLOW")) {
        add("5: host outlives the wait",
            {.servesCrls = false,
             .host = Host::Staying,
             .expected =
                 refused(5, kWaiting,
                         {kWaiting, kTimedOut, u"Application did not close successfully."_s})});
    }
    add("6: digest announced for another file",
        {.announcedDigest = kOtherDigest,
         .expected =
             refused(6, u"Expected SHA-256: {sha256}"_s,
                     {u"Expected SHA-256: "_s + kOtherDigest, u"Actual SHA-256:   {actual}"_s,
                      u"SHA-256 verification FAILED."_s})});

    add("7: tampered image, and the host library does not start it again",
        {.installer = Installer::Tampered,
         .host = Host::Library,
         .startAgain = true,
         .expected = trustRefused("80096010")}); // TRUST_E_BAD_DIGEST
    add("7: unsigned image",
        {.installer = Installer::Unsigned, .expected = trustRefused("800b0100")});
    add("7: signed by another publisher of the same CA",
        {.installer = Installer::Pki,
         .pkiImage = u"test-other-publisher.exe"_s,
         .expected = pinRefused(u"test-other-publisher"_s, "Other Publisher", "Code Signing CA")});
    const char* const wineRevocation =
        "Wine 8.0's WinVerifyTrust checks no revocation (it fetches no CRL) and trusts the "
        "signature; only the pin refuses it. Windows: CERT_E_REVOKED (0x800b010c)";
    add("7: revoked publisher", {.installer = Installer::Pki,
                                 .pkiImage = u"test-revoked-publisher.exe"_s,
                                 .expected = trustRefused("800b010c"), // CERT_E_REVOKED
                                 .underWine = pinRefused(u"test-revoked-publisher"_s,
                                                         "Revoked Publisher", "Code Signing CA"),
                                 .wineDifference = wineRevocation});
    add("7: publisher under a revoked CA",
        {.installer = Installer::Pki,
         .pkiImage = u"test-under-revoked-ca.exe"_s,
         .expected = trustRefused("800b010c"),
         .underWine = pinRefused(u"test-under-revoked-ca"_s, "Orphan Publisher", "Revoked CA"),
         .wineDifference = wineRevocation});
    add("7: CRL server unreachable",
        {.servesCrls = false,
         .expected = trustRefused("80092013"), // CRYPT_E_REVOCATION_OFFLINE
         .underWine = updated(),
         .wineDifference = "Wine 8.0's WinVerifyTrust checks no revocation, so an unreachable CRL "
                           "server changes nothing and the update completes. Windows: "
                           "CRYPT_E_REVOCATION_OFFLINE (0x80092013)"});
    // The publisher signs every release of every product: the version resource, which the
    // signature covers, binds the installer to this product at this version or later.
    const QString binding = u"Installer version resource: product {product}, version %1"_s;
    const auto bindingRefused = [](const QString& found, const QString& rule) {
        return refused(7, kBinding.section(u'\n', 0, 0),
                       {found, u"Expected product: "_s + kProduct + u", version 1.0.0.0 or later"_s,
                        u"SECURITY ERROR: "_s + rule, u"Product binding verification FAILED."_s});
    };
    add("7: an older version of the product (a rollback)",
        {.installer = Installer::Rollback,
         .expected = bindingRefused(binding.arg(u"0.9.0.0"_s),
                                    u"installer is an older version than this installation."_s)});
    add("7: another product of the same publisher",
        {.installer = Installer::OtherProduct,
         .expected =
             bindingRefused(binding.arg(u"2.0.0.0"_s), u"installer is another product."_s)});
    add("7: an installer without a version resource",
        {.installer = Installer::NoVersionResource,
         .expected = bindingRefused(u"Installer version resource: none"_s,
                                    u"installer has no version resource."_s)});

    const auto installerFailed = [](int code) {
        return cleaned(8, u"Starting installer with UAC elevation: {installer}"_s,
                       {u"Starting installer with UAC elevation: {installer}"_s,
                        u"Installer process launched successfully."_s,
                        u"Waiting for installer to finish..."_s,
                        u"Installer exit code: %1"_s.arg(code),
                        u"Installer returned a non-zero exit code."_s, u"Installer failed."_s},
                       u"Installation failed -> Staging area cleaned."_s);
    };
    add("8: installer returns 3", {.installerExit = 3, .expected = installerFailed(3)});
    add("8: installer exit code 3010, which the build does not accept",
        {.installerExit = 3010,
         .expected = installerFailed(3010),
         .windowsOnly = kWindowsInstallerCodes});
    // A plain Windows program signed by the pinned publisher: on POSIX nothing may start it (and
    // a shell must not run its bytes as commands).
    add("8: a signed Windows program, which POSIX does not start",
        {.installer = Installer::Pki,
         .pkiImage = u"test-pinned-sha256.exe"_s,
         .build = msi,
         .expected = cleaned(8, u"Starting installer with UAC elevation: {installer}"_s,
                             {u"Starting installer with UAC elevation: {installer}"_s,
                              u"execve failed: Exec format error (8)"_s, u"Installer failed."_s},
                             u"Installation failed -> Staging area cleaned."_s, msi),
         .linuxOnly = "Windows starts a Windows program"});
    add("9: restart target missing",
        {.restart = u"{application}.missing"_s,
         .expected = cleaned(9, u"Restarting application: {restart}"_s,
                             {u"Restart application does not exist: {restart}"_s,
                              u"Could not restart application."_s},
                             u"Application restart failed -> Staging area cleaned."_s)});
    add("10: nothing can be made in TEMP",
        {.immutableTemp = true,
         .expected = {10,
                      {},
                      {u"{banner}"_s, u"Updater started."_s, u"Original updater detected."_s,
                       u"ERROR: Could not create temporary updater directory: {dir}"_s,
                       u"ERROR: Failed to launch temporary updater copy."_s, u"{banner}"_s},
                      false},
         .linuxOnly = "TEMP is made immutable with chattr +i, a Linux file attribute; on Windows "
                      "that needs a deny ACL"});
}

void EndToEndTest::update() {
    QFETCH(Row, row);
#ifdef Q_OS_WIN
    if (row.linuxOnly != nullptr)
        QSKIP(qPrintable(u"Linux only: "_s + QLatin1String(row.linuxOnly)));
#else
    if (row.windowsOnly != nullptr)
        QSKIP(qPrintable(u"Windows only: "_s + QLatin1String(row.windowsOnly)));
#endif
    if (QSysInfo::productType() == u"windows" && !isRunningUnderWine() &&
        (row.stagingIsLink || row.meddling == Meddling::SwapStaging))
        QSKIP("the links of this row are made from the Unix side: on Windows see the release "
              "checklist (docs/windows-build.md)");
    ScopedTemp temp(row.tempName);
    Scenario run(row, temp);
    STEP(run.lay());
    STEP(run.stage());
    STEP(run.start());
    STEP(run.whileTheCopyWaits());
    STEP(run.compareLog());
    STEP(run.checkWhatRan());
    STEP(run.checkOutcomeRecord());
    STEP(run.checkWhatIsLeft());
    if (row.startAgain)
        STEP(run.startAgainRefused());
}

// A copy killed at each stage of an update (a logoff, a power cut, a task manager), and then a
// complete update with a new staging directory: it succeeds, the application's folder is intact,
// and afterwards TEMP holds nothing of the updater's own but the log and the outcome record (the
// killed update's staging directory is the host's).
void EndToEndTest::killedAtEachStage_data() {
    QTest::addColumn<QString>("line");
    QTest::newRow("during the wait") << kWaiting;
    QTest::newRow("after the digest") << u"SHA-256 verification PASSED."_s;
    QTest::newRow("during the installer's run") << u"Waiting for installer to finish..."_s;
    QTest::newRow("during the cleanup") << u"Downloaded installer deleted."_s;
}

void EndToEndTest::killedAtEachStage() {
    QFETCH(QString, line);
    if (!qEnvironmentVariableIsSet("UPDATER_E2E_SLOW"))
        QSKIP("slow: tst_end_to_end_killed runs it");
    ScopedTemp temp;
    {
        Scenario killed(Row{}, temp, u"killed"_s);
        // The installer runs until the test lets it go, after the kill.
        if (line == u"Waiting for installer to finish..."_s)
            killed.hold = {u"UPDATER_E2E_INSTALLER_HOLD="_s +
                           QDir::toNativeSeparators(QFileInfo(temp.path()).absolutePath() +
                                                    u"/killed/release"_s)};
        STEP(killed.lay());
        STEP(killed.stage());
        STEP(killed.start());
        STEP(killed.killCopyAt(line));
    }
    const qsizetype before = temp.logMessages().size();
    const QStringList stagings = entriesOf(temp.path()).filter(contract::kStagingPrefix);
    Scenario next(Row{}, temp);
    STEP(next.lay());
    STEP(next.stage());
    STEP(next.start());
    STEP(next.whileTheCopyWaits());
    STEP(next.compareLog(before, true));
    STEP(next.checkWhatRan());
    STEP(next.checkWhatIsLeft(stagings));
}

// "--host": the host application of a row, which waits until the test ends it. "--noexec-init":
// the first process of a PID namespace that refuses executable memory files: it sets the rule,
// runs the program given, and waits until every process of the namespace has ended.
int main(int argc, char** argv) {
    if (argc == 2 && qstrcmp(argv[1], "--host") == 0) {
        QThread::sleep(600);
        return 0;
    }
#ifdef Q_OS_LINUX
    if (argc > 2 && qstrcmp(argv[1], "--noexec-init") == 0) {
        QFile rule(u"/proc/sys/vm/memfd_noexec"_s);
        if (!rule.open(QIODevice::WriteOnly) || rule.write("2") != 1 || !rule.flush())
            return 3;
        rule.close();
        if (::fork() == 0) {
            ::execv(argv[2], argv + 2);
            ::_exit(127);
        }
        int status = 0;
        while (::wait(&status) > 0 || errno == EINTR) {
        }
        return 0;
    }
#endif
    QCoreApplication app(argc, argv);
    EndToEndTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_end_to_end.moc"
