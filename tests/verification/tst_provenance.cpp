// Where the installer came from, checked in-process (the inputs are too many to run through the
// program one by one): the staging layout, the manifest with its size limit and member rules, and
// the installer's SHA-256 through the platform's hashing, at the sizes where chunks meet.

#include "test_environment.h"
#include "updater.h"
#include "verification/installer_file.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QTest>

namespace {

const QByteArray kSha = sampleSha256().toLatin1();

QByteArray manifestText(const QByteArray& installer, const QByteArray& sha256) {
    return "{\"installer\": " + installer + ", \"sha256\": " + sha256 + ", \"version\": 2}";
}

const QByteArray kValid = manifestText("\"installer.exe\"", '"' + kSha + '"');

// A valid manifest padded to exactly `size` bytes as text mode reads it (CR LF counts as one).
QByteArray padded(qsizetype size) {
    return kValid + "\r\n" + QByteArray(size - kValid.size() - 1, ' ');
}

QString jsonError(const QByteArray& content) {
    QJsonParseError error;
    QJsonDocument::fromJson(content, &error);
    return QStringLiteral("Manifest JSON is invalid: %1").arg(error.errorString());
}

} // namespace

class ProvenanceTest : public QObject {
    Q_OBJECT

private slots:
    void stagingDirectory_data();
    void stagingDirectory();
    void manifest_data();
    void manifest();
    void sha256_data();
    void sha256();
};

void ProvenanceTest::stagingDirectory_data() {
    QTest::addColumn<QString>("installer"); // relative to TEMP unless absolute
    QTest::addColumn<QString>("manifest");
    QTest::addColumn<QString>("refusal"); // empty: accepted; {name}: the staging directory name

    const QString uuid = QStringLiteral("5c0ffee0-1234-4abc-8def-00000000cafe");
    const QString dir = QStringLiteral("Quindlebrookware-Update-") + uuid;
    const QString invalidName = QStringLiteral("Staging directory name is invalid: {name}");
    const QString notDirect =
        QStringLiteral("Installer staging directory is not directly under TEMP.");
    const auto row = [](const char* name, const QString& installer, const QString& manifestPath,
                        const QString& refusal) {
        QTest::newRow(name) << installer << manifestPath << refusal;
    };
    row("valid, UUID and prefix in other case",
        QStringLiteral("QUINDLEBROOKWARE-update-") + uuid.toUpper() +
            QStringLiteral("/installer.exe"),
        QString(), QString());
    row("relative paths", QStringLiteral("relative/installer.exe"), QString(),
        QStringLiteral("Staging paths must be absolute."));
    row("manifest elsewhere", dir + QStringLiteral("/installer.exe"),
        dir + QStringLiteral("/sub/manifest.json"),
        QStringLiteral("Installer and manifest are not in the same directory."));
    row("one level too deep", dir + QStringLiteral("/sub/installer.exe"), QString(), notDirect);
    row("hex digit in place of the fourth hyphen",
        QStringLiteral(
            "Quindlebrookware-Update-5c0ffee0-1234-4abc-8def000000000cafe/installer.exe"),
        QString(), invalidName);
    row("non-hex digit",
        QStringLiteral(
            "Quindlebrookware-Update-5c0ffee0-1234-4abc-8def-00000000cafg/installer.exe"),
        QString(), invalidName);
    row("installer name in other case", dir + QStringLiteral("/Installer.exe"), QString(),
        QStringLiteral("Installer filename must be exactly installer.exe."));
    row("manifest name", dir + QStringLiteral("/installer.exe"),
        dir + QStringLiteral("/manifest.JSON"),
        QStringLiteral("Manifest filename must be exactly manifest.json."));
    row("manifest is a directory", dir + QStringLiteral("/installer.exe"),
        QStringLiteral("{directory}"), QStringLiteral("Manifest does not exist."));
}

void ProvenanceTest::stagingDirectory() {
    QFETCH(QString, installer);
    QFETCH(QString, manifest);
    QFETCH(QString, refusal);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const bool manifestIsDirectory = manifest == QLatin1String("{directory}");
    if (manifest.isEmpty() || manifestIsDirectory)
        manifest = QFileInfo(installer).path() + QStringLiteral("/manifest.json");
    const bool relative = installer.startsWith(QLatin1String("relative"));
    const QString installerPath = relative ? installer : temp.filePath(installer);
    const QString manifestPath = relative ? manifest : temp.filePath(manifest);
    if (!relative) {
        temp.writeFile(installerPath, "MZ");
        if (manifestIsDirectory)
            QDir().mkpath(manifestPath);
        else
            temp.writeFile(manifestPath, kValid);
    }

    const bool accepted = Updater().validateStagingDirectory(installerPath, manifestPath);

    QCOMPARE(accepted, refusal.isEmpty());
    const QString name = QDir::cleanPath(installer).section(QLatin1Char('/'), 0, 0);
    QCOMPARE(temp.logMessages(),
             refusal.isEmpty()
                 ? QStringList()
                 : QStringList{QString(refusal).replace(QStringLiteral("{name}"), name)});
}

