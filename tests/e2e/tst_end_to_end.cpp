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

#include "crl_server.h"
#include "installer_image.h"
#include "program_run.h"
#include "update_scenario.h"
#include "wine_check.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>
#include <QThread>
#include <QTimer>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <memory>
#include <optional>

using namespace e2e;

namespace {

// The installer that the host downloaded.
enum class Installer {
    Signed,           // built with the suite, signed by the pinned TEST publisher
    Unsigned,         // the same program before signing
    Tampered,         // the signed one with one byte changed that the signature covers
    OtherPublisher,   // committed fixtures of tests/pki, signed by certificates of their names
    RevokedPublisher, //
    UnderRevokedCa,   //
};

// Who starts the updater, and how long it stays.
enum class Host {
    Running,  // e2e-host: stays until the copy waits for it (when the copy gets that far)
    Staying,  // e2e-host: stays until the copy gives up waiting for it, 120 s
    Library,  // demo-host: stages with the host library, starts the updater and exits at once
    AsNobody, // e2e-host: starts the updater as user 65534 (setpriv)
};

enum class Restart { Application, Relative, Missing };
// What is written over the staged installer once it has been opened: another installer (whose
// run would show as exit code 42), or nothing at all.
enum class Rewrite { None, OtherInstaller, Truncated };

// What a run leaves behind.
enum class Left {
    Nothing,         // success: the log, once the self-delete script has run
    CopyFolderKept,  // success of a copy started by hand: its folder and all in it stay
    StagingIntact,   // exits 1 to 7: staging untouched, the temporary updater directory stays
    StagingCleaned,  // exits 8, 9: staging removed, the temporary updater directory stays
    NoTemporaryCopy, // exit 10: staging untouched, nothing made in TEMP
};

struct Outcome {
    Left left = Left::Nothing;
    QStringList copy{}; // the temporary copy's lines
    int hostExit = 0;
    QStringList original = originalBlock();
};

struct Row {
    // What the host downloaded, staged and passed, and how the machine is set up.
    Installer installer = Installer::Signed;
    int installerExit = 0;
    bool servesCrls = true;
    Host host = Host::Running;
    QString stagingName{}; // empty: a fresh valid name
    bool manifestAnnouncesOtherDigest = false;
    QString announcedDigest{}; // what manifest and command line announce; empty: the real one
    Restart restart = Restart::Application;
    bool extraFileInStaging = false;
    bool immutableTemp = false; // chattr +i, once the log exists
    QString tempName = QStringLiteral("TEMP");
    QString applicationFolder = QStringLiteral("app");
    // While the copy waits for it, the host rewrites installer.exe in place.
    Rewrite rewrite = Rewrite::None;
    QString copyDirectory{}; // a directory of the root from which the temporary copy itself is
                             // started, instead of the original updater in install/
    // What the run shows.
    Outcome expected;
    // Where Wine differs from Windows: what it shows instead, and why.
    std::optional<Outcome> underWine{};
    const char* wineDifference = nullptr;
    const char* linuxOnly = nullptr; // why the row cannot run on Windows
};

const QString kWaiting = QStringLiteral("Waiting for application process {pid} to exit...");
const QString kTimedOut = QStringLiteral("Timed out waiting for application after 120 seconds.");
const QString kOtherDigest = sha256Hex("not the installer");
// In the DOS stub, which the Authenticode digest covers (unlike the checksum and the certificate
// table): a change there is a damaged signature on both platforms.
constexpr qsizetype kTamperedByte = 0x60;

QString testName(const char* name) {
    return QStringLiteral("Quindlebrookware TEST %1 - NOT FOR PRODUCTION").arg(QLatin1String(name));
}

Outcome updated(bool extraFile = false) {
    return {Left::Nothing, copyBlockThrough(Stage::InstallerRun) + successTail(extraFile)};
}

// A copy started by hand outside a temporary updater directory updates, and removes none of it.
Outcome updatedByCopyInPlace() {
    QStringList copy = copyBlockThrough(Stage::InstallerRun) + successTail(false);
    const qsizetype scheduled =
        copy.indexOf(QStringLiteral("Scheduling temporary Updater.exe for deletion."));
    copy.remove(scheduled + 1, 5);
    copy.insert(scheduled + 1,
                QStringLiteral("WARNING: Self-delete skipped: not a temporary updater directory: "
                               "{dir}"));
    return {Left::CopyFolderKept, copy, 0, {}};
}

Outcome refused(Stage passed, const QStringList& lines) {
    return {Left::StagingIntact, copyBlockThrough(passed) + lines};
}

// Exits 8 and 9: the failure, the staging-area cleanup, the verdict and the closing banner.
Outcome cleaned(Stage passed, const QStringList& lines, const QString& verdict) {
    return {Left::StagingCleaned,
            copyBlockThrough(passed) + lines +
                QStringList{QStringLiteral("Temporary installer removed."),
                            QStringLiteral("Update manifest removed."),
                            QStringLiteral("Staging directory removed."), verdict} +
                closingBanner()};
}

// The signature check's lines when WinVerifyTrust refuses the file with code.
QStringList trustRefused(const char* code) {
    return {QStringLiteral("Starting strict Authenticode verification: {installer}"),
            QStringLiteral("WinVerifyTrust FAILED: 0x") + QLatin1String(code),
            QStringLiteral("Strict Authenticode verification FAILED.")};
}

// The signature check's lines for a trusted signature by another certificate than the pinned one.
QStringList pinRefused(const char* certificate, const char* subject, const char* issuer) {
    return {QStringLiteral("Starting strict Authenticode verification: {installer}"),
            QStringLiteral("Windows Authenticode trust verification PASSED."),
            QStringLiteral("Certificate revocation checking PASSED."),
            QStringLiteral("Signer certificate SHA-256 thumbprint: ") +
                thumbprintOf(QLatin1String(certificate)),
            QStringLiteral("SECURITY ERROR: certificate thumbprint PIN FAILED."),
            QStringLiteral("Expected signer thumbprint: {pin}"),
            QStringLiteral("Signer certificate subject: ") + testName(subject),
            QStringLiteral("Signer certificate issuer: ") + testName(issuer),
            QStringLiteral("SECURITY ERROR: installer signer is not the pinned publisher."),
            QStringLiteral("Strict Authenticode verification FAILED.")};
}

QByteArray tampered(QByteArray image) {
    image[kTamperedByte] = static_cast<char>(image[kTamperedByte] ^ 0x01);
    return image;
}

QByteArray installerBytes(Installer installer) {
    const QDir pki(testPkiDirectory());
    switch (installer) {
    case Installer::Signed:
        return readFileBytes(QStringLiteral(SIGNED_INSTALLER));
    case Installer::Unsigned:
        return readFileBytes(QStringLiteral(UNSIGNED_INSTALLER));
    case Installer::Tampered:
        return tampered(readFileBytes(QStringLiteral(SIGNED_INSTALLER)));
    case Installer::OtherPublisher:
        return readFileBytes(pki.filePath(QStringLiteral("test-other-publisher.exe")));
    case Installer::RevokedPublisher:
        return readFileBytes(pki.filePath(QStringLiteral("test-revoked-publisher.exe")));
    case Installer::UnderRevokedCa:
        return readFileBytes(pki.filePath(QStringLiteral("test-under-revoked-ca.exe")));
    }
    return {};
}

// The restarted application's working directory: the folder that holds it.
QString restartDirectory(const UpdateScenario& scenario) {
    return QFileInfo(scenario.application()).absolutePath();
}

// The port may be busy for a moment (another suite's server going down), so the start is retried.
std::unique_ptr<CrlServer> startCrlServer() {
    QElapsedTimer timer;
    timer.start();
    do {
        auto server = std::make_unique<CrlServer>(testPkiDirectory());
        if (server->isListening())
            return server;
        QThread::msleep(200);
    } while (!timer.hasExpired(20000));
    return nullptr;
}

// Under Wine, the temporary updater directory and the self-delete scripts may stay in TEMP after a
// successful update.
const char* const kWineSelfDelete =
    "Wine 8.0 has no timeout.exe, so a self-delete script's 15 attempts run back to back, within "
    "a second; when they all come while the temporary copy still runs, the script gives up and "
    "the temporary updater directory (or what is left of it) and the script stay in TEMP. "
    "Windows: the first attempt comes 2 s after the start, once the copy has exited";

// Waits up to timeoutMs for the temporary updater directory to go and TEMP to hold only the log.
bool waitForSelfDelete(const UpdateScenario& scenario, const QString& directory, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (QFileInfo::exists(directory) ||
           scenario.tempEntries() != QStringList{QStringLiteral("Vexta-Updater.log")}) {
        if (timer.hasExpired(timeoutMs))
            return false;
        QThread::msleep(50);
    }
    return true;
}

// Whether TEMP holds the log and nothing but what the self-delete scripts were to remove.
bool onlySelfDeleteLeft(const UpdateScenario& scenario, const NormalisedLog& log) {
    QStringList allowed{QFileInfo(log.temporaryDirectory).fileName()};
    for (const QString& script : log.scripts)
        allowed << QFileInfo(script).fileName();
    const QStringList entries = scenario.tempEntries();
    return entries.contains(QStringLiteral("Vexta-Updater.log")) &&
           std::all_of(entries.cbegin(), entries.cend(), [&](const QString& entry) {
               return entry == QStringLiteral("Vexta-Updater.log") || allowed.contains(entry);
           });
}

// The demo's host: stages the downloaded installer with the host library, starts the updater for
// its own process and exits at once.
HostRun runLibraryHost(const UpdateScenario& scenario, const QByteArray& installer,
                       QString& stagedInstaller) {
    const QString downloaded = scenario.recordPath(QStringLiteral("downloaded.exe"));
    QFile file(downloaded);
    HostRun run;
    if (!file.open(QIODevice::WriteOnly) || file.write(installer) != installer.size())
        return run;
    file.close();
    QProcess host;
    host.setProcessEnvironment(scenario.environment(0));
    // The updater's processes inherit the host's output: a file, as in UpdateScenario::runHost.
    const QString output = scenario.recordPath(QStringLiteral("host-output"));
    host.setStandardOutputFile(output);
    host.setStandardErrorFile(output, QIODevice::Append);
    host.start(QStringLiteral(DEMO_HOST),
               {QStringLiteral("--updater"), scenario.updater(), QStringLiteral("--installer"),
                downloaded, QStringLiteral("--application"), scenario.application()});
    run.finished = waitForExit(host, 30000) && host.exitStatus() == QProcess::NormalExit;
    run.exitCode = host.exitCode();
    run.output = readFileBytes(output);
    const QRegularExpressionMatch staged =
        QRegularExpression(QStringLiteral("demo-host: process (\\d+) staged (.+?)\r?\n"))
            .match(QString::fromUtf8(run.output));
    run.pid = staged.captured(1);
    stagedInstaller =
        QDir::toNativeSeparators(staged.captured(2) + QStringLiteral("/installer.exe"));
    QFile pid(scenario.recordPath(QStringLiteral("host.pid")));
    if (pid.open(QIODevice::WriteOnly))
        pid.write(run.pid.toLatin1());
    return run;
}

#ifdef Q_OS_LINUX
// The temporary copy's exit code, which no host sees: it is started detached. This test adopts
// orphans (a child subreaper), so once its starter has gone the copy is this process's child. It
// is the "Updater" child that started last (a host that starts the updater detached leaves the
// original updater to this process too); every one of them is waited for. nullopt: none ended.
std::optional<int> adoptedCopyExitCode() {
    QElapsedTimer timer;
    timer.start();
    std::optional<int> copyExit;
    qint64 latestStart = -1;
    do {
        for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            const QByteArray stat = readFileBytes(QStringLiteral("/proc/%1/stat").arg(entry));
            const qsizetype open = stat.indexOf('(');
            const qsizetype close = stat.lastIndexOf(')');
            const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
            if (open < 0 || close < open || stat.mid(open + 1, close - open - 1) != "Updater" ||
                fields.value(1).toInt() != ::getpid())
                continue;
            int status = 0;
            const pid_t pid = entry.toInt();
            if (::waitpid(pid, &status, 0) == pid && fields.value(19).toLongLong() > latestStart) {
                latestStart = fields.value(19).toLongLong();
                copyExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
        }
        QThread::msleep(20);
    } while (!copyExit && !timer.hasExpired(60000));
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
        {.extraFileInStaging = true, .expected = updated(true)});
    // The copy may find the host still running or already gone: both wait lines are accepted.
    add("0: staged by the host library, host gone at once",
        {.host = Host::Library, .expected = updated()});
    // A profile name outside the ANSI code page reaches the copy intact (the UTF-16 command line),
    // and the self-delete script, which holds no path, removes what it must.
    add("0: TEMP and application folder outside the ANSI code page",
        {.tempName = QStringLiteral("Jos\u00e9 \u0414\u043c\u0438\u0442\u0440\u0438\u0439 \u674e"),
         .applicationFolder =
             QStringLiteral("App \u674e \u0414\u043c\u0438\u0442\u0440\u0438\u0439 Jos\u00e9"),
         .expected = updated()});
    add("0: TEMP with blanks and cmd.exe's metacharacters",
        {.tempName = QStringLiteral("Tom&Jerry (Work) 100%"), .expected = updated()});
    // "--temporary-copy" by mistake, from an install directory: the update is made, and nothing
    // of that directory is removed.
    add("0: temporary copy started by hand from an install directory",
        {.copyDirectory = QStringLiteral("installed updater"), .expected = updatedByCopyInPlace()});
    // The installer is held from before the wait to its end: what is written into the staged file
    // afterwards is neither checked nor run (Windows refuses the write; POSIX has a sealed copy).
    add("0: installer rewritten in place while the copy waits for the host",
        {.rewrite = Rewrite::OtherInstaller, .expected = updated()});
    add("0: installer truncated while the copy waits for the host",
        {.rewrite = Rewrite::Truncated, .expected = updated()});

