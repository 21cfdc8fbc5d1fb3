// Complete updates through the installed program, started by a running host process: the exit
// code that the host sees, both processes' blocks of log lines, what is left in TEMP, the wait
// for the host, the installer's single run and the restart of the application.

#include "crl_server.h"
#include "program_run.h"
#include "update_scenario.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>
#include <QThread>

#include <memory>

#include <unistd.h>

using namespace e2e;

namespace {

// How a row departs from a plain, valid update.
enum class Setup {
    Valid,
    ExtraFileInStaging,
    RelativeRestartPath,
    StagingNameWithBraces,
    ManifestAnnouncesOtherDigest,
    DigestOfOtherFileEverywhere,
    OtherPublisher,
    UnsignedInstaller,
    InstallerExitsThree,
    RestartPathIsDirectory,
};

// What a row leaves behind.
enum class Left {
    Nothing,        // success: only the log, once the self-delete has run
    StagingIntact,  // exits 1 to 7: staging area untouched, temporary updater directory stays
    StagingCleaned, // exits 8, 9: staging area removed, temporary updater directory stays
};

const QString kOtherDigest = sha256Hex("not the installer");

// Waits up to timeoutMs for TEMP to hold exactly the given entries.
bool waitForTempEntries(const UpdateScenario& scenario, const QStringList& entries, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (scenario.tempEntries() != entries) {
        if (timer.hasExpired(timeoutMs))
            return false;
        QThread::msleep(50);
    }
    return true;
}

} // namespace

class EndToEndTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void update_data();
    void update();
    void updateStagedByTheHostLibrary();
    void unreadableInstallerEndsWithExitFour();
    void temporaryCopyNotPreparedEndsWithExitTen();

private:
    // One CRL server for the whole run; the port may be busy for a moment (another suite's
    // server going down), so its start is retried.
    std::unique_ptr<CrlServer> crls_;
};

void EndToEndTest::initTestCase() {
    QElapsedTimer timer;
    timer.start();
    do {
        crls_ = std::make_unique<CrlServer>(testPkiDirectory());
        if (crls_->isListening())
            return;
        crls_.reset();
        QThread::msleep(200);
    } while (!timer.hasExpired(20000));
    QFAIL("cannot serve the test CRLs on 127.0.0.1");
}

