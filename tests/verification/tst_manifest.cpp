// The manifest beside the installer, read in-process: its size limit in text mode, the JSON it
// must hold, each member's rule in order, and the three-line report of a digest mismatch.

#include "test_environment.h"
#include "updater.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QTest>

namespace {

const QByteArray kSha = sampleSha256().toLatin1();
const QString kOtherSha = QString(64, QLatin1Char('f'));

QByteArray manifestJson(const QByteArray& installer, const QByteArray& sha256,
                        const QByteArray& extra = {}) {
    return "{\"installer\": " + installer + ", \"sha256\": " + sha256 + extra + "}";
}

QByteArray quoted(const QByteArray& text) {
    return '"' + text + '"';
}

const QByteArray kValid = manifestJson(quoted("installer.exe"), quoted(kSha));

// A valid manifest padded with blanks to exactly `size` bytes; each CR LF pair counts as one.
QByteArray paddedManifest(qsizetype size, qsizetype crlfPairs = 0) {
    QByteArray content = kValid;
    for (qsizetype i = 0; i < crlfPairs; ++i)
        content += "\r\n";
    return content + QByteArray(size - content.size() + crlfPairs, ' ');
}

// The line that refuses JSON that Qt cannot parse, with Qt's own description.
QString invalidJson(const QByteArray& content) {
    QJsonParseError error;
    QJsonDocument::fromJson(content, &error);
    return QStringLiteral("Manifest JSON is invalid: %1").arg(error.errorString());
}

const QString kSize = QStringLiteral("Manifest size is invalid.");
const QString kInstallerValue = QStringLiteral("Manifest installer value is invalid.");
const QString kShaValue = QStringLiteral("Manifest SHA-256 is invalid.");

} // namespace

class ManifestTest : public QObject {
    Q_OBJECT

private slots:
    void content_data();
    void content();
    void unreadableManifest_data();
    void unreadableManifest();
};