    add("1: relative restart path",
        {.restart = Restart::Relative,
         .expected = refused(Stage::Start, {QStringLiteral("Restart path must be absolute."),
                                            QStringLiteral("Invalid command-line arguments.")})});
    add("2: staging directory name with braces",
        {.stagingName = QStringLiteral("Quindlebrookware-Update-{5c0ffee0-0000-4000-8000-"
                                       "000000000000}"),
         .expected =
             refused(Stage::Arguments,
                     {QStringLiteral("Staging directory name is invalid: {stagingName}"),
                      QStringLiteral("SECURITY ERROR: staging directory validation failed.")})});
    add("3: manifest announces another digest",
        {.manifestAnnouncesOtherDigest = true,
         .expected = refused(
             Stage::Staging,
             {QStringLiteral("SECURITY ERROR: manifest SHA-256 does not match updater argument."),
              QStringLiteral("Manifest SHA-256: ") + kOtherDigest,
              QStringLiteral("Argument SHA-256: {sha256}"),
              QStringLiteral("SECURITY ERROR: update manifest validation failed.")})});
    add("4: installer that the updater's user may not read",
        {.host = Host::AsNobody,
         .expected = refused(Stage::Manifest, {QStringLiteral("Installer does not exist, is not "
                                                              "a file, or is not readable.")}),
         .linuxOnly = "the updater runs as user 65534 (setpriv); on Windows that needs a second "
                      "account and a deny ACL"});
    // Takes the real 120 s: tst_end_to_end_slow (label "slow") runs it, without the CRL server's
    // port, which it does not need, so that it may run beside the other tests.
    if (qEnvironmentVariableIsSet("UPDATER_E2E_SLOW")) {
        add("5: host outlives the wait",
            {.servesCrls = false,
             .host = Host::Staying,
             .expected = refused(Stage::InstallerFile,
                                 {kWaiting, kTimedOut,
                                  QStringLiteral("Application did not close successfully.")})});
    }
    add("6: digest announced for another file",
        {.announcedDigest = kOtherDigest,
         .expected = refused(Stage::Wait, {QStringLiteral("Expected SHA-256: ") + kOtherDigest,
                                           QStringLiteral("Actual SHA-256:   {actual}"),
                                           QStringLiteral("SHA-256 verification FAILED.")})});