void EndToEndTest::update_data() {
    QTest::addColumn<Setup>("setup");
    // The last stage that passes; the row's own lines follow it.
    QTest::addColumn<Stage>("passed");
    QTest::addColumn<QStringList>("failure"); // empty: success
    QTest::addColumn<Left>("left");
    QTest::addColumn<bool>("installerRuns");

    const QStringList cleanup{QStringLiteral("Temporary installer removed."),
                              QStringLiteral("Update manifest removed."),
                              QStringLiteral("Staging directory removed.")};

    QTest::newRow("0: complete update")
        << Setup::Valid << Stage::InstallerRun << QStringList() << Left::Nothing << true;
    QTest::newRow("0: extra file in the staging directory")
        << Setup::ExtraFileInStaging << Stage::InstallerRun << QStringList() << Left::Nothing
        << true;
    QTest::newRow("1: relative restart path")
        << Setup::RelativeRestartPath << Stage::Start
        << QStringList{QStringLiteral("Restart path must be absolute."),
                       QStringLiteral("Invalid command-line arguments.")}
        << Left::StagingIntact << false;
    QTest::newRow("2: staging directory name with braces")
        << Setup::StagingNameWithBraces << Stage::Arguments
        << QStringList{QStringLiteral("Staging directory name is invalid: {stagingName}"),
                       QStringLiteral("SECURITY ERROR: staging directory validation failed.")}
        << Left::StagingIntact << false;
    QTest::newRow("3: manifest announces another digest")
        << Setup::ManifestAnnouncesOtherDigest << Stage::Staging
        << QStringList{QStringLiteral(
                           "SECURITY ERROR: manifest SHA-256 does not match updater argument."),
                       QStringLiteral("Manifest SHA-256: ") + kOtherDigest,
                       QStringLiteral("Argument SHA-256: {sha256}"),
                       QStringLiteral("SECURITY ERROR: update manifest validation failed.")}
        << Left::StagingIntact << false;
    QTest::newRow("6: digest mismatch, manifest and argument agree")
        << Setup::DigestOfOtherFileEverywhere << Stage::Wait
        << QStringList{QStringLiteral("Expected SHA-256: ") + kOtherDigest,
                       QStringLiteral("Actual SHA-256:   {sha256}"),
                       QStringLiteral("SHA-256 verification FAILED.")}
        << Left::StagingIntact << false;
    QTest::newRow("7: signed by the other TEST publisher")
        << Setup::OtherPublisher << Stage::Digest
        << QStringList{QStringLiteral("Starting strict Authenticode verification: {installer}"),
                       QStringLiteral("Windows Authenticode trust verification PASSED."),
                       QStringLiteral("Certificate revocation checking PASSED."),
                       QStringLiteral("Signer certificate SHA-256 thumbprint: ") +
                           testThumbprint(QStringLiteral("test-other-publisher")),
                       QStringLiteral("SECURITY ERROR: certificate thumbprint PIN FAILED."),
                       QStringLiteral("Expected signer thumbprint: {pin}"),
                       QStringLiteral(
                           "Signer certificate subject: Quindlebrookware TEST Other Publisher - "
                           "NOT FOR PRODUCTION"),
                       QStringLiteral(
                           "Signer certificate issuer: Quindlebrookware TEST Code Signing CA - "
                           "NOT FOR PRODUCTION"),
                       QStringLiteral(
                           "SECURITY ERROR: installer signer is not the pinned publisher."),
                       QStringLiteral("Strict Authenticode verification FAILED.")}
        << Left::StagingIntact << false;
    QTest::newRow("7: unsigned installer")
        << Setup::UnsignedInstaller << Stage::Digest
        << QStringList{QStringLiteral("Starting strict Authenticode verification: {installer}"),
                       QStringLiteral("WinVerifyTrust FAILED: 0x800b0100"),
                       QStringLiteral("Strict Authenticode verification FAILED.")}
        << Left::StagingIntact << false;
    QTest::newRow("8: installer exits with 3")
        << Setup::InstallerExitsThree << Stage::Signature
        << QStringList{QStringLiteral("Starting installer with UAC elevation: {installer}"),
                       QStringLiteral("Installer process launched successfully."),
                       QStringLiteral("Waiting for installer to finish..."),
                       QStringLiteral("Installer exit code: 3"),
                       QStringLiteral("Installer returned a non-zero exit code."),
                       QStringLiteral("Installer failed.")} +
               cleanup +
               QStringList{QStringLiteral("Installation failed -> Staging area cleaned.")} +
               closingBanner()
        << Left::StagingCleaned << true;
    QTest::newRow("9: restart path is a directory")
        << Setup::RestartPathIsDirectory << Stage::InstallerRun
        << QStringList{QStringLiteral("Restart application does not exist: {restart}"),
                       QStringLiteral("Could not restart application.")} +
               cleanup +
               QStringList{QStringLiteral("Application restart failed -> Staging area cleaned.")} +
               closingBanner()
        << Left::StagingCleaned << true;
}

