// The real Updater program with a staging directory laid out on disk: the whole block of lines
// and the exit code when the staging layout or the manifest refuses the update, and the lines of
// an update whose provenance is accepted.

#include "test_environment.h"

#include <QDir>
#include <QTest>

namespace {

const QString kBanner(40, QLatin1Char('='));
const QString kPid = QStringLiteral("4294967295"); // above every Linux pid_max: never running

QByteArray manifestFor(const QString& sha256) {
    return "{\"installer\": \"installer.exe\", \"sha256\": \"" + sha256.toLatin1() + "\"}";
}

const QString kStagingPassed = QStringLiteral("Staging directory validation passed.");

} // namespace

class ProvenanceRunTest : public QObject {
    Q_OBJECT

private slots:
    void refusal_data();
    void refusal();
    void acceptedProvenanceGoesOnToTheInstaller();

private:
    struct Staged {
        QString installer;
        QString manifest;
        QStringList arguments;
    };
    // Lays out a staging directory named `name` (a fresh valid name when empty) holding
    // `installerName`, and, unless `manifest` is null, "manifest.json" with that content.
    static Staged stage(const ScopedTemp& temp, const QString& name, const QString& installerName,
                        const QByteArray& manifest);
    static QStringList expectedStart(const Staged& staged);
};

ProvenanceRunTest::Staged ProvenanceRunTest::stage(const ScopedTemp& temp, const QString& name,
                                                   const QString& installerName,
                                                   const QByteArray& manifest) {
    const QString staging = temp.createStagingDirectory(name);
    Staged staged;
    staged.installer = temp.writeFile(staging + QLatin1Char('/') + installerName, "MZ");
    staged.manifest = staging + QStringLiteral("/manifest.json");
    if (!manifest.isNull())
        temp.writeFile(staged.manifest, manifest);
    staged.arguments = QStringList{QStringLiteral("--temporary-copy"),
                                   QStringLiteral("--pid"),
                                   kPid,
                                   QStringLiteral("--installer"),
                                   staged.installer,
                                   QStringLiteral("--sha256"),
                                   sampleSha256(),
                                   QStringLiteral("--restart"),
                                   temp.filePath(QStringLiteral("app/Application.exe"))};
    return staged;
}

QStringList ProvenanceRunTest::expectedStart(const Staged& staged) {
    return {kBanner,
            QStringLiteral("Updater started."),
            QStringLiteral("Updater version: 1.0.0"),
            QStringLiteral("Running from temporary updater copy."),
            kBanner,
            QStringLiteral("Arguments parsed successfully."),
            QStringLiteral("Target PID: %1").arg(kPid),
            QStringLiteral("Installer: %1").arg(staged.installer),
            QStringLiteral("Restart application: %1").arg(staged.arguments.last())};
}

