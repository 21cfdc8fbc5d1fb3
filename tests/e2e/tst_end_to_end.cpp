// The end-to-end table: updates through the updater as it ships, started the way a host
// application starts it, on Linux and on Windows (under Wine in CI). Each row is one behaviour
// that a host or a user can observe: the exit code that the host sees, the lines of both
// processes in order, whether and how the installer ran, whether and where the application was
// started again, and what is left in the staging directory and in TEMP.
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
// installers are signed when the suite is built (installer_win.cpp, installer-posix.exe); the
// environment tells them where to record and what to return.

#include "crl_server.h"
#include "program_run.h"
#include "relocation/relocation_platform.h"
#include "relocation/temporary_copy.h"
#include "test_environment.h"
#include "wine_check.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>
#include <QThread>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <memory>
#include <optional>

using namespace Qt::Literals::StringLiterals;

namespace {

// Who starts the updater, and how long the host application stays.
enum class Host {
    Running,  // stays until the copy waits for it (when the copy gets that far)
    Staying,  // stays until the copy gives up waiting for it, 120 s
    Library,  // demo-host: stages with the host library, starts the updater and exits at once
    AsNobody, // the updater runs as user 65534 (setpriv)
};

struct Outcome {
    int exit = 0;       // the temporary copy's exit code (10: the original's)
    QStringList copy{}; // the temporary copy's lines
    QStringList original{};
};

struct Row {
    // What the host downloaded, staged and passed, and how the machine is set up.
    QString installer{}; // empty: signed by the pinned TEST publisher; "unsigned", "tampered"
                         // (a byte that the signature covers), or a signed image of tests/pki
    int installerExit = 0;
    bool servesCrls = true;
    Host host = Host::Running;
    QString stagingName{};     // empty: a fresh valid name
    QString announcedDigest{}; // on the command line and in the manifest; empty: the real one
    QString manifestDigest{};  // in the manifest, where it differs
    QString restart = u"{application}"_s;
    QString extraArgument{}; // passed after the four options
    bool extraFileInStaging = false;
    bool immutableTemp = false; // chattr +i, once the log exists
    QString tempName = u"TEMP"_s;
    QString applicationFolder = u"app"_s;
    bool rewrite = false;    // the installer is written over in place while the copy waits
    QString copyDirectory{}; // the temporary copy itself is started from this folder of the root
    Outcome expected;
    // Where Wine differs from Windows: what it shows instead, and why.
    std::optional<Outcome> underWine{};
    const char* wineDifference = nullptr;
    const char* linuxOnly = nullptr; // why the row cannot run on Windows
};

// A successful run's lines of the temporary copy; {selfDelete1} stands for kSelfDelete's lines.
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
// The closing banner as the log's messages show it: the banner and three empty lines.
const QString kClosing = u"{banner}\n\n\n"_s;
const QString kWaiting = u"Waiting for application process {pid} to exit..."_s;
const QString kTimedOut = u"Timed out waiting for application after 120 seconds."_s;
const QString kLog = u"Vexta-Updater.log"_s;
const QString kOtherDigest =
    QString::fromLatin1(QCryptographicHash::hash("other", QCryptographicHash::Sha256).toHex());
// In the DOS stub, which the Authenticode digest covers (unlike the checksum and the certificate
// table): a change there is a damaged signature on both platforms.
constexpr qsizetype kTamperedByte = 0x60;

// The lines of an expected text, with the self-delete lines in place of {selfDelete1} and
// {selfDelete2} (the first and the second script) and the closing banner in place of {closing}.
QStringList lines(QString text) {
    return text
        .replace(u"{selfDelete1}"_s, QString(kSelfDelete).replace(u"{script}"_s, u"{script1}"_s))
        .replace(u"{selfDelete2}"_s, QString(kSelfDelete).replace(u"{script}"_s, u"{script2}"_s))
        .replace(u"{closing}"_s, kClosing)
        .split(u'\n');
}

QStringList originalBlock() {
    QStringList block{u"{banner}"_s, u"Updater started."_s, u"Original updater detected."_s,
                      u"Temporary updater copy created: {dir}/{exe}"_s};
    for (const QString& library : relocation::runtimeLibraries())
        block << u"Temporary updater DLL copied: {dir}/"_s + library;
    return block << u"Launching temporary updater copy."_s
                 << u"Temporary updater launched successfully."_s << u"Original updater exiting."_s
                 << u"{banner}"_s;
}

Outcome updated(const QString& text = kUpdated) {
    return {0, lines(text), originalBlock()};
}

// The staging directory held a file more: the cleanup process removes it, with a script of its
// own.
Outcome updatedWithExtraFile() {
    return updated(QString(kUpdated)
                       .replace(u"Update staging directory removed."_s,
                                u"Staging directory will be removed by cleanup process."_s)
                       .replace(u"Updater finished successfully."_s,
                                uR"(Warning: could not remove staging directory.
{selfDelete2}
Updater finished successfully.)"_s));
}

// Exits 1 to 7: a successful run's lines before `line`, then the refusal.
Outcome refused(int exit, const QString& line, const QStringList& refusal) {
    const QStringList all = lines(kUpdated);
    if (!all.contains(line))
        qFatal("not a line of a successful run: %s", qPrintable(line));
    return {exit, all.mid(0, all.indexOf(line)) + refusal, originalBlock()};
}

// Exits 8 and 9: the failure, the staging-area cleanup, the verdict and the closing banner.
Outcome cleaned(int exit, const QString& line, const QStringList& failure, const QString& verdict) {
    return refused(exit, line,
                   failure +
                       QStringList{u"Temporary installer removed."_s, u"Update manifest removed."_s,
                                   u"Staging directory removed."_s, verdict} +
                       kClosing.split(u'\n'));
}

// The signature check's lines when WinVerifyTrust refuses the file with code.
Outcome trustRefused(const char* code) {
    return refused(7, u"Starting strict Authenticode verification: {installer}"_s,
                   {u"Starting strict Authenticode verification: {installer}"_s,
                    u"WinVerifyTrust FAILED: 0x"_s + QLatin1String(code),
                    u"Strict Authenticode verification FAILED."_s});
}

QString sha256Hex(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
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

QByteArray installerBytes(const QString& installer) {
    if (installer == u"unsigned")
        return readFileBytes(QStringLiteral(UNSIGNED_INSTALLER));
    QByteArray bytes = readFileBytes(installer.isEmpty() || installer == u"tampered"
                                         ? QStringLiteral(SIGNED_INSTALLER)
                                         : testPkiDirectory() + u'/' + installer + u".exe"_s);
    if (installer == u"tampered")
        bytes[kTamperedByte] = static_cast<char>(bytes[kTamperedByte] ^ 0x01);
    return bytes;
}

// Copies a program of the build into directory, with the runtime libraries that the build names.
bool install(const QString& program, const QString& directory) {
    QStringList files{program};
    for (const QString& library : relocation::runtimeLibraries())
        files << QFileInfo(QStringLiteral(DEPLOYED_UPDATER)).dir().filePath(library);
    return QDir().mkpath(directory) &&
           std::all_of(files.cbegin(), files.cend(), [&](const QString& file) {
               return QFile::copy(file, directory + u'/' + QFileInfo(file).fileName());
           });
}

QStringList entriesOf(const QString& directory) {
    return QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                                     QDir::Name);
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

// The log's messages with the temporary updater directory's path (one made in TEMP, or the given
// one) replaced by {dir} and the self-delete scripts' paths by {script1}, {script2}, ... in the
// order in which they appear.
struct Log {
    QStringList messages;
    QString directory; // what {dir} stands for; empty if no such path was logged
};
Log normalised(const QStringList& messages, const QString& temp, const QString& copyDirectory) {
    const QString uuid = u"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}"_s;
    const QRegularExpression directory(copyDirectory.isEmpty()
                                           ? QRegularExpression::escape(temp) +
                                                 u"/Quindlebrookware-Updater-"_s + uuid
                                           : QRegularExpression::escape(copyDirectory));
    const QRegularExpression script(
        QRegularExpression::escape(temp) + u"/Quindlebrookware-Updater-Cleanup-"_s + uuid +
        QRegularExpression::escape(relocation::platform::selfDeleteScriptSuffix()));
    Log log;
    QStringList scripts; // in the order of their first mention
    for (QString line : messages) {
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
                if (!stat.contains("(Updater)") || fields.value(1).toInt() != ::getpid() ||
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

} // namespace

Q_DECLARE_METATYPE(Row)

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
};

void EndToEndTest::update_data() {
    QTest::addColumn<Row>("row");
    const auto add = [](const char* name, const Row& row) { QTest::newRow(name) << row; };

    add("0: complete update, host running until the copy waits for it", {.expected = updated()});
    add("0: extra file in the staging directory",
        {.extraFileInStaging = true, .expected = updatedWithExtraFile()});
    // The copy may find the host still running or already gone: both wait lines are accepted.
    add("0: staged by the host library, host gone at once",
        {.host = Host::Library, .expected = updated()});
    // A profile name outside the ANSI code page and with cmd.exe's metacharacters reaches the copy
    // intact (the UTF-16 command line), and the self-delete script, which holds no path, removes
    // what it must.
    add("0: TEMP and application folder outside the ANSI code page, with cmd.exe's metacharacters",
        {.tempName = u"Jos\u00e9 \u0414\u043c\u0438\u0442\u0440\u0438\u0439 \u674e Tom&Jerry "
                     "(Work) 100%"_s,
         .applicationFolder = u"App \u674e \u0414\u043c\u0438\u0442\u0440\u0438\u0439 Jos\u00e9"_s,
         .expected = updated()});
    // "--temporary-copy" by mistake, from an install directory: the update is made, and nothing
    // of that directory is removed.
    add("0: temporary copy started by hand from an install directory",
        {.copyDirectory = u"installed updater"_s,
         .expected = {0,
                      lines(QString(kUpdated).replace(
                          u"{selfDelete1}"_s, u"WARNING: Self-delete skipped: not a temporary "
                                              "updater directory: {dir}"_s)),
                      {}}});
    // The installer is held from before the wait to its end: what is written into the staged file
    // afterwards is neither checked nor run (Windows refuses the write; POSIX has a sealed copy).
    add("0: installer rewritten in place while the copy waits for the host",
        {.rewrite = true, .expected = updated()});

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
                             {u"Installer does not exist, is not a file, or is not readable."_s}),
         .linuxOnly = "the updater runs as user 65534 (setpriv); on Windows that needs a second "
                      "account and a deny ACL"});
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

    add("7: tampered image",
        {.installer = u"tampered"_s, .expected = trustRefused("80096010")}); // TRUST_E_BAD_DIGEST
    add("7: unsigned image",
        {.installer = u"unsigned"_s, .expected = trustRefused("800b0100")}); // TRUST_E_NOSIGNATURE
    add("7: signed by another publisher of the same CA",
        {.installer = u"test-other-publisher"_s,
         .expected = pinRefused(u"test-other-publisher"_s, "Other Publisher", "Code Signing CA")});
    const char* const wineRevocation =
        "Wine 8.0's WinVerifyTrust checks no revocation (it fetches no CRL) and trusts the "
        "signature; only the pin refuses it. Windows: CERT_E_REVOKED (0x800b010c)";
    add("7: revoked publisher", {.installer = u"test-revoked-publisher"_s,
                                 .expected = trustRefused("800b010c"), // CERT_E_REVOKED
                                 .underWine = pinRefused(u"test-revoked-publisher"_s,
                                                         "Revoked Publisher", "Code Signing CA"),
                                 .wineDifference = wineRevocation});
    add("7: publisher under a revoked CA",
        {.installer = u"test-under-revoked-ca"_s,
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

    add("8: installer returns 3",
        {.installerExit = 3,
         .expected =
             cleaned(8, u"Starting installer with UAC elevation: {installer}"_s,
                     {u"Starting installer with UAC elevation: {installer}"_s,
                      u"Installer process launched successfully."_s,
                      u"Waiting for installer to finish..."_s, u"Installer exit code: 3"_s,
                      u"Installer returned a non-zero exit code."_s, u"Installer failed."_s},
                     u"Installation failed -> Staging area cleaned."_s)});
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
                       u"ERROR: Failed to launch temporary updater copy."_s, u"{banner}"_s}},
         .linuxOnly = "TEMP is made immutable with chattr +i, a Linux file attribute; on Windows "
                      "that needs a deny ACL"});
}