void EndToEndTest::update() {
    QFETCH(Setup, setup);
    QFETCH(Stage, passed);
    QFETCH(QStringList, failure);
    QFETCH(Left, left);
    QFETCH(bool, installerRuns);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    UpdateScenario scenario(temp);
    QString error;
    QVERIFY2(scenario.install(error), qPrintable(error));

    // The installer as the host downloaded it.
    QByteArray installer;
    if (setup == Setup::OtherPublisher)
        installer = readFileBytes(
            QDir(testPkiDirectory()).filePath(QStringLiteral("test-other-publisher.exe")));
    else
        installer = scenario.makeInstaller(setup == Setup::InstallerExitsThree ? 3 : 0,
                                           setup != Setup::UnsignedInstaller, error);
    QVERIFY2(!installer.isEmpty(), qPrintable(error));
    const QString digest = sha256Hex(installer);

    // Staging, manifest and command line.
    const QString stagingName =
        setup == Setup::StagingNameWithBraces
            ? QStringLiteral("Quindlebrookware-Update-{5c0ffee0-0000-4000-8000-000000000000}")
            : QString();
    const bool otherDigestEverywhere = setup == Setup::DigestOfOtherFileEverywhere;
    const QString manifestDigest =
        setup == Setup::ManifestAnnouncesOtherDigest || otherDigestEverywhere ? kOtherDigest
                                                                              : digest;
    const Staged staged = scenario.stage(installer, manifestDigest, stagingName);
    if (setup == Setup::ExtraFileInStaging)
        temp.writeFile(staged.directory + QStringLiteral("/release-notes.txt"), "2.0.0\n");
    QString restart = scenario.application();
    if (setup == Setup::RelativeRestartPath)
        restart = QStringLiteral("app/Application");
    if (setup == Setup::RestartPathIsDirectory)
        restart = QFileInfo(scenario.application()).absolutePath();
    const QStringList arguments =
        scenario.updaterArguments(staged, otherDigestEverywhere ? kOtherDigest : digest, restart);

    // The host stays until the copy waits for it, as long as the run gets that far.
    const QString waiting = passed >= Stage::InstallerFile
                                ? QStringLiteral("Waiting for application process {pid} to exit...")
                                : QString();
    const HostRun host = scenario.runHost(scenario.updater(), arguments, waiting);
    QVERIFY2(host.finished, host.output.constData());
    QCOMPARE(host.exitCode, 0);

    const QMap<QString, QString> values{
        {QStringLiteral("pid"), host.pid},
        {QStringLiteral("installer"), staged.installer},
        {QStringLiteral("restart"), restart},
        {QStringLiteral("size"), QString::number(installer.size())},
        {QStringLiteral("sha256"), digest},
        {QStringLiteral("pin"), testThumbprint(QStringLiteral("test-publisher"))},
        {QStringLiteral("stagingName"), QFileInfo(staged.directory).fileName()}};
    const bool success = failure.isEmpty();
    const QStringList original = originalBlock();
    const QStringList copy =
        filled(copyBlockThrough(passed) +
                   (success ? successTail(setup == Setup::ExtraFileInStaging) : failure),
               values);

    const NormalisedLog log =
        normalised(waitForLogSize(temp, original.size() + copy.size()), temp.path());
    QVERIFY(matchesBlocks(log.messages, original, copy));
    QVERIFY(!log.temporaryDirectory.isEmpty());
    const QString temporaryDirectory = log.temporaryDirectory;

    // The installer ran once, after the host had gone, without arguments, in the temporary
    // updater directory; its exit code is the one logged above.
    const QStringList expectedRuns{QStringLiteral("ran host=ended arguments=0 directory=") +
                                   temporaryDirectory};
    QCOMPARE(scenario.installerRuns(), installerRuns ? expectedRuns : QStringList());

    switch (left) {
    case Left::Nothing: {
        // The application was started again without arguments, in the temporary directory.
        QVERIFY(waitForFile(scenario.recordPath(QStringLiteral("restart")), 10000));
        QCOMPARE(scenario.restartRecord(),
                 QStringList{QFileInfo(scenario.application()).absolutePath()});
        QVERIFY(!QFileInfo::exists(staged.directory));
        // The self-delete scripts remove the temporary updater directory and themselves.
        QVERIFY2(waitForTempEntries(scenario, {QStringLiteral("Vexta-Updater.log")}, 10000),
                 qPrintable(scenario.tempEntries().join(QLatin1Char(' '))));
        break;
    }
    case Left::StagingIntact: {
        const QString difference = scenario.untouchedDifference(staged);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        break;
    }
    case Left::StagingCleaned: {
        QVERIFY(!QFileInfo::exists(staged.directory));
        QVERIFY(scenario.restartRecord().isEmpty());
        // The temporary updater directory stays, with the program in it; no script was written.
        QCOMPARE(scenario.tempEntries(), (QStringList{QFileInfo(temporaryDirectory).fileName(),
                                                      QStringLiteral("Vexta-Updater.log")}));
        QVERIFY(QFileInfo(temporaryDirectory + QStringLiteral("/Updater")).isExecutable());
        break;
    }
    }
}