void ProvenanceRunTest::refusal_data() {
    QTest::addColumn<QString>("stagingName"); // empty: a valid name
    QTest::addColumn<QString>("installerName");
    QTest::addColumn<QByteArray>("manifest"); // null: none; "<dir>": a directory
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("lines"); // after the parsed arguments

    const QString staging = QStringLiteral("SECURITY ERROR: staging directory validation failed.");
    const QString manifest = QStringLiteral("SECURITY ERROR: update manifest validation failed.");
    const QString installer = QStringLiteral("installer.exe");
    const QByteArray valid = manifestFor(sampleSha256());

    QTest::newRow("staging name with text for a uuid")
        << QStringLiteral("Quindlebrookware-Update-latest") << installer << valid << 2
        << QStringList{
               QStringLiteral("Staging directory name is invalid: Quindlebrookware-Update-latest"),
               staging};
    QTest::newRow("installer in other case")
        << QString() << QStringLiteral("Installer.EXE") << valid << 2
        << QStringList{QStringLiteral("Installer filename must be exactly installer.exe."),
                       staging};
    QTest::newRow("no manifest") << QString() << installer << QByteArray() << 2
                                 << QStringList{QStringLiteral("Manifest does not exist."),
                                                staging};
    QTest::newRow("manifest is a directory")
        << QString() << installer << QByteArray("<dir>") << 2
        << QStringList{QStringLiteral("Manifest does not exist."), staging};

    QTest::newRow("manifest announces another digest")
        << QString() << installer << manifestFor(QString(64, QLatin1Char('a'))) << 3
        << QStringList{
               kStagingPassed,
               QStringLiteral("SECURITY ERROR: manifest SHA-256 does not match updater argument."),
               QStringLiteral("Manifest SHA-256: %1").arg(QString(64, QLatin1Char('a'))),
               QStringLiteral("Argument SHA-256: %1").arg(sampleSha256()), manifest};
    QTest::newRow("manifest is not JSON")
        << QString() << installer << QByteArray("installer.exe") << 3
        << QStringList{kStagingPassed, QStringLiteral("Manifest JSON is invalid: illegal value"),
                       manifest};
    QTest::newRow("manifest too large")
        << QString() << installer << valid + QByteArray(16384, ' ') << 3
        << QStringList{kStagingPassed, QStringLiteral("Manifest size is invalid."), manifest};
    QTest::newRow("manifest names no installer")
        << QString() << installer
        << QByteArray("{\"sha256\": \"") + sampleSha256().toLatin1() + "\"}" << 3
        << QStringList{kStagingPassed, QStringLiteral("Manifest installer value is invalid."),
                       manifest};
}

void ProvenanceRunTest::refusal() {
    QFETCH(QString, stagingName);
    QFETCH(QString, installerName);
    QFETCH(QByteArray, manifest);
    QFETCH(int, exitCode);
    QFETCH(QStringList, lines);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const bool manifestDirectory = manifest == "<dir>";
    const Staged staged =
        stage(temp, stagingName, installerName, manifestDirectory ? QByteArray() : manifest);
    if (manifestDirectory)
        QVERIFY(QDir().mkpath(staged.manifest));
    const QStringList before = QDir(QFileInfo(staged.installer).absolutePath()).entryList();

    const UpdaterRun run = runUpdater(temp, staged.arguments);

    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.messages, expectedStart(staged) + lines);
    // A refused update leaves the staging directory exactly as it was.
    QCOMPARE(QDir(QFileInfo(staged.installer).absolutePath()).entryList(), before);
    QVERIFY(QFileInfo(staged.installer).isFile());
}

void ProvenanceRunTest::acceptedProvenanceGoesOnToTheInstaller() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    // The manifest agrees with the argument, but the installer's content does not: once the run
    // gets past waiting for the application, the digest check must refuse it.
    const Staged staged = stage(temp, QString(), QStringLiteral("installer.exe"),
                                manifestFor(sampleSha256().toUpper()));

    const UpdaterRun run = runUpdater(temp, staged.arguments);

    QVERIFY(run.finished);
    const QStringList accepted =
        expectedStart(staged) + QStringList{kStagingPassed,
                                            QStringLiteral("Update manifest validation passed."),
                                            QStringLiteral("Installer exists and is readable."),
                                            QStringLiteral("Installer size: 2 bytes")};
    QCOMPARE(run.messages.mid(0, accepted.size()), accepted);
    QVERIFY(run.exitCode >= 5);
    QVERIFY(run.exitCode != 0);
    if (run.exitCode == 6) {
        // SHA-256 of "MZ", as sha256sum reports it.
        const QString actual =
            QStringLiteral("9b8db510ef42b8ed54a3712636fda55a4f8cfcd5493e20b74ab00cd4f3979f2d");
        QCOMPARE(run.messages.mid(run.messages.size() - 3),
                 QStringList({QStringLiteral("Expected SHA-256: %1").arg(sampleSha256()),
                              QStringLiteral("Actual SHA-256:   %1").arg(actual),
                              QStringLiteral("SHA-256 verification FAILED.")}));
    }
    QVERIFY(QFileInfo(staged.installer).isFile());
    QVERIFY(QFileInfo(staged.manifest).isFile());
}

QTEST_GUILESS_MAIN(ProvenanceRunTest)
#include "tst_provenance_run.moc"
