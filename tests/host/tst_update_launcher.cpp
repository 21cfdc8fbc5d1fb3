// The host side: what startUpdate() leaves in TEMP, what the updater is started with, what a
// failure leaves behind, and that the real updater accepts the command line it builds.

#include "program_run.h"
#include "test_environment.h"
#include "update_launcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>

using UpdaterHost::startUpdate;
using UpdaterHost::UpdateLaunch;
using UpdaterHost::UpdateRequest;

namespace {

const char kRecordVariable[] = "UPDATER_HOST_TEST_RECORD";

QString recorderExecutable() {
    return QStringLiteral(ARGUMENT_RECORDER);
}

QByteArray patternBytes(qint64 size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 31 + 7) & 0xff);
    return bytes;
}

// Every path below root, relative, sorted: a snapshot to prove that nothing was left behind.
QStringList treeOf(const QString& root) {
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << QDir(root).relativeFilePath(it.next());
    entries.sort();
    return entries;
}

// The working directory and the arguments that the recorder was started with; waits for the
// detached process to write them.
QStringList waitForRecord(const QString& recordPath) {
    waitForFile(recordPath);
    QStringList lines = QString::fromUtf8(readFileBytes(recordPath)).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// A private TEMP plus an installer and a restart path beside it, and a record file for the
// recorder that stands in for the updater.
struct HostFixture {
    ScopedTemp temp;
    QString installer;
    QString restart;
    QString record;

    explicit HostFixture(const QByteArray& installerBytes = QByteArrayLiteral("MZ installer")) {
        installer = temp.writeFile(temp.outsidePath(QStringLiteral("downloads/setup-2.0.exe")),
                                   installerBytes);
        restart = temp.outsidePath(QStringLiteral("app/Application"));
        record = temp.outsidePath(QStringLiteral("record.txt"));
        qputenv(kRecordVariable, record.toLocal8Bit());
    }
    ~HostFixture() { qunsetenv(kRecordVariable); }
    HostFixture(const HostFixture&) = delete;
    HostFixture& operator=(const HostFixture&) = delete;

    UpdateRequest request(const QString& tempDirectory = QString()) const {
        return {installer, recorderExecutable(), restart, tempDirectory};
    }
};

} // namespace

class UpdateLauncherTest : public QObject {
    Q_OBJECT

private slots:
    void stagesInstallerAndStartsUpdater_data();
    void stagesInstallerAndStartsUpdater();
    void stagingIsPrivateAndInstallerStartable();
    void everyLaunchGetsAFreshDirectory();
    void failureLeavesNothingBehind_data();
    void failureLeavesNothingBehind();
    void realUpdaterAcceptsTheCommandLine();
};

