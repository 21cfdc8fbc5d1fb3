// The installer's digest, computed in-process: published vectors, the 1 MiB chunk boundaries,
// random content cross-checked with an independent tool, and the lines that verification logs.

#include "test_environment.h"
#include "updater.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTest>

namespace {

constexpr qsizetype kMiB = 1048576;

QByteArray randomBytes(qsizetype size, quint32 seed) {
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& byte : bytes)
        byte = static_cast<char>(generator.bounded(256));
    return bytes;
}

// The digest text of a file as sha256sum (or, without it, the openssl command line) reports it;
// empty when neither tool is installed.
QString independentSha256(const QString& path) {
    QProcess process;
    const QString sha256sum = QStandardPaths::findExecutable(QStringLiteral("sha256sum"));
    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (!sha256sum.isEmpty())
        process.start(sha256sum, {QStringLiteral("--binary"), path});
    else if (!openssl.isEmpty())
        process.start(openssl, {QStringLiteral("dgst"), QStringLiteral("-sha256"),
                                QStringLiteral("-r"), path});
    else
        return {};
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        return {};
    return QString::fromLatin1(process.readAllStandardOutput()).section(QLatin1Char(' '), 0, 0);
}

QString openFailure(const QString& path) {
    return QStringLiteral("Could not open file for SHA-256 calculation: %1").arg(path);
}

QStringList valueLines(const QString& expected, const QString& actual) {
    return {QStringLiteral("Expected SHA-256: %1").arg(expected),
            QStringLiteral("Actual SHA-256:   %1").arg(actual)};
}

const QString kEmptySha256 =
    QStringLiteral("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

} // namespace

class Sha256Test : public QObject {
    Q_OBJECT

private slots:
    void publishedVectors_data();
    void publishedVectors();
    void matchesIndependentTool_data();
    void matchesIndependentTool();
    void unopenableFile_data();
    void unopenableFile();
    void verification_data();
    void verification();
};

void Sha256Test::publishedVectors_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("digest");

    QTest::newRow("empty message") << QByteArray() << kEmptySha256;
    QTest::newRow("abc") << QByteArray("abc")
                         << QStringLiteral(
                                "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    QTest::newRow("one million a")
        << QByteArray(1000000, 'a')
        << QStringLiteral("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

void Sha256Test::publishedVectors() {
    QFETCH(QByteArray, content);
    QFETCH(QString, digest);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString path = temp.writeFile(QStringLiteral("file.bin"), content);

    Updater updater;
    const QByteArray result = updater.calculateSha256(path);

    QCOMPARE(result.size(), 32);
    QCOMPARE(QString::fromLatin1(result.toHex()), digest);
    QVERIFY(temp.logMessages().isEmpty());
}

void Sha256Test::matchesIndependentTool_data() {
    QTest::addColumn<qsizetype>("size");

    for (const qsizetype size :
         {qsizetype(1), qsizetype(55), qsizetype(56), qsizetype(64), qsizetype(4095), kMiB - 1,
          kMiB, kMiB + 1, 2 * kMiB, 5 * kMiB + 123}) {
        QTest::addRow("%lld bytes", static_cast<long long>(size)) << size;
    }
    // Text-mode traps: line ends and a Ctrl-Z must be hashed as stored.
    QTest::addRow("line ends and end-of-file mark") << qsizetype(-1);
}

void Sha256Test::matchesIndependentTool() {
    QFETCH(qsizetype, size);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QByteArray content = size < 0 ? QByteArray("line\r\nline\n\r\x1a tail\r\n")
                                        : randomBytes(size, static_cast<quint32>(size));
    const QString path = temp.writeFile(QStringLiteral("random.bin"), content);
    const QString expected = independentSha256(path);
    if (expected.isEmpty())
        QSKIP("neither sha256sum nor openssl is installed");

    Updater updater;
    QCOMPARE(QString::fromLatin1(updater.calculateSha256(path).toHex()), expected);
    QVERIFY(temp.logMessages().isEmpty());
}

void Sha256Test::unopenableFile_data() {
    QTest::addColumn<QString>("path");

    QTest::newRow("missing") << QStringLiteral("{temp}/missing.exe");
    QTest::newRow("in a missing directory") << QStringLiteral("{temp}/nowhere/installer.exe");
    QTest::newRow("path reported as passed") << QStringLiteral("{temp}//nowhere/../missing.exe");
    QTest::newRow("a directory") << QStringLiteral("{temp}/directory.exe");
    QTest::newRow("empty path") << QString();
}

void Sha256Test::unopenableFile() {
    QFETCH(QString, path);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    QVERIFY(QDir().mkpath(temp.filePath(QStringLiteral("directory.exe"))));
    path.replace(QStringLiteral("{temp}"), temp.path());

    Updater updater;
    QVERIFY(updater.calculateSha256(path).isEmpty());
    QCOMPARE(temp.logMessages(), QStringList{openFailure(path)});

    // Verification stops at the same line, without the two value lines.
    QFile::remove(temp.logPath());
    QVERIFY(!updater.verifySha256(path, kEmptySha256));
    QCOMPARE(temp.logMessages(), QStringList{openFailure(path)});
}

void Sha256Test::verification_data() {
    QTest::addColumn<QByteArray>("announced"); // content whose digest is expected
    QTest::addColumn<QByteArray>("actual");    // content on disk
    QTest::addColumn<bool>("upperCaseExpected");
    QTest::addColumn<bool>("match");

    const QByteArray content = randomBytes(kMiB + 1, 7);
    QByteArray lastByteChanged = content;
    lastByteChanged[lastByteChanged.size() - 1] = static_cast<char>(content.back() ^ 0x01);

    QTest::newRow("match") << content << content << false << true;
    QTest::newRow("empty file matches the empty digest")
        << QByteArray() << QByteArray() << false << true;
    QTest::newRow("last byte differs") << content << lastByteChanged << false << false;
    QTest::newRow("one byte missing") << content << content.chopped(1) << false << false;
    QTest::newRow("expected digest in upper case is not folded")
        << content << content << true << false;
}

void Sha256Test::verification() {
    QFETCH(QByteArray, announced);
    QFETCH(QByteArray, actual);
    QFETCH(bool, upperCaseExpected);
    QFETCH(bool, match);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString announcedPath = temp.writeFile(QStringLiteral("announced.bin"), announced);
    const QString installer = temp.writeFile(QStringLiteral("installer.exe"), actual);
    QString expected = independentSha256(announcedPath);
    const QString actualDigest = independentSha256(installer);
    if (expected.isEmpty() || actualDigest.isEmpty())
        QSKIP("neither sha256sum nor openssl is installed");
    if (upperCaseExpected)
        expected = expected.toUpper();

    Updater updater;
    QCOMPARE(updater.verifySha256(installer, expected), match);
    QCOMPARE(temp.logMessages(), valueLines(expected, actualDigest));
    // Both digests start in the same column.
    const QStringList lines = temp.logMessages();
    QCOMPARE(lines.at(0).indexOf(expected), lines.at(1).indexOf(actualDigest));
    QVERIFY(QFileInfo(installer).isFile());
}

QTEST_GUILESS_MAIN(Sha256Test)
#include "tst_sha256.moc"
