// The host library: what startUpdate() stages in TEMP and what it starts the updater with, and
// that a refused request leaves nothing behind. (A staged update run to its end is a row of the
// end-to-end table.)

#include "program_run.h"
#include "test_environment.h"
#include "update_launcher.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QTest>

using UpdaterHost::startUpdate;
using UpdaterHost::UpdateRequest;

namespace {

// Every path below root, relative and sorted: proof of what a call left behind.
QStringList treeOf(const QString& root) {
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << QDir(root).relativeFilePath(it.next());
    entries.sort();
    return entries;
}

} // namespace

class UpdateLauncherTest : public QObject {
    Q_OBJECT

private slots:
    void stages();
    void refusals_data();
    void refusals();
};

// Staged: "Quindlebrookware-Update-<uuid>" directly in TEMP (here one with blanks and accents),
// owner-only, with the installer's bytes (one past a 1 MiB chunk) as installer.exe beside the
// manifest, and the updater (here a recorder) started. (That the manifest and the updater's
// options are right, the end-to-end table shows: its host-library row updates through them.)
void UpdateLauncherTest::stages() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString tempDirectory = temp.outsidePath(QStringLiteral("T\u00e9mp d\u00e9j\u00e0"));
    QVERIFY(QDir().mkpath(tempDirectory));
    QByteArray content(1048577, Qt::Uninitialized);
    for (qsizetype i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 31 + 7);
    UpdateRequest request;
    request.installerFile =
        temp.writeFile(temp.outsidePath(QStringLiteral("dl/setup.exe")), content);
    request.updaterExecutable = QStringLiteral(ARGUMENT_RECORDER);
    request.restartApplication = temp.outsidePath(QStringLiteral("app/Application"));
    request.tempDirectory = tempDirectory;

    const UpdaterHost::UpdateLaunch launch = startUpdate(request);

    QVERIFY2(launch.started, qPrintable(launch.errorMessage));
    const QString digest =
        QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
    QCOMPARE(launch.sha256, digest);
    const QString staging = launch.stagingDirectory;
    QCOMPARE(QFileInfo(staging).absolutePath(), tempDirectory);
    QVERIFY(QFileInfo(staging).fileName().startsWith(QLatin1String("Quindlebrookware-Update-")));
    QCOMPARE(treeOf(tempDirectory),
             QStringList({QFileInfo(staging).fileName(),
                          QFileInfo(staging).fileName() + QStringLiteral("/installer.exe"),
                          QFileInfo(staging).fileName() + QStringLiteral("/manifest.json")}));
    if (QSysInfo::productType() != QLatin1String("windows")) {
        QCOMPARE(QFileInfo(staging).permissions() & (QFile::ReadOther | QFile::ReadGroup),
                 QFileDevice::Permissions());
    }
    QCOMPARE(readFileBytes(launch.installerPath), content);
}

void UpdateLauncherTest::refusals_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("errorStart");
    QTest::newRow("installer missing") << "installer missing"
                                       << "Installer does not exist or is not a file: ";
    QTest::newRow("updater missing") << "updater missing"
                                     << "Updater executable does not exist or is not a file: ";
    QTest::newRow("relative restart path") << "relative restart"
                                           << "Restart application path must be absolute: ";
    QTest::newRow("TEMP is a file") << "TEMP is a file"
                                    << "TEMP directory does not exist: ";
    // Gets as far as creating and filling the staging directory, which must go again.
    QTest::newRow("updater cannot be started") << "updater not startable"
                                               << "Could not start the updater: ";
}

void UpdateLauncherTest::refusals() {
    QFETCH(QString, fault);
    QFETCH(QString, errorStart);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    UpdateRequest request;
    request.installerFile = temp.writeFile(temp.outsidePath(QStringLiteral("setup.exe")), "MZ");
    request.updaterExecutable = temp.writeFile(temp.outsidePath(QStringLiteral("Updater")), "text");
    request.restartApplication = temp.outsidePath(QStringLiteral("app/Application"));
    if (fault == QLatin1String("installer missing"))
        request.installerFile += QStringLiteral(".gone");
    if (fault == QLatin1String("updater missing"))
        request.updaterExecutable += QStringLiteral(".gone");
    if (fault == QLatin1String("relative restart"))
        request.restartApplication = QStringLiteral("app/Application");
    if (fault == QLatin1String("TEMP is a file"))
        request.tempDirectory = request.installerFile;
    const QStringList before = treeOf(QFileInfo(temp.path()).absolutePath());

    const UpdaterHost::UpdateLaunch launch = startUpdate(request);

    QVERIFY(!launch.started);
    QVERIFY2(launch.errorMessage.startsWith(errorStart), qPrintable(launch.errorMessage));
    QCOMPARE(treeOf(QFileInfo(temp.path()).absolutePath()), before);
}

QTEST_GUILESS_MAIN(UpdateLauncherTest)
#include "tst_update_launcher.moc"