void ProvenanceTest::manifest_data() {
    QTest::addColumn<QByteArray>("content"); // empty with "missing": no file at all
    QTest::addColumn<QString>("installerName");
    QTest::addColumn<QStringList>("refusal"); // empty: accepted

    const QString size = QStringLiteral("Manifest size is invalid.");
    const QString installerValue = QStringLiteral("Manifest installer value is invalid.");
    const QString shaValue = QStringLiteral("Manifest SHA-256 is invalid.");
    const auto row = [&](const char* name, const QByteArray& content, const QStringList& refusal,
                         const QString& installerName = QStringLiteral("installer.exe")) {
        QTest::newRow(name) << content << installerName << refusal;
    };
    row("16384 bytes, CR LF counted once", padded(16384), {});
    row("16385 bytes", padded(16385), {size});
    row("empty", QByteArray(), {size});
    row("cut short", kValid.chopped(1), {jsonError(kValid.chopped(1))});
    row("top level is an array", "[" + kValid + "]", {jsonError("[1]")});
    row("installer padded with blanks, digest in upper case",
        manifestText("\" installer.exe\t\"", '"' + kSha.toUpper() + '"'), {});
    row("installer in other case", manifestText("\"Installer.exe\"", '"' + kSha + '"'),
        {installerValue});
    row("installer missing, digest wrong too", "{\"sha256\": 1}", {installerValue});
    row("installer file has another name", kValid,
        {QStringLiteral("Manifest installer does not match actual installer.")},
        QStringLiteral("setup.exe"));
    row("digest of 63 digits", manifestText("\"installer.exe\"", '"' + kSha.left(63) + '"'),
        {shaValue});
    row("digest is a number", manifestText("\"installer.exe\"", "12"), {shaValue});
    const QByteArray other(64, 'F');
    row("another digest", manifestText("\"installer.exe\"", '"' + other + '"'),
        {QStringLiteral("SECURITY ERROR: manifest SHA-256 does not match updater argument."),
         QStringLiteral("Manifest SHA-256: ") + QString(64, QLatin1Char('f')),
         QStringLiteral("Argument SHA-256: ") + sampleSha256()});
}

void ProvenanceTest::manifest() {
    QFETCH(QByteArray, content);
    QFETCH(QString, installerName);
    QFETCH(QStringList, refusal);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString staging = temp.createStagingDirectory();
    const QString manifestPath =
        temp.writeFile(staging + QStringLiteral("/manifest.json"), content);
    const QString installerPath = temp.writeFile(staging + QLatin1Char('/') + installerName, "MZ");

    const bool accepted = Updater().validateManifest(manifestPath, installerPath, sampleSha256());

    QCOMPARE(accepted, refusal.isEmpty());
    QCOMPARE(temp.logMessages(), refusal);
}

void ProvenanceTest::sha256_data() {
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<bool>("announcedRight"); // else the digest differs in its last digit only
    QTest::newRow("empty file") << qsizetype(0) << true;
    QTest::newRow("one byte into a second chunk") << qsizetype(1048577) << true;
    QTest::newRow("digest that differs in its last digit") << qsizetype(3000000) << false;
}

void ProvenanceTest::sha256() {
    QFETCH(qsizetype, size);
    QFETCH(bool, announcedRight);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    QByteArray content(size, '\0');
    for (qsizetype i = 0; i < size; ++i)
        content[i] = static_cast<char>((i * 7919) >> 3);
    const QString actual =
        QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
    QString expected = actual;
    if (!announcedRight)
        expected[63] = expected.at(63) == u'0' ? u'1' : u'0';
    const std::unique_ptr<InstallerFile> installer =
        InstallerFile::open(temp.writeFile(QStringLiteral("installer.exe"), content));
    QVERIFY(installer);

    QCOMPARE(Updater().verifySha256(*installer, expected), announcedRight);
    QCOMPARE(temp.logMessages(), (QStringList{QStringLiteral("Expected SHA-256: ") + expected,
                                              QStringLiteral("Actual SHA-256:   ") + actual}));
}

QTEST_GUILESS_MAIN(ProvenanceTest)
#include "tst_provenance.moc"