    add("7: tampered image",
        {.installer = Installer::Tampered,
         .expected = refused(Stage::Digest, trustRefused("80096010"))}); // TRUST_E_BAD_DIGEST
    add("7: unsigned image",
        {.installer = Installer::Unsigned,
         .expected = refused(Stage::Digest, trustRefused("800b0100"))}); // TRUST_E_NOSIGNATURE
    add("7: signed by another publisher of the same CA",
        {.installer = Installer::OtherPublisher,
         .expected = refused(Stage::Digest, pinRefused("test-other-publisher", "Other Publisher",
                                                       "Code Signing CA"))});
    const char* const wineRevocation =
        "Wine 8.0's WinVerifyTrust checks no revocation (it fetches no CRL) and trusts the "
        "signature; only the pin refuses it. Windows: CERT_E_REVOKED (0x800b010c)";
    add("7: revoked publisher",
        {.installer = Installer::RevokedPublisher,
         .expected = refused(Stage::Digest, trustRefused("800b010c")), // CERT_E_REVOKED
         .underWine = refused(Stage::Digest, pinRefused("test-revoked-publisher",
                                                        "Revoked Publisher", "Code Signing CA")),
         .wineDifference = wineRevocation});
    add("7: publisher under a revoked CA",
        {.installer = Installer::UnderRevokedCa,
         .expected = refused(Stage::Digest, trustRefused("800b010c")),
         .underWine = refused(
             Stage::Digest, pinRefused("test-under-revoked-ca", "Orphan Publisher", "Revoked CA")),
         .wineDifference = wineRevocation});
    add("7: CRL server unreachable",
        {.servesCrls = false,
         .expected = refused(Stage::Digest, trustRefused("80092013")), // REVOCATION_OFFLINE
         .underWine = updated(),
         .wineDifference = "Wine 8.0's WinVerifyTrust checks no revocation, so an unreachable CRL "
                           "server changes nothing and the update completes. Windows: "
                           "CRYPT_E_REVOCATION_OFFLINE (0x80092013)"});