void EndToEndTest::update() {
    QFETCH(Row, row);
#ifdef Q_OS_WIN
    if (row.linuxOnly != nullptr)
        QSKIP(qPrintable(u"Linux only: "_s + QLatin1String(row.linuxOnly)));
#endif
    Outcome expected = row.expected;
    if (row.underWine && isRunningUnderWine()) {
        qInfo("Under Wine: %s", row.wineDifference);
        expected = *row.underWine;
    }
    ScopedTemp temp(row.tempName);
    QVERIFY(temp.isValid());
    const QString root = QFileInfo(temp.path()).absolutePath();
    const QString records = root + u"/records"_s;
    const QString updaterDirectory =
        root + u'/' + (row.copyDirectory.isEmpty() ? u"install"_s : row.copyDirectory);
    const QString updater = updaterDirectory + u'/' + relocation::platform::updaterExecutableName();
    const QString applicationDirectory = root + u'/' + row.applicationFolder;
    const QString application = QDir::toNativeSeparators(
        applicationDirectory + u'/' + QFileInfo(QStringLiteral(APPLICATION_RECORDER)).fileName());
    QVERIFY(QDir().mkpath(records) && install(QStringLiteral(DEPLOYED_UPDATER), updaterDirectory) &&
            install(QStringLiteral(APPLICATION_RECORDER), applicationDirectory));
    const std::unique_ptr<CrlServer> crls =
        row.servesCrls ? std::make_unique<CrlServer>(testPkiDirectory()) : nullptr;
    QVERIFY2(!crls || crls->isReady(), "cannot serve the test CRLs on 127.0.0.1");

    // What the host downloaded, staged and passed; the host library stages for itself.
    const QByteArray installer = installerBytes(row.installer);
    QVERIFY(!installer.isEmpty());
    const QString digest =
        row.announcedDigest.isEmpty() ? sha256Hex(installer) : row.announcedDigest;
    QString staging;
    QString stagedInstaller;
    if (row.host != Host::Library) {
        staging = temp.createStagingDirectory(row.stagingName);
        stagedInstaller =
            QDir::toNativeSeparators(temp.writeFile(staging + u"/installer.exe"_s, installer));
        // Executable, as a host may leave it: what runs must still be the held file.
        QFile::setPermissions(stagedInstaller,
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QJsonObject manifest{
            {u"installer"_s, u"installer.exe"_s},
            {u"sha256"_s, row.manifestDigest.isEmpty() ? digest : row.manifestDigest}};
        temp.writeFile(staging + u"/manifest.json"_s, QJsonDocument(manifest).toJson());
    }
    if (row.extraFileInStaging)
        temp.writeFile(staging + u"/release-notes.txt"_s, "2.0.0\n");
    const QString restart = QString(row.restart).replace(u"{application}"_s, application);
    QStringList arguments{u"--pid"_s,    u"{pid}"_s, u"--installer"_s, stagedInstaller,
                          u"--sha256"_s, digest,     u"--restart"_s,   restart};
    if (!row.extraArgument.isEmpty())
        arguments << row.extraArgument;
    if (!row.copyDirectory.isEmpty()) {
        arguments << u"--temporary-copy"_s;
        temp.writeFile(updaterDirectory + u"/settings.ini"_s, "mine");
    }

    // The machine's state.
    if (row.immutableTemp) {
        // The log exists, so the updater can still append to it; nothing new can be made in TEMP.
        temp.writeFile(kLog, QByteArray());
        const ProgramRun immutable = runProgram(u"chattr"_s, {u"+i"_s, temp.path()});
        if (!immutable.finished || immutable.exitCode != 0)
            QSKIP(qPrintable(u"TEMP cannot be made immutable: "_s +
                             QString::fromUtf8(immutable.standardError)));
    }
    const auto mutableAgain = qScopeGuard([&] {
        if (row.immutableTemp)
            runProgram(u"chattr"_s, {u"-i"_s, temp.path()});
    });
    QString program = updater;
    if (row.host == Host::AsNobody) {
        const QStringList nobody{u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s};
        const ProgramRun probe = runProgram(u"setpriv"_s, nobody + QStringList{u"true"_s});
        if (!probe.finished || probe.exitCode != 0)
            QSKIP(qPrintable(u"setpriv cannot switch to user 65534: "_s +
                             QString::fromUtf8(probe.standardError)));
        // The unprivileged updater can reach everything but the installer's bytes.
        QVERIFY(QFile::setPermissions(root, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                                QFileDevice::ExeOther) &&
                QFile::setPermissions(stagedInstaller, {}));
        QCOMPARE(runProgram(u"chown"_s, {u"65534:65534"_s, temp.path()}).exitCode, 0);
        arguments = nobody + QStringList{updater} + arguments;
        program = u"setpriv"_s;
    }

    // The host application: this program again, which waits until it is ended. It starts the
    // updater from the updater's folder with its own ID, or demo-host stands for it.
    QProcess host;
    QString pid;
    if (row.host != Host::Library) {
        host.start(QCoreApplication::applicationFilePath(), {u"--host"_s});
        QVERIFY(host.waitForStarted());
        pid = QString::number(host.processId());
        temp.writeFile(records + u"/host.pid"_s, pid.toLatin1());
    }
    const auto endHost = qScopeGuard([&] {
        host.kill();
        waitForExit(host, 30000);
    });
    QProcess starter;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"UPDATER_E2E_RECORDS"_s, QDir::toNativeSeparators(records));
    environment.insert(u"UPDATER_E2E_INSTALLER_EXIT"_s, QString::number(row.installerExit));
    environment.insert(u"UPDATER_HOST_TEST_RECORD"_s,
                       QDir::toNativeSeparators(records + u"/restart"_s));
    starter.setProcessEnvironment(environment);
    // The updater's processes inherit this output; a pipe would break once this test stops
    // reading it, and a write to it (the installer image's shell complaining about its "MZ" line)
    // would then kill the writer.
    const QString output = records + u"/output"_s;
    starter.setStandardOutputFile(output, QIODevice::Append);
    starter.setStandardErrorFile(output, QIODevice::Append);
    starter.setWorkingDirectory(updaterDirectory);
    starter.setProgram(program);
    starter.setArguments(arguments.replaceInStrings(u"{pid}"_s, pid));
    if (row.host == Host::Library) {
        const QString downloaded = temp.writeFile(records + u"/downloaded.exe"_s, installer);
        starter.setProgram(QStringLiteral(DEMO_HOST));
        starter.setArguments({u"--updater"_s, updater, u"--installer"_s, downloaded,
                              u"--application"_s, application});
    }
    // A temporary copy started by hand waits for its host, which therefore cannot wait for it.
    if (!row.copyDirectory.isEmpty()) {
        QVERIFY(starter.startDetached());
    } else {
        starter.start();
        QVERIFY(starter.waitForStarted());
        QVERIFY(waitForExit(starter, 60000) && starter.exitStatus() == QProcess::NormalExit);
    }
    QVERIFY2(starter.exitCode() == (expected.exit == 10 ? 10 : 0),
             qPrintable(u"exit code %1, output: %2"_s.arg(starter.exitCode())
                            .arg(QString::fromUtf8(readFileBytes(output)))));
    if (row.host == Host::Library) {
        const QRegularExpressionMatch staged =
            QRegularExpression(u"demo-host: process (\\d+) staged (.+?)\r?\n"_s)
                .match(QString::fromUtf8(readFileBytes(output)));
        pid = staged.captured(1);
        staging = staged.captured(2);
        stagedInstaller = QDir::toNativeSeparators(staging + u"/installer.exe"_s);
        temp.writeFile(records + u"/host.pid"_s, pid.toLatin1());
    }

    // The host stays as long as the copy waits for it, when the copy gets that far, and a moment
    // more: the copy logs the line just before it opens the host's process, and so always sees it
    // end rather than sometimes find it gone already.
    const QString hostEnd = QString(row.host == Host::Staying          ? kTimedOut
                                    : expected.copy.contains(kWaiting) ? kWaiting
                                                                       : QString())
                                .replace(u"{pid}"_s, pid);
    if (!hostEnd.isEmpty() && row.host != Host::Library) {
        (void)QTest::qWaitFor([&] { return temp.logMessages().contains(hostEnd); },
                              row.host == Host::Staying ? 150000 : 30000);
        QThread::msleep(200);
    }
    // A rewrite of the held installer: POSIX lets it through (the updater has its own sealed
    // copy), Windows refuses it (the updater's handle shares reading only). The replacement, an
    // unsigned program, would fail and show in the log were it run.
    if (row.rewrite) {
        QFile held(stagedInstaller);
        const QByteArray replacement =
            readFileBytes(testPkiDirectory() + u"/test-unsigned-pe32plus.exe"_s);
        QCOMPARE(held.open(QIODevice::WriteOnly | QIODevice::ExistingOnly) &&
                     held.write(replacement) == replacement.size() && held.flush(),
                 QSysInfo::productType() != u"windows");
        held.close();
    }
    host.kill();
    waitForExit(host, 30000);

    // The lines of both processes.
    const QMap<QString, QString> values{{u"pid"_s, pid},
                                        {u"installer"_s, stagedInstaller},
                                        {u"restart"_s, restart},
                                        {u"size"_s, QString::number(installer.size())},
                                        {u"sha256"_s, digest},
                                        {u"actual"_s, sha256Hex(installer)},
                                        {u"pin"_s, thumbprintOf(u"test-publisher"_s)},
                                        {u"stagingName"_s, QFileInfo(staging).fileName()},
                                        {u"banner"_s, QString(40, u'=')},
                                        {u"exe"_s, relocation::platform::updaterExecutableName()}};
    QStringList original = expected.original;
    QStringList copy = expected.copy;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        original.replaceInStrings(u'{' + it.key() + u'}', it.value());
        copy.replaceInStrings(u'{' + it.key() + u'}', it.value());
    }
    (void)QTest::qWaitFor(
        [&] { return temp.logMessages().size() >= original.size() + copy.size(); }, 30000);
    const Log log = normalised(temp.logMessages(), temp.path(),
                               row.copyDirectory.isEmpty() ? QString() : updaterDirectory);
    if (row.host == Host::Library &&
        log.messages.contains(u"Target process no longer exists. Continuing."_s))
        copy.replaceInStrings(u"Target application exited."_s,
                              u"Target process no longer exists. Continuing."_s);
    if (!isInterleaving(log.messages, original, copy)) {
        // All three as warnings: a failure message would be cut short.
        for (const auto& [title, lines] :
             {std::pair{"log", log.messages}, std::pair{"original", original},
              std::pair{"copy", copy}})
            qWarning("--- %s:\n%s", title, qPrintable(lines.join(u'\n')));
        QFAIL("the log does not hold both processes' lines in order");
    }
    QVERIFY(!log.directory.isEmpty());