void ManifestTest::content_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("installerName"); // file name of the installer path passed in
    QTest::addColumn<QString>("expectedSha256");
    QTest::addColumn<QStringList>("messages"); // empty: accepted

    const QString installer = QStringLiteral("installer.exe");
    const QString sha = sampleSha256();
    const auto row = [&](const char* name, const QByteArray& content, const QStringList& messages) {
        QTest::newRow(name) << content << installer << sha << messages;
    };

    row("valid", kValid, {});
    row("extra members ignored",
        manifestJson(quoted("installer.exe"), quoted(kSha),
                     ", \"version\": \"2.0\", \"installer.exe\": 1, \"size\": [1, 2]"),
        {});

    // Size, counted as read in text mode.
    row("empty", QByteArray(), {kSize});
    row("exactly 16384 bytes", paddedManifest(16384), {});
    row("16385 bytes", paddedManifest(16385), {kSize});
    row("16385 bytes of garbage are refused without parsing", QByteArray(16385, 'x'), {kSize});
    row("CR LF counted as one byte", paddedManifest(16384, 100), {});
    row("CR LF does not hide a byte too many", paddedManifest(16385, 100), {kSize});

    // Syntax.
    const QByteArray cutShort = kValid.left(kValid.size() - 5);
    row("not JSON", "installer.exe " + kSha, {invalidJson("installer.exe " + kSha)});
    row("cut short", cutShort, {invalidJson(cutShort)});
    const QByteArray withNul = kValid.left(1) + '\0' + kValid.mid(1);
    row("raw NUL byte between tokens", withNul, {invalidJson(withNul)});
    row("top-level array", "[" + kValid + "]",
        {QStringLiteral("Manifest JSON is invalid: %1").arg(QJsonParseError().errorString())});
    row("top-level string", quoted("installer.exe"), {invalidJson(quoted("installer.exe"))});

    // The installer member.
    row("installer trimmed", manifestJson(quoted(" \t installer.exe \n"), quoted(kSha)), {});
    row("installer missing", "{\"sha256\": \"" + kSha + "\"}", {kInstallerValue});
    row("installer missing, digest bad too", "{\"sha256\": 5}", {kInstallerValue});
    row("installer Installer.exe", manifestJson(quoted("Installer.exe"), quoted(kSha)),
        {kInstallerValue});
    row("installer installer.EXE", manifestJson(quoted("installer.EXE"), quoted(kSha)),
        {kInstallerValue});
    row("installer in a sub-directory", manifestJson(quoted("sub/installer.exe"), quoted(kSha)),
        {kInstallerValue});
    row("installer with an escaped NUL", manifestJson(quoted("installer.exe\\u0000"), quoted(kSha)),
        {kInstallerValue});
    row("installer a number", manifestJson("1", quoted(kSha)), {kInstallerValue});
    row("installer null", manifestJson("null", quoted(kSha)), {kInstallerValue});
    row("installer an array", manifestJson("[\"installer.exe\"]", quoted(kSha)), {kInstallerValue});
    row("member name in other case",
        "{\"Installer\": \"installer.exe\", \"sha256\": \"" + kSha + "\"}", {kInstallerValue});

    // The sha256 member.
    row("sha256 in upper case", manifestJson(quoted("installer.exe"), quoted(kSha.toUpper())), {});
    row("sha256 trimmed", manifestJson(quoted("installer.exe"), quoted("  " + kSha + "\t")), {});
    row("sha256 missing", "{\"installer\": \"installer.exe\"}", {kShaValue});
    row("sha256 of 63 digits", manifestJson(quoted("installer.exe"), quoted(kSha.left(63))),
        {kShaValue});
    row("sha256 of 65 digits", manifestJson(quoted("installer.exe"), quoted(kSha + "0")),
        {kShaValue});
    row("sha256 with an inner blank",
        manifestJson(quoted("installer.exe"), quoted(kSha.left(31) + " " + kSha.mid(32))),
        {kShaValue});
    row("sha256 with a non-hex digit",
        manifestJson(quoted("installer.exe"), quoted(kSha.left(63) + "g")), {kShaValue});
    row("sha256 an array of the digest",
        manifestJson(quoted("installer.exe"), "[" + quoted(kSha) + "]"), {kShaValue});
    const QStringList mismatch{
        QStringLiteral("SECURITY ERROR: manifest SHA-256 does not match updater argument."),
        QStringLiteral("Manifest SHA-256: %1").arg(kOtherSha),
        QStringLiteral("Argument SHA-256: %1").arg(sha)};
    row("sha256 differs", manifestJson(quoted("installer.exe"), quoted(kOtherSha.toLatin1())),
        mismatch);
    row("sha256 differs, reported trimmed and lowercased",
        manifestJson(quoted("installer.exe"), quoted(" " + kOtherSha.toUpper().toLatin1() + " ")),
        mismatch);

    // The installer path that the updater was given.
    QTest::newRow("installer path named otherwise")
        << kValid << QStringLiteral("Installer.exe") << sha
        << QStringList{QStringLiteral("Manifest installer does not match actual installer.")};
    QTest::newRow("installer value checked before the installer path")
        << manifestJson(quoted("setup.exe"), quoted(kSha)) << QStringLiteral("setup.exe") << sha
        << QStringList{kInstallerValue};
    QTest::newRow("expected digest in upper case is not folded here")
        << kValid << installer << sha.toUpper()
        << QStringList{
               QStringLiteral("SECURITY ERROR: manifest SHA-256 does not match updater argument."),
               QStringLiteral("Manifest SHA-256: %1").arg(sha),
               QStringLiteral("Argument SHA-256: %1").arg(sha.toUpper())};
}

void ManifestTest::content() {
    QFETCH(QByteArray, content);
    QFETCH(QString, installerName);
    QFETCH(QString, expectedSha256);
    QFETCH(QStringList, messages);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString staging = temp.createStagingDirectory();
    const QString installer = temp.writeFile(staging + QLatin1Char('/') + installerName, "MZ");
    const QString manifest = temp.writeFile(staging + QStringLiteral("/manifest.json"), content);

    Updater updater;
    const bool accepted = updater.validateManifest(manifest, installer, expectedSha256);

    QCOMPARE(accepted, messages.isEmpty());
    QCOMPARE(temp.logMessages(), messages);
    // The manifest is only read.
    QFile file(manifest);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), content);
}

void ManifestTest::unreadableManifest_data() {
    QTest::addColumn<bool>("directory");
    QTest::newRow("absent") << false;
    QTest::newRow("a directory") << true;
}

void ManifestTest::unreadableManifest() {
    QFETCH(bool, directory);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString staging = temp.createStagingDirectory();
    const QString installer = temp.writeFile(staging + QStringLiteral("/installer.exe"), "MZ");
    const QString manifest = staging + QStringLiteral("/manifest.json");
    if (directory)
        QVERIFY(QDir().mkpath(manifest));

    Updater updater;
    QVERIFY(!updater.validateManifest(manifest, installer, sampleSha256()));
    QCOMPARE(temp.logMessages(), QStringList{QStringLiteral("Could not open update manifest.")});
}

QTEST_GUILESS_MAIN(ManifestTest)
#include "tst_manifest.moc"