    add("8: installer returns 3",
        {.installerExit = 3,
         .expected = cleaned(Stage::Signature,
                             {QStringLiteral("Starting installer with UAC elevation: {installer}"),
                              QStringLiteral("Installer process launched successfully."),
                              QStringLiteral("Waiting for installer to finish..."),
                              QStringLiteral("Installer exit code: 3"),
                              QStringLiteral("Installer returned a non-zero exit code."),
                              QStringLiteral("Installer failed.")},
                             QStringLiteral("Installation failed -> Staging area cleaned."))});
    add("9: restart target missing",
        {.restart = Restart::Missing,
         .expected =
             cleaned(Stage::InstallerRun,
                     {QStringLiteral("Restart application does not exist: {restart}"),
                      QStringLiteral("Could not restart application.")},
                     QStringLiteral("Application restart failed -> Staging area cleaned."))});
    add("10: nothing can be made in TEMP",
        {.immutableTemp = true,
         .expected = {.left = Left::NoTemporaryCopy,
                      .hostExit = 10,
                      .original = {kBanner, QStringLiteral("Updater started."),
                                   QStringLiteral("Original updater detected."),
                                   QStringLiteral("ERROR: Could not create temporary updater "
                                                  "directory: {dir}"),
                                   QStringLiteral(
                                       "ERROR: Failed to launch temporary updater copy."),
                                   kBanner}},
         .linuxOnly = "TEMP is made immutable with chattr +i, a Linux file attribute; on Windows "
                      "that needs a deny ACL"});
}

