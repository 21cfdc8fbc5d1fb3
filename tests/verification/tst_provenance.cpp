// Where the installer came from, checked in-process (the inputs are too many to run through the
// program one by one): the staging layout, the manifest with its size limit and member rules, and
// the installer's SHA-256 through the platform's hashing, at the sizes where chunks meet.

#include "test_environment.h"
#include "updater.h"
#include "verification/installer_file.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QTest>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

using namespace Qt::Literals::StringLiterals;

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
    return u"Manifest JSON is invalid: %1"_s.arg(error.errorString());
}

// A staging layout: the installer and manifest paths, relative to TEMP unless the row is about
// relative paths; {name} in the refusal is the staging directory's name.
struct StagingRow {
    QString installer{};
    QString manifest{}; // empty: manifest.json beside the installer
    bool relative = false;
    bool manifestIsDirectory = false;
    QString refusal{}; // empty: accepted
};

struct ManifestRow {
    QByteArray content{};
    QString installerName = u"installer.exe"_s;
    bool fifo = false;
    QStringList refusal{}; // empty: accepted
};

struct CopyRow {
    bool link = false;
    int nameLength = 0; // a name this long in TEMP instead of the installer's
    InstallerFile::Refusal refusal = InstallerFile::Refusal::None;
    unsigned long error = 0;
};

} // namespace

Q_DECLARE_METATYPE(StagingRow)
Q_DECLARE_METATYPE(ManifestRow)
Q_DECLARE_METATYPE(CopyRow)

class ProvenanceTest : public QObject {
    Q_OBJECT

private slots:
    void stagingDirectory_data();
    void stagingDirectory();
    void manifest_data();
    void manifest();
    void installerCopy_data();
    void installerCopy();
    void sha256_data();
    void sha256();
};

void ProvenanceTest::stagingDirectory_data() {
    QTest::addColumn<StagingRow>("row");
    const auto add = [](const char* name, const StagingRow& row) { QTest::newRow(name) << row; };
    const QString dir = u"Quindlebrookware-Update-5c0ffee0-1234-4abc-8def-00000000cafe"_s;
    const QString invalidName = u"Staging directory name is invalid: {name}"_s;
    const QString notDirect = u"Installer staging directory is not directly under TEMP."_s;
    add("valid, UUID and prefix in other case", {.installer = dir.toUpper() + u"/installer.exe"_s});
    add("relative paths", {.installer = u"relative/installer.exe"_s,
                           .relative = true,
                           .refusal = u"Staging paths must be absolute."_s});
    add("manifest elsewhere",
        {.installer = dir + u"/installer.exe"_s,
         .manifest = dir + u"/sub/manifest.json"_s,
         .refusal = u"Installer and manifest are not in the same directory."_s});
    add("one level too deep", {.installer = dir + u"/sub/installer.exe"_s, .refusal = notDirect});
    add("hex digit in place of the fourth hyphen",
        {.installer =
             u"Quindlebrookware-Update-5c0ffee0-1234-4abc-8def000000000cafe/installer.exe"_s,
         .refusal = invalidName});
    add("non-hex digit",
        {.installer =
             u"Quindlebrookware-Update-5c0ffee0-1234-4abc-8def-00000000cafg/installer.exe"_s,
         .refusal = invalidName});
    add("installer name in other case",
        {.installer = dir + u"/Installer.exe"_s,
         .refusal = u"Installer filename must be exactly installer.exe."_s});
    add("manifest name", {.installer = dir + u"/installer.exe"_s,
                          .manifest = dir + u"/manifest.JSON"_s,
                          .refusal = u"Manifest filename must be exactly manifest.json."_s});
    add("manifest is a directory", {.installer = dir + u"/installer.exe"_s,
                                    .manifestIsDirectory = true,
                                    .refusal = u"Manifest does not exist."_s});
}

void ProvenanceTest::stagingDirectory() {
    QFETCH(StagingRow, row);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString manifest = row.manifest.isEmpty()
                                 ? QFileInfo(row.installer).path() + u"/manifest.json"_s
                                 : row.manifest;
    const QString installerPath = row.relative ? row.installer : temp.filePath(row.installer);
    const QString manifestPath = row.relative ? manifest : temp.filePath(manifest);
    if (!row.relative) {
        temp.writeFile(installerPath, "MZ");
        if (row.manifestIsDirectory)
            QDir().mkpath(manifestPath);
        else
            temp.writeFile(manifestPath, kValid);
    }

    const bool accepted = Updater().validateStagingDirectory(installerPath, manifestPath);

    QCOMPARE(accepted, row.refusal.isEmpty());
    const QString name = QDir::cleanPath(row.installer).section(u'/', 0, 0);
    QCOMPARE(temp.logMessages(),
             row.refusal.isEmpty() ? QStringList()
                                   : QStringList{QString(row.refusal).replace(u"{name}"_s, name)});
}