// The demo's host stages the installer with the host library and starts the updater, then exits
// at once: the copy finds it either still running or already gone.
void EndToEndTest::updateStagedByTheHostLibrary() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    UpdateScenario scenario(temp);
    QString error;
    QVERIFY2(scenario.install(error), qPrintable(error));
    const QByteArray installer = scenario.makeInstaller(0, true, error);
    QVERIFY2(!installer.isEmpty(), qPrintable(error));
    const QString downloaded = scenario.recordPath(QStringLiteral("downloaded.exe"));
    QVERIFY(QFile::copy(scenario.recordPath(QStringLiteral("signed.exe")), downloaded));

    // Output to a file: the updater's processes inherit it (see UpdateScenario::runHost).
    QProcess host;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("UPDATER_HOST_TEST_RECORD"),
                       scenario.recordPath(QStringLiteral("restart")));
    host.setProcessEnvironment(environment);
    const QString output = scenario.recordPath(QStringLiteral("host-output"));
    host.setStandardOutputFile(output);
    host.setStandardErrorFile(output, QIODevice::Append);
    host.start(QStringLiteral(DEMO_HOST),
               {QStringLiteral("--updater"), scenario.updater(), QStringLiteral("--installer"),
                downloaded, QStringLiteral("--application"), scenario.application()});
    QVERIFY(host.waitForFinished());
    QVERIFY2(host.exitStatus() == QProcess::NormalExit && host.exitCode() == 0,
             readFileBytes(output).constData());
    const QRegularExpressionMatch staged =
        QRegularExpression(QStringLiteral("demo-host: process (\\d+) staged (\\S+)\n"))
            .match(QString::fromUtf8(readFileBytes(output)));
    QVERIFY2(staged.hasMatch(), readFileBytes(output).constData());
    temp.writeFile(scenario.recordPath(QStringLiteral("host.pid")), staged.captured(1).toLatin1());
    const QString installerPath = staged.captured(2) + QStringLiteral("/installer.exe");

    const QStringList original = originalBlock();
    QStringList copy =
        filled(copyBlockThrough(Stage::InstallerRun) + successTail(false),
               {{QStringLiteral("pid"), staged.captured(1)},
                {QStringLiteral("installer"), installerPath},
                {QStringLiteral("restart"), scenario.application()},
                {QStringLiteral("size"), QString::number(installer.size())},
                {QStringLiteral("sha256"), sha256Hex(installer)},
                {QStringLiteral("pin"), testThumbprint(QStringLiteral("test-publisher"))}});
    const NormalisedLog log =
        normalised(waitForLogSize(temp, original.size() + copy.size()), temp.path());
    if (log.messages.contains(QStringLiteral("Target process no longer exists. Continuing.")))
        copy.replaceInStrings(QStringLiteral("Target application exited."),
                              QStringLiteral("Target process no longer exists. Continuing."));
    QVERIFY(matchesBlocks(log.messages, original, copy));
    QCOMPARE(scenario.installerRuns(),
             QStringList{QStringLiteral("ran host=ended arguments=0 directory=") +
                         log.temporaryDirectory});
    QVERIFY(waitForFile(scenario.recordPath(QStringLiteral("restart")), 10000));
    QCOMPARE(scenario.restartRecord(),
             QStringList{QFileInfo(scenario.application()).absolutePath()});
    QVERIFY2(waitForTempEntries(scenario, {QStringLiteral("Vexta-Updater.log")}, 10000),
             qPrintable(scenario.tempEntries().join(QLatin1Char(' '))));
}

