// The staging layout check, called in-process: which names and places pass, the one line each
// refusal writes, and the order in which the tests are made.

#include "test_environment.h"
#include "updater.h"

#include <QDir>
#include <QTest>
#include <QUuid>

namespace {

enum class ManifestKind { File, Directory, Absent };

// Placeholders in the data rows: {temp} is the private TEMP, {outside} a directory beside it,
// {uuid}/{UUID} one fresh UUID in lower/upper case, {staging} a valid staging directory name.
struct Placeholders {
    QString temp;
    QString outside;
    QString uuid = QUuid::createUuid().toString(QUuid::WithoutBraces);

    QString expand(QString text) const {
        text.replace(QStringLiteral("{staging}"), QStringLiteral("Quindlebrookware-Update-{uuid}"));
        text.replace(QStringLiteral("{temp}"), temp);
        text.replace(QStringLiteral("{outside}"), outside);
        text.replace(QStringLiteral("{uuid}"), uuid);
        text.replace(QStringLiteral("{UUID}"), uuid.toUpper());
        return text;
    }
};

const QString kNotUnderTemp =
    QStringLiteral("Installer staging directory is not directly under TEMP.");
const QString kInstallerName = QStringLiteral("Installer filename must be exactly installer.exe.");
const QString kManifestName = QStringLiteral("Manifest filename must be exactly manifest.json.");
const QString kNoManifest = QStringLiteral("Manifest does not exist.");
const QString kNotTogether =
    QStringLiteral("Installer and manifest are not in the same directory.");
const QString kRelative = QStringLiteral("Staging paths must be absolute.");

QString invalidName(const QString& name) {
    return QStringLiteral("Staging directory name is invalid: %1").arg(name);
}

} // namespace

Q_DECLARE_METATYPE(ManifestKind)

class StagingDirectoryTest : public QObject {
    Q_OBJECT

private slots:
    void layout_data();
    void layout();
};