void ProvenanceTest::manifest_data() {
    QTest::addColumn<ManifestRow>("row");
    const auto add = [](const char* name, const ManifestRow& row) { QTest::newRow(name) << row; };
    const QString size = u"Manifest size is invalid."_s;
    const QString installerValue = u"Manifest installer value is invalid."_s;
    const QString shaValue = u"Manifest SHA-256 is invalid."_s;
    add("16384 bytes, CR LF counted once", {.content = padded(16384)});
    add("16385 bytes", {.content = padded(16385), .refusal = {size}});
    add("empty", {.refusal = {size}});
    add("cut short", {.content = kValid.chopped(1), .refusal = {jsonError(kValid.chopped(1))}});
    add("top level is an array", {.content = "[" + kValid + "]", .refusal = {jsonError("[1]")}});
    add("installer padded with blanks, digest in upper case",
        {.content = manifestText("\" installer.exe\t\"", '"' + kSha.toUpper() + '"')});
    add("installer in other case", {.content = manifestText("\"Installer.exe\"", '"' + kSha + '"'),
                                    .refusal = {installerValue}});
    add("installer missing, digest wrong too",
        {.content = "{\"sha256\": 1}", .refusal = {installerValue}});
    add("installer file has another name",
        {.content = kValid,
         .installerName = u"setup.exe"_s,
         .refusal = {u"Manifest installer does not match actual installer."_s}});
    add("digest of 63 digits",
        {.content = manifestText("\"installer.exe\"", '"' + kSha.left(63) + '"'),
         .refusal = {shaValue}});
    add("digest is a number",
        {.content = manifestText("\"installer.exe\"", "12"), .refusal = {shaValue}});
#ifndef Q_OS_WIN
    // Put in the manifest's place after the staging check: judged by what was opened, never
    // waited on.
    add("a FIFO", {.fifo = true, .refusal = {u"Could not open update manifest."_s}});
#endif
}

void ProvenanceTest::manifest() {
    QFETCH(ManifestRow, row);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString staging = temp.createStagingDirectory();
    const QString manifestPath = staging + u"/manifest.json"_s;
    if (row.fifo) {
#ifndef Q_OS_WIN
        QCOMPARE(::mkfifo(QFile::encodeName(manifestPath).constData(), 0600), 0);
#endif
    } else {
        temp.writeFile(manifestPath, row.content);
    }
    const QString installerPath = temp.writeFile(staging + u'/' + row.installerName, "MZ");

    const bool accepted = Updater().validateManifest(manifestPath, installerPath, sampleSha256());

    QCOMPARE(accepted, row.refusal.isEmpty());
    QCOMPARE(temp.logMessages(), row.refusal);
}

// The installer's private copy is refused before a byte is copied for what no copy can be made
// of, with the system's reason where it has one.
void ProvenanceTest::installerCopy_data() {
    QTest::addColumn<CopyRow>("row");
#ifndef Q_OS_WIN
    QTest::newRow("a link to an installer")
        << CopyRow{.link = true, .refusal = InstallerFile::Refusal::NotRegularFile};
#endif
    // Beyond MAX_PATH on Windows (ERROR_FILENAME_EXCED_RANGE), beyond NAME_MAX elsewhere.
    QTest::newRow("a path too long")
        << CopyRow{.nameLength = 300,
                   .refusal = InstallerFile::Refusal::CannotOpen,
                   .error = QSysInfo::productType() == u"windows" ? 206UL : 36UL};
}

void ProvenanceTest::installerCopy() {
    QFETCH(CopyRow, row);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString installer = temp.writeFile(u"installer.exe"_s, "MZ");
    QString path = row.link ? temp.filePath(u"link.exe"_s) : installer;
    if (row.link)
        QVERIFY(QFile::link(installer, path));
    if (row.nameLength > 0)
        path = temp.filePath(QString(row.nameLength, u'd'));

    const InstallerFile::Opened opened = InstallerFile::open(path);

    QVERIFY(!opened.file);
    QCOMPARE(opened.refusal, row.refusal);
    QCOMPARE(opened.error, row.error);
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
    const QString actual = sha256Hex(content);
    QString expected = actual;
    if (!announcedRight)
        expected[63] = expected.at(63) == u'0' ? u'1' : u'0';
    const InstallerFile::Opened installer =
        InstallerFile::open(temp.writeFile(u"installer.exe"_s, content));
    QVERIFY(installer.file);

    QCOMPARE(Updater().verifySha256(*installer.file, expected), announcedRight);
    QCOMPARE(temp.logMessages(),
             (QStringList{u"Expected SHA-256: "_s + expected, u"Actual SHA-256:   "_s + actual}));
}

QTEST_GUILESS_MAIN(ProvenanceTest)
#include "tst_provenance.moc"