void EndToEndTest::unreadableInstallerEndsWithExitFour() {
    if (geteuid() != 0)
        QSKIP("needs root to run the updater as another user");
    const QString setpriv = QStringLiteral("/usr/bin/setpriv");
    const QStringList nobody{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                             QStringLiteral("--clear-groups")};
    const ProgramRun probe = runProgram(setpriv, nobody + QStringList{QStringLiteral("true")});
    if (!probe.finished || probe.exitCode != 0)
        QSKIP(qPrintable(QStringLiteral("setpriv cannot switch to user 65534: ") +
                         QString::fromUtf8(probe.standardError)));
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    UpdateScenario scenario(temp);
    Staged staged;
    QString error;
    QVERIFY2(scenario.prepare(staged, error), qPrintable(error));
    // The unprivileged updater can reach everything but the installer's bytes.
    QVERIFY(QFile::setPermissions(
        scenario.root(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                             QFileDevice::ReadOther | QFileDevice::ExeOther));
    QVERIFY(::chown(QFile::encodeName(temp.path()).constData(), 65534, 65534) == 0);
    QVERIFY(QFile::setPermissions(staged.installer, {}));

    const HostRun host = scenario.runHost(
        setpriv,
        nobody + QStringList{scenario.updater()} +
            scenario.updaterArguments(staged, staged.installerSha256, scenario.application()),
        QString());
    QVERIFY2(host.finished, host.output.constData());
    QCOMPARE(host.exitCode, 0);

    const QStringList original = originalBlock();
    const QStringList copy =
        filled(copyBlockThrough(Stage::Manifest) +
                   QStringList{QStringLiteral(
                       "Installer does not exist, is not a file, or is not readable.")},
               {{QStringLiteral("pid"), host.pid},
                {QStringLiteral("installer"), staged.installer},
                {QStringLiteral("restart"), scenario.application()}});
    const NormalisedLog log =
        normalised(waitForLogSize(temp, original.size() + copy.size()), temp.path());
    QVERIFY(matchesBlocks(log.messages, original, copy));
    const QString difference = scenario.untouchedDifference(staged);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void EndToEndTest::temporaryCopyNotPreparedEndsWithExitTen() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    UpdateScenario scenario(temp);
    Staged staged;
    QString error;
    QVERIFY2(scenario.prepare(staged, error), qPrintable(error));
    // The log exists, so the updater can still append to it; nothing new can be made in TEMP.
    temp.writeFile(QStringLiteral("Vexta-Updater.log"), QByteArray());
    const ProgramRun immutable =
        runProgram(QStringLiteral("chattr"), {QStringLiteral("+i"), temp.path()});
    if (!immutable.finished || immutable.exitCode != 0)
        QSKIP(qPrintable(QStringLiteral("TEMP cannot be made immutable: ") +
                         QString::fromUtf8(immutable.standardError)));
    const auto mutableAgain = qScopeGuard([&] {
        runProgram(QStringLiteral("chattr"), {QStringLiteral("-i"), temp.path()});
    });

    const HostRun host = scenario.runHost(
        scenario.updater(),
        scenario.updaterArguments(staged, staged.installerSha256, scenario.application()),
        QString());
    QVERIFY2(host.finished, host.output.constData());
    QCOMPARE(host.exitCode, 10);

    const NormalisedLog log = normalised(temp.logMessages(), temp.path());
    QCOMPARE(
        log.messages,
        (QStringList{kBanner, QStringLiteral("Updater started."),
                     QStringLiteral("Original updater detected."),
                     QStringLiteral("ERROR: Could not create temporary updater directory: {dir}"),
                     QStringLiteral("ERROR: Failed to launch temporary updater copy."), kBanner}));
    QStringList expected{QFileInfo(staged.directory).fileName(),
                         QStringLiteral("Vexta-Updater.log")};
    expected.sort();
    QCOMPARE(scenario.tempEntries(), expected);
    QCOMPARE(QDir(staged.directory).entryList(QDir::Files),
             (QStringList{QStringLiteral("installer.exe"), QStringLiteral("manifest.json")}));
}

QTEST_GUILESS_MAIN(EndToEndTest)
#include "tst_end_to_end.moc"