#ifdef Q_OS_LINUX
    if (expected.exit != 10)
        QCOMPARE(adoptedCopyExitCode(), expected.exit);
#endif

    // The installer ran once, after the host had gone, without arguments, in the temporary
    // updater directory (as its own platform writes that path); its exit code is the one logged.
    const bool ran = expected.exit == 0 || expected.exit == 8 || expected.exit == 9;
    QCOMPARE(linesOf(records + u"/installer-runs"_s),
             ran ? QStringList{u"ran host=ended arguments=0 directory="_s +
                               QDir::toNativeSeparators(log.directory)}
                 : QStringList());
    // Started again without arguments, in its own folder.
    if (expected.exit == 0)
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(records + u"/restart"_s); }, 10000));
    QCOMPARE(linesOf(records + u"/restart"_s),
             expected.exit == 0 ? QStringList{applicationDirectory} : QStringList());

    // What is left: exits 1 to 7 and 10 leave the staging directory as staged; exits 1 to 9 leave
    // the temporary updater directory with the program in it, but no self-delete script; a
    // success leaves only the log, once the self-delete script has run.
    const bool stagingLeft = (expected.exit >= 1 && expected.exit <= 7) || expected.exit == 10;
    const bool directoryLeft = expected.exit >= 1 && expected.exit <= 9;
    QStringList left{kLog};
    if (stagingLeft)
        left << QFileInfo(staging).fileName();
    if (directoryLeft)
        left << QFileInfo(log.directory).fileName();
    left.sort();
    if (stagingLeft) {
        QCOMPARE(entriesOf(staging), (QStringList{u"installer.exe"_s, u"manifest.json"_s}));
        QCOMPARE(readFileBytes(stagedInstaller), installer);
    }
    if (directoryLeft || !row.copyDirectory.isEmpty())
        QVERIFY(QFileInfo::exists(log.directory + u'/' + QFileInfo(updater).fileName()));
    if (!row.copyDirectory.isEmpty())
        QCOMPARE(readFileBytes(updaterDirectory + u"/settings.ini"_s), QByteArray("mine"));
    // A success leaves the log alone once the self-delete script has run (its first attempt comes
    // 2 s after its start: timeout, or ping where there is none, as under Wine).
    if (expected.exit == 0 && row.copyDirectory.isEmpty())
        (void)QTest::qWaitFor([&] { return entriesOf(temp.path()) == left; }, 10000);
    QCOMPARE(entriesOf(temp.path()), left);
}

// "--host": the host application of a row, which waits until the test ends it.
int main(int argc, char** argv) {
    if (argc == 2 && qstrcmp(argv[1], "--host") == 0) {
        QThread::sleep(600);
        return 0;
    }
    QCoreApplication app(argc, argv);
    EndToEndTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_end_to_end.moc"