void EndToEndTest::update() {
    QFETCH(Row, row);
#ifdef Q_OS_WIN
    if (row.linuxOnly != nullptr)
        QSKIP(qPrintable(QStringLiteral("Linux only: ") + QLatin1String(row.linuxOnly)));
#endif
    Outcome expected = row.expected;
    if (row.underWine && isRunningUnderWine()) {
        qInfo("Under Wine: %s", row.wineDifference);
        expected = *row.underWine;
    }
    ScopedTemp temp(row.tempName);
    QVERIFY(temp.isValid());
    UpdateScenario scenario(temp, row.applicationFolder);
    QString error;
    const QString updaterDirectory =
        row.copyDirectory.isEmpty() ? QStringLiteral("install") : row.copyDirectory;
    QVERIFY2(scenario.install(error, updaterDirectory), qPrintable(error));
    const std::unique_ptr<CrlServer> crls = row.servesCrls ? startCrlServer() : nullptr;
    QVERIFY2(crls || !row.servesCrls, "cannot serve the test CRLs on 127.0.0.1");

    // What the host downloaded, staged and passed.
    const QByteArray installer = installerBytes(row.installer);
    QVERIFY(!installer.isEmpty());
    const QString digest =
        row.announcedDigest.isEmpty() ? sha256Hex(installer) : row.announcedDigest;
    // The host library stages for itself.
    Staged staged;
    if (row.host != Host::Library)
        staged = scenario.stage(installer, row.manifestAnnouncesOtherDigest ? kOtherDigest : digest,
                                row.stagingName);
    if (row.extraFileInStaging)
        temp.writeFile(staged.directory + QStringLiteral("/release-notes.txt"), "2.0.0\n");
    const QString restart =
        row.restart == Restart::Relative
            ? QStringLiteral("app/Application")
            : scenario.application() +
                  (row.restart == Restart::Missing ? QStringLiteral(".missing") : QString());
    QStringList arguments = scenario.updaterArguments(staged, digest, restart);
    QString program = scenario.updater(updaterDirectory);
    if (!row.copyDirectory.isEmpty()) {
        arguments << QStringLiteral("--temporary-copy");
        temp.writeFile(QFileInfo(program).absolutePath() + QStringLiteral("/settings.ini"), "mine");
    }

    // The machine's state and the host.
    if (row.immutableTemp) {
        // The log exists, so the updater can still append to it; nothing new can be made in TEMP.
        temp.writeFile(QStringLiteral("Vexta-Updater.log"), QByteArray());
        const ProgramRun immutable =
            runProgram(QStringLiteral("chattr"), {QStringLiteral("+i"), temp.path()});
        if (!immutable.finished || immutable.exitCode != 0)
            QSKIP(qPrintable(QStringLiteral("TEMP cannot be made immutable: ") +
                             QString::fromUtf8(immutable.standardError)));
    }
    const auto mutableAgain = qScopeGuard([&] {
        if (row.immutableTemp)
            runProgram(QStringLiteral("chattr"), {QStringLiteral("-i"), temp.path()});
    });
    if (row.host == Host::AsNobody) {
        const QStringList nobody{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                 QStringLiteral("--clear-groups")};
        const ProgramRun probe =
            runProgram(QStringLiteral("setpriv"), nobody + QStringList{QStringLiteral("true")});
        if (!probe.finished || probe.exitCode != 0)
            QSKIP(qPrintable(QStringLiteral("setpriv cannot switch to user 65534: ") +
                             QString::fromUtf8(probe.standardError)));
        // The unprivileged updater can reach everything but the installer's bytes.
        QVERIFY(QFile::setPermissions(scenario.root(),
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                          QFileDevice::ExeOther));
        QCOMPARE(runProgram(QStringLiteral("chown"), {QStringLiteral("65534:65534"), temp.path()})
                     .exitCode,
                 0);
        QVERIFY(QFile::setPermissions(staged.installer, {}));
        arguments.prepend(program);
        arguments = nobody + arguments;
        program = QStringLiteral("setpriv");
    }
    const QString rewriteSource =
        row.rewrite == Rewrite::None ? QString() : scenario.recordPath(QStringLiteral("rewrite"));
    if (row.rewrite != Rewrite::None)
        temp.writeFile(rewriteSource,
                       row.rewrite == Rewrite::Truncated
                           ? QByteArray()
                           : InstallerImage::build("echo replacement >>\"$UPDATER_E2E_RECORDS/"
                                                   "installer-runs\"; exit 42\n",
                                                   42));
    HostRun host;
    if (row.host == Host::Library) {
        host = runLibraryHost(scenario, installer, staged.installer);
        staged.directory = QFileInfo(staged.installer).absolutePath();
    } else {
        // The host stays as long as the copy waits for it, when the copy gets that far.
        const QString exitAfter = row.host == Host::Staying          ? kTimedOut
                                  : expected.copy.contains(kWaiting) ? kWaiting
                                                                     : QString();
        host = scenario.runHost(program, arguments, exitAfter, row.installerExit,
                                row.host == Host::Staying ? 180000 : 60000, rewriteSource);
    }
    QVERIFY2(host.finished && host.exitCode == expected.hostExit,
             qPrintable(QStringLiteral("host exit code %1, output: %2")
                            .arg(host.exitCode)
                            .arg(QString::fromUtf8(host.output))));

    // The lines of both processes.
    const QMap<QString, QString> values{
        {QStringLiteral("pid"), host.pid},
        {QStringLiteral("installer"), staged.installer},
        {QStringLiteral("restart"), restart},
        {QStringLiteral("size"), QString::number(installer.size())},
        {QStringLiteral("sha256"), digest},
        {QStringLiteral("actual"), sha256Hex(installer)},
        {QStringLiteral("pin"), thumbprintOf(QStringLiteral("test-publisher"))},
        {QStringLiteral("stagingName"), QFileInfo(staged.directory).fileName()}};
    const QStringList original = filled(expected.original, values);
    QStringList copy = filled(expected.copy, values);
    const NormalisedLog log =
        normalised(waitForLogSize(temp, original.size() + copy.size()), temp.path(),
                   row.copyDirectory.isEmpty() ? QString() : QFileInfo(program).absolutePath());
    if (row.host == Host::Library &&
        log.messages.contains(QStringLiteral("Target process no longer exists. Continuing.")))
        copy.replaceInStrings(QStringLiteral("Target application exited."),
                              QStringLiteral("Target process no longer exists. Continuing."));
    QVERIFY(matchesBlocks(log.messages, original, copy));
    const QString directory = log.temporaryDirectory;
    QVERIFY(!directory.isEmpty());
#ifdef Q_OS_LINUX
    // The temporary copy's own exit code, the one of the row's name, which its host never sees.
    if (expected.left != Left::NoTemporaryCopy) {
        const std::optional<int> copyExit = adoptedCopyExitCode();
        QVERIFY2(copyExit.has_value(), "the temporary copy was not seen to end");
        QCOMPARE(*copyExit,
                 QString::fromLatin1(QTest::currentDataTag()).section(u':', 0, 0).toInt());
    }
#endif

    // A rewrite of the held installer: POSIX lets it through (the updater has its own sealed copy),
    // Windows refuses it (the updater's handle shares reading only).
    if (row.rewrite != Rewrite::None) {
        QCOMPARE(readFileBytes(rewriteSource + QStringLiteral(".outcome")),
                 QByteArray(QSysInfo::productType() == QLatin1String("windows") ? "refused"
                                                                                : "written"));
    }

    // The installer ran once, after the host had gone, without arguments, in the temporary
    // updater directory (as its own platform writes that path); its exit code is the one logged.
    const bool installerRan = expected.left == Left::Nothing ||
                              expected.left == Left::CopyFolderKept ||
                              expected.left == Left::StagingCleaned;
    QCOMPARE(scenario.installerRuns(),
             installerRan ? QStringList{QStringLiteral("ran host=ended arguments=0 directory=") +
                                        QDir::toNativeSeparators(directory)}
                          : QStringList());

    switch (expected.left) {
    case Left::Nothing:
        // Started again without arguments; the staging directory, the temporary updater directory
        // and the self-delete scripts are gone.
        QVERIFY(waitForFile(scenario.recordPath(QStringLiteral("restart")), 10000));
        QCOMPARE(scenario.restartRecord(), QStringList{restartDirectory(scenario)});
        QVERIFY(!QFileInfo::exists(staged.directory));
        if (!waitForSelfDelete(scenario, directory, isRunningUnderWine() ? 3000 : 10000)) {
            QVERIFY2(isRunningUnderWine() && onlySelfDeleteLeft(scenario, log),
                     qPrintable(scenario.tempEntries().join(QLatin1Char(' '))));
            qInfo("Under Wine: %s", kWineSelfDelete);
        }
        break;
    case Left::CopyFolderKept:
        QVERIFY(waitForFile(scenario.recordPath(QStringLiteral("restart")), 10000));
        QCOMPARE(scenario.restartRecord(), QStringList{restartDirectory(scenario)});
        QVERIFY(!QFileInfo::exists(staged.directory));
        QCOMPARE(scenario.tempEntries(), QStringList{QStringLiteral("Vexta-Updater.log")});
        QCOMPARE(readFileBytes(directory + QStringLiteral("/settings.ini")), QByteArray("mine"));
        break;
    case Left::StagingIntact: {
        const QString difference = scenario.untouchedDifference(staged);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        break;
    }
    case Left::StagingCleaned:
        QVERIFY(!QFileInfo::exists(staged.directory));
        QVERIFY(scenario.restartRecord().isEmpty());
        // The temporary updater directory stays, with the program in it; no script was written.
        QCOMPARE(scenario.tempEntries(), (QStringList{QFileInfo(directory).fileName(),
                                                      QStringLiteral("Vexta-Updater.log")}));
        QVERIFY(QFileInfo::exists(directory + QLatin1Char('/') +
                                  QFileInfo(scenario.updater()).fileName()));
        break;
    case Left::NoTemporaryCopy: {
        QStringList entries{QFileInfo(staged.directory).fileName(),
                            QStringLiteral("Vexta-Updater.log")};
        entries.sort();
        QCOMPARE(scenario.tempEntries(), entries);
        QCOMPARE(QDir(staged.directory).entryList(QDir::Files),
                 (QStringList{QStringLiteral("installer.exe"), QStringLiteral("manifest.json")}));
        break;
    }
    }
}

QTEST_GUILESS_MAIN(EndToEndTest)
#include "tst_end_to_end.moc"