void StagingDirectoryTest::layout_data() {
    QTest::addColumn<QString>("installer");
    QTest::addColumn<QString>("manifest");
    QTest::addColumn<ManifestKind>("manifestKind");
    QTest::addColumn<QString>("message"); // empty: accepted

    const auto row = [](const char* name, const QString& directory, const QString& message) {
        QTest::newRow(name) << QStringLiteral("{temp}/%1/installer.exe").arg(directory)
                            << QStringLiteral("{temp}/%1/manifest.json").arg(directory)
                            << ManifestKind::File << message;
    };

    // Directory names.
    row("lower-case uuid", QStringLiteral("{staging}"), QString());
    row("upper-case uuid", QStringLiteral("Quindlebrookware-Update-{UUID}"), QString());
    row("prefix in lower case", QStringLiteral("quindlebrookware-update-{uuid}"), QString());
    row("uuid in braces", QStringLiteral("Quindlebrookware-Update-{{uuid}}"),
        invalidName(QStringLiteral("Quindlebrookware-Update-{{uuid}}")));
    row("uuid without hyphens",
        QStringLiteral("Quindlebrookware-Update-0123456789abcdef0123456789abcdef"),
        invalidName(QStringLiteral("Quindlebrookware-Update-0123456789abcdef0123456789abcdef")));
    row("g in a digit position",
        QStringLiteral("Quindlebrookware-Update-0123456g-89ab-cdef-0123-456789abcdef"),
        invalidName(
            QStringLiteral("Quindlebrookware-Update-0123456g-89ab-cdef-0123-456789abcdef")));
    row("hyphens shifted by one",
        QStringLiteral("Quindlebrookware-Update-012345678-9ab-cdef-0123-456789abcdef"),
        invalidName(
            QStringLiteral("Quindlebrookware-Update-012345678-9ab-cdef-0123-456789abcdef")));
    row("non-ASCII digit",
        QStringLiteral("Quindlebrookware-Update-0123456\u0663-89ab-cdef-0123-456789abcdef"),
        invalidName(
            QStringLiteral("Quindlebrookware-Update-0123456\u0663-89ab-cdef-0123-456789abcdef")));
    row("prefix only", QStringLiteral("Quindlebrookware-Update-"),
        invalidName(QStringLiteral("Quindlebrookware-Update-")));
    row("prefix and other text", QStringLiteral("Quindlebrookware-Update-latest"),
        invalidName(QStringLiteral("Quindlebrookware-Update-latest")));
    row("uuid with a character more", QStringLiteral("{staging}0"),
        invalidName(QStringLiteral("{staging}0")));
    row("other prefix", QStringLiteral("Quindlebrookware-Upgrade-{uuid}"),
        invalidName(QStringLiteral("Quindlebrookware-Upgrade-{uuid}")));
    row("placeholder text in the name", QStringLiteral("Quindlebrookware-Update-%1"),
        invalidName(QStringLiteral("Quindlebrookware-Update-%1")));

    // Places.
    row("one level too deep", QStringLiteral("{staging}/sub"), kNotUnderTemp);
    QTest::newRow("beside TEMP") << QStringLiteral("{outside}/{staging}/installer.exe")
                                 << QStringLiteral("{outside}/{staging}/manifest.json")
                                 << ManifestKind::File << kNotUnderTemp;
    QTest::newRow("TEMP itself") << QStringLiteral("{temp}/installer.exe")
                                 << QStringLiteral("{temp}/manifest.json") << ManifestKind::File
                                 << invalidName(QStringLiteral("."));
    QTest::newRow("dot segments resolve to the staging directory")
        << QStringLiteral("{temp}/{staging}/sub/../installer.exe")
        << QStringLiteral("{temp}/./{staging}//manifest.json") << ManifestKind::File << QString();
    QTest::newRow("dot segments climb out of TEMP")
        << QStringLiteral("{temp}/../{staging}/installer.exe")
        << QStringLiteral("{temp}/../{staging}/manifest.json") << ManifestKind::File
        << kNotUnderTemp;

    // File names and the manifest itself, in a valid staging directory.
    const auto files = [](const char* name, const char* installerName, const char* manifestName,
                          ManifestKind kind, const QString& message) {
        QTest::newRow(name) << QStringLiteral("{temp}/{staging}/") + QLatin1String(installerName)
                            << QStringLiteral("{temp}/{staging}/") + QLatin1String(manifestName)
                            << kind << message;
    };
    files("Installer.exe", "Installer.exe", "manifest.json", ManifestKind::File, kInstallerName);
    files("installer.EXE", "installer.EXE", "manifest.json", ManifestKind::File, kInstallerName);
    files("Manifest.json", "installer.exe", "Manifest.json", ManifestKind::File, kManifestName);
    files("manifest absent", "installer.exe", "manifest.json", ManifestKind::Absent, kNoManifest);
    files("manifest is a directory", "installer.exe", "manifest.json", ManifestKind::Directory,
          kNoManifest);

    // Order of the tests: each of these paths breaks every later rule as well.
    QTest::newRow("manifest elsewhere, before any name")
        << QStringLiteral("{temp}/bad-name/Setup.EXE")
        << QStringLiteral("{temp}/{staging}/manifest.json") << ManifestKind::File << kNotTogether;
    QTest::newRow("manifest in a sub-directory")
        << QStringLiteral("{temp}/{staging}/installer.exe")
        << QStringLiteral("{temp}/{staging}/sub/manifest.json") << ManifestKind::File
        << kNotTogether;
    QTest::newRow("relative installer, before anything else")
        << QStringLiteral("bad-name/Setup.EXE") << QStringLiteral("{temp}/other/Manifest.JSON")
        << ManifestKind::Absent << kRelative;
    QTest::newRow("relative manifest")
        << QStringLiteral("{temp}/{staging}/installer.exe")
        << QStringLiteral("{staging}/manifest.json") << ManifestKind::Absent << kRelative;
    QTest::newRow("both relative")
        << QStringLiteral("installer.exe") << QStringLiteral("manifest.json")
        << ManifestKind::Absent << kRelative;
}

void StagingDirectoryTest::layout() {
    QFETCH(QString, installer);
    QFETCH(QString, manifest);
    QFETCH(ManifestKind, manifestKind);
    QFETCH(QString, message);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const Placeholders placeholders{temp.path(), temp.outsidePath(QStringLiteral("beside"))};
    installer = placeholders.expand(installer);
    manifest = placeholders.expand(manifest);
    message = placeholders.expand(message);

    // Lay out what the row describes; relative paths are never created (they would land in the
    // working directory).
    const bool installerAbsolute = QFileInfo(installer).isAbsolute();
    const bool manifestAbsolute = QFileInfo(manifest).isAbsolute();
    if (installerAbsolute)
        temp.writeFile(QDir::cleanPath(installer), "MZ");
    if (manifestAbsolute && manifestKind == ManifestKind::File)
        temp.writeFile(QDir::cleanPath(manifest), "{}");
    if (manifestAbsolute && manifestKind == ManifestKind::Directory)
        QVERIFY(QDir().mkpath(manifest));

    Updater updater;
    const bool accepted = updater.validateStagingDirectory(installer, manifest);

    QCOMPARE(accepted, message.isEmpty());
    QCOMPARE(temp.logMessages(), message.isEmpty() ? QStringList() : QStringList{message});
    if (installerAbsolute)
        QVERIFY(QFileInfo(QDir::cleanPath(installer)).isFile()); // nothing is touched on disk
}

QTEST_GUILESS_MAIN(StagingDirectoryTest)
#include "tst_staging_directory.moc"