void UpdateLauncherTest::stagesInstallerAndStartsUpdater_data() {
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("tempSubdirectory"); // empty: the process's TEMP
    QTest::addColumn<bool>("relativeUpdater");     // given relative to the current directory
    // The SHA-256 of patternBytes(size), computed once with an independent tool (sha256sum).
    QTest::addColumn<QString>("digest");

    QTest::newRow("empty installer")
        << qint64(0) << QString() << false
        << QStringLiteral("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    QTest::newRow("small installer")
        << qint64(100) << QString() << false
        << QStringLiteral("c22e490daa445fb2fba44278c022df135310fd278cabca4ad7919eddcccd1dce");
    QTest::newRow("exactly one chunk")
        << qint64(1024 * 1024) << QString() << false
        << QStringLiteral("06b7bbfb7824aa03382051691630eb26de85102d1b08a81e907ec0744cd8a286");
    QTest::newRow("one byte past a chunk")
        << qint64(1024 * 1024 + 1) << QString() << false
        << QStringLiteral("0d09f3eabb5c78e5d435c41e3b3755f1c4d038657f739d0be0083c24e71235df");
    QTest::newRow("several chunks")
        << qint64(3 * 1024 * 1024 + 17) << QString() << false
        << QStringLiteral("27f3f0120d4a72b66e7b58152c631644bd689231ebd4487469b59226f1be13af");
    QTest::newRow("TEMP with blanks and accents")
        << qint64(4096) << QStringLiteral("my temp é") << false
        << QStringLiteral("d41d438c379110c7f7b2c561b1f04f26c1b4549110791f8e022f48974280c13e");
    QTest::newRow("updater path relative")
        << qint64(10) << QString() << true
        << QStringLiteral("49e62c55d4996b5c5092f67f3ca52e954e37310cd3e07a25be69d3f1b8d2fd98");
}

void UpdateLauncherTest::stagesInstallerAndStartsUpdater() {
    QFETCH(qint64, size);
    QFETCH(QString, tempSubdirectory);
    QFETCH(bool, relativeUpdater);
    QFETCH(QString, digest);
    const QByteArray content = patternBytes(size);
    HostFixture host(content);
    QVERIFY(host.temp.isValid());
    QString tempDirectory = host.temp.path();
    if (!tempSubdirectory.isEmpty()) {
        tempDirectory = host.temp.filePath(tempSubdirectory);
        QVERIFY(QDir().mkpath(tempDirectory));
    }

    UpdateRequest request = host.request(tempSubdirectory.isEmpty() ? QString() : tempDirectory);
    const QString currentDirectory = QDir::currentPath();
    const auto restoreCurrent = qScopeGuard([&] { QDir::setCurrent(currentDirectory); });
    if (relativeUpdater) {
        const QFileInfo recorder(recorderExecutable());
        QVERIFY(QDir::setCurrent(recorder.absolutePath() + QStringLiteral("/..")));
        request.updaterExecutable =
            QStringLiteral("%1/%2").arg(recorder.absoluteDir().dirName(), recorder.fileName());
    }
    const UpdateLaunch launch = startUpdate(request);
    QVERIFY2(launch.started, qPrintable(launch.errorMessage));
    QVERIFY(launch.errorMessage.isEmpty());
    QVERIFY(launch.updaterProcessId > 0);

    // Layout: one fresh directory directly in TEMP holding exactly the two files.
    const QFileInfo staging(launch.stagingDirectory);
    QCOMPARE(staging.absolutePath(), tempDirectory);
    static const QRegularExpression name(QStringLiteral(
        "^Quindlebrookware-Update-[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
    QVERIFY2(name.match(staging.fileName()).hasMatch(), qPrintable(staging.fileName()));
    QCOMPARE(treeOf(launch.stagingDirectory),
             QStringList({QStringLiteral("installer.exe"), QStringLiteral("manifest.json")}));
    QCOMPARE(launch.installerPath, launch.stagingDirectory + QStringLiteral("/installer.exe"));
    QCOMPARE(launch.manifestPath, launch.stagingDirectory + QStringLiteral("/manifest.json"));

    // The installer is copied byte for byte; the download stays where it was.
    QCOMPARE(readFileBytes(launch.installerPath), content);
    QCOMPARE(readFileBytes(host.installer), content);

    // The digest is the one an independent tool computed for these bytes.
    QCOMPARE(launch.sha256, digest);

    // The manifest parses back to exactly the two members.
    const QByteArray manifestBytes = readFileBytes(launch.manifestPath);
    QVERIFY(manifestBytes.size() >= 1 && manifestBytes.size() <= 16384);
    QJsonParseError error;
    const QJsonDocument manifest = QJsonDocument::fromJson(manifestBytes, &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QVERIFY(manifest.isObject());
    QStringList keys = manifest.object().keys();
    keys.sort();
    QCOMPARE(keys, QStringList({QStringLiteral("installer"), QStringLiteral("sha256")}));
    QCOMPARE(manifest.object().value(QStringLiteral("installer")).toString(),
             QStringLiteral("installer.exe"));
    QCOMPARE(manifest.object().value(QStringLiteral("sha256")).toString(), digest);

    // The updater gets the four options, in this order, and runs from its own directory.
    const QStringList expectedArguments{
        QStringLiteral("--pid"),       QString::number(QCoreApplication::applicationPid()),
        QStringLiteral("--installer"), QDir::toNativeSeparators(launch.installerPath),
        QStringLiteral("--sha256"),    digest,
        QStringLiteral("--restart"),   QDir::toNativeSeparators(host.restart),
    };
    QCOMPARE(launch.updaterArguments, expectedArguments);
    const QStringList record = waitForRecord(host.record);
    QCOMPARE(record.value(0), QFileInfo(recorderExecutable()).absolutePath());
    QCOMPARE(record.mid(1), expectedArguments);
}

void UpdateLauncherTest::stagingIsPrivateAndInstallerStartable() {
#ifdef Q_OS_WIN
    QSKIP("The staging directory inherits the ACL of the user's TEMP on Windows.");
#endif
    HostFixture host;
    QVERIFY(host.temp.isValid());
    const UpdateLaunch launch = startUpdate(host.request());
    QVERIFY2(launch.started, qPrintable(launch.errorMessage));
    waitForRecord(host.record);

    const auto owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    const auto others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
                        QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    const QFileInfo staging(launch.stagingDirectory);
    QCOMPARE(staging.permissions() & owner, owner);
    QCOMPARE(staging.permissions() & others, QFileDevice::Permissions());
    QVERIFY(QFileInfo(launch.installerPath).permissions() & QFileDevice::ExeOwner);
}

void UpdateLauncherTest::everyLaunchGetsAFreshDirectory() {
    HostFixture host;
    QVERIFY(host.temp.isValid());
    const UpdateLaunch first = startUpdate(host.request());
    QVERIFY2(first.started, qPrintable(first.errorMessage));
    waitForRecord(host.record);
    QVERIFY(QFile::remove(host.record));
    const UpdateLaunch second = startUpdate(host.request());
    QVERIFY2(second.started, qPrintable(second.errorMessage));
    waitForRecord(host.record);

    QVERIFY(first.stagingDirectory != second.stagingDirectory);
    QVERIFY(QFileInfo(first.installerPath).isFile());
    QVERIFY(QFileInfo(second.installerPath).isFile());
    QCOMPARE(first.sha256, second.sha256);
}

namespace {

bool canWriteInto(const QString& directory) {
    QFile probe(directory + QStringLiteral("/probe"));
    if (!probe.open(QIODevice::WriteOnly))
        return false;
    probe.remove();
    return true;
}

// chattr's immutable attribute, which refuses new entries even to root (ext4, XFS, btrfs).
bool setImmutable(const QString& directory, bool on) {
    return QProcess::execute(QStringLiteral("chattr"),
                             {on ? QStringLiteral("+i") : QStringLiteral("-i"), directory}) == 0;
}

enum class Fault {
    MissingInstaller,
    InstallerIsDirectory,
    MissingUpdater,
    UpdaterNotStartable,
    RelativeRestart,
    EmptyRestart,
    MissingTemp,
    TempIsFile,
    TempReadOnly,
};

} // namespace

void UpdateLauncherTest::failureLeavesNothingBehind_data() {
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("errorPrefix");
    QTest::addColumn<bool>("stagingAttempted");

    const QString noInstaller = QStringLiteral("Installer does not exist or is not a file: ");
    const QString noUpdater =
        QStringLiteral("Updater executable does not exist or is not a file: ");
    const QString relative = QStringLiteral("Restart application path must be absolute: ");
    const QString noTemp = QStringLiteral("TEMP directory does not exist: ");
    QTest::newRow("installer missing") << Fault::MissingInstaller << noInstaller << false;
    QTest::newRow("installer is a directory")
        << Fault::InstallerIsDirectory << noInstaller << false;
    QTest::newRow("updater missing") << Fault::MissingUpdater << noUpdater << false;
    QTest::newRow("restart path relative") << Fault::RelativeRestart << relative << false;
    QTest::newRow("restart path empty") << Fault::EmptyRestart << relative << false;
    QTest::newRow("TEMP missing") << Fault::MissingTemp << noTemp << false;
    QTest::newRow("TEMP is a file") << Fault::TempIsFile << noTemp << false;
    // These two get as far as naming the staging directory; the second creates and fills it
    // before the start fails, and must remove it again.
    QTest::newRow("TEMP not writable")
        << Fault::TempReadOnly << QStringLiteral("Could not create staging directory: ") << true;
    QTest::newRow("updater cannot be started")
        << Fault::UpdaterNotStartable << QStringLiteral("Could not start the updater: ") << true;
}

void UpdateLauncherTest::failureLeavesNothingBehind() {
    QFETCH(Fault, fault);
    QFETCH(QString, errorPrefix);
    QFETCH(bool, stagingAttempted);
    HostFixture host;
    QVERIFY(host.temp.isValid());
    UpdateRequest request = host.request();
    const QString readOnlyTemp = host.temp.filePath(QStringLiteral("read-only"));

    switch (fault) {
    case Fault::MissingInstaller:
        request.installerFile = host.temp.outsidePath(QStringLiteral("downloads/absent.exe"));
        break;
    case Fault::InstallerIsDirectory:
        request.installerFile = host.temp.outsidePath(QStringLiteral("downloads"));
        break;
    case Fault::MissingUpdater:
        request.updaterExecutable = host.temp.outsidePath(QStringLiteral("bin/Updater"));
        break;
    case Fault::UpdaterNotStartable:
        // A file without any execute permission, which no user can start.
        request.updaterExecutable =
            host.temp.writeFile(host.temp.outsidePath(QStringLiteral("bin/Updater.exe")),
                                QByteArrayLiteral("not a program"));
        QVERIFY(QFile::setPermissions(request.updaterExecutable,
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        break;
    case Fault::RelativeRestart:
        request.restartApplication = QStringLiteral("app/Application");
        break;
    case Fault::EmptyRestart:
        request.restartApplication.clear();
        break;
    case Fault::MissingTemp:
        request.tempDirectory = host.temp.filePath(QStringLiteral("absent"));
        break;
    case Fault::TempIsFile:
        request.tempDirectory = host.temp.writeFile(QStringLiteral("plain-file"), "x");
        break;
    case Fault::TempReadOnly: {
        QVERIFY(QDir().mkpath(readOnlyTemp));
        QVERIFY(
            QFile::setPermissions(readOnlyTemp, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        // Permissions do not stop root, which the immutable attribute does.
        if (canWriteInto(readOnlyTemp) && !setImmutable(readOnlyTemp, true))
            QSKIP("This user may write into a read-only directory and cannot make it immutable.");
        request.tempDirectory = readOnlyTemp;
        break;
    }
    }
    const auto restore = qScopeGuard([&] {
        if (fault == Fault::TempReadOnly)
            setImmutable(readOnlyTemp, false);
        QFile::setPermissions(readOnlyTemp, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ExeOwner);
    });

    const QString root = host.temp.outsidePath(QString());
    const QStringList before = treeOf(root);
    const UpdateLaunch launch = startUpdate(request);

    QVERIFY(!launch.started);
    QVERIFY2(launch.errorMessage.startsWith(errorPrefix), qPrintable(launch.errorMessage));
    QCOMPARE(!launch.stagingDirectory.isEmpty(), stagingAttempted);
    QCOMPARE(treeOf(root), before);
    QVERIFY(!QFileInfo::exists(host.record));
}

void UpdateLauncherTest::realUpdaterAcceptsTheCommandLine() {
    HostFixture host;
    QVERIFY(host.temp.isValid());
    const UpdateLaunch launch = startUpdate(host.request());
    QVERIFY2(launch.started, qPrintable(launch.errorMessage));
    QStringList arguments = waitForRecord(host.record).mid(1);
    QCOMPARE(arguments, launch.updaterArguments);

    // The host here is this test process, which cannot exit for the updater; a process that
    // has already ended takes its place, so that no stage waits on it.
    QProcess ended;
    ended.start(recorderExecutable(), {});
    QVERIFY(ended.waitForStarted());
    const QString endedPid = QString::number(ended.processId());
    QVERIFY(ended.waitForFinished());
    arguments[1] = endedPid;

    // Run as the temporary copy, which checks the command line itself.
    const UpdaterRun run = runUpdater(host.temp, arguments << QStringLiteral("--temporary-copy"));
    QVERIFY(run.finished);
    const QStringList accepted{
        QStringLiteral("Arguments parsed successfully."),
        QStringLiteral("Target PID: %1").arg(endedPid),
        QStringLiteral("Installer: %1").arg(QDir::toNativeSeparators(launch.installerPath)),
        QStringLiteral("Restart application: %1").arg(QDir::toNativeSeparators(host.restart)),
    };
    const qsizetype at = run.messages.indexOf(accepted.first());
    QVERIFY2(at >= 0, qPrintable(run.messages.join(QLatin1Char('\n'))));
    QCOMPARE(run.messages.mid(at, accepted.size()), accepted);
    QVERIFY(!run.messages.contains(QStringLiteral("Invalid command-line arguments.")));
    // Accepted: whichever later stage ends the run, it is not the command-line check (exit 1).
    QVERIFY2(run.exitCode >= 2, qPrintable(QString::number(run.exitCode)));
}

QTEST_GUILESS_MAIN(UpdateLauncherTest)
#include "tst_update_launcher.moc"
