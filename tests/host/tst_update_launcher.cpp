// The host library: what startUpdate() stages in TEMP and what it starts the updater with, that a
// refused request leaves nothing behind, and which outcomes of the last update hold the same
// installer back. (A staged update run to its end is a row of the
// end-to-end table.)

#include "contract.h"
#include "program_run.h"
#include "test_environment.h"
#include "update_launcher.h"

#include <QDirIterator>
#include <QTest>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

using namespace Qt::Literals::StringLiterals;

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

const QString kNotStarted = u"Could not start the updater: "_s;

enum class Fault { None, InstallerMissing, UpdaterMissing, RelativeRestart, TempIsAFile };

// Whose the record in TEMP is: a shared /tmp lets another account put a file under its name.
enum class Record { Own, LinkElsewhere, OtherAccount };

struct RefusalRow {
    Fault fault = Fault::None;
    int lastExit = 0; // the exit code of the last recorded update; 0: no record
    bool sameInstaller = true;
    int hoursAgo = 1;
    bool userRequested = false;
    Record record = Record::Own;
    bool heldBack = false;
    QString errorStart{};
};

} // namespace

Q_DECLARE_METATYPE(RefusalRow)

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
    const QString tempDirectory = temp.outsidePath(u"T\u00e9mp d\u00e9j\u00e0"_s);
    QVERIFY(QDir().mkpath(tempDirectory));
    QByteArray content(1048577, Qt::Uninitialized);
    for (qsizetype i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 31 + 7);
    UpdateRequest request;
    request.installerFile = temp.writeFile(temp.outsidePath(u"dl/setup.exe"_s), content);
    request.updaterExecutable = QStringLiteral(ARGUMENT_RECORDER);
    request.restartApplication = temp.outsidePath(u"app/Application"_s);
    request.tempDirectory = tempDirectory;

    const UpdaterHost::UpdateLaunch launch = startUpdate(request);

    QVERIFY2(launch.started, qPrintable(launch.errorMessage));
    QCOMPARE(launch.sha256, sha256Hex(content));
    const QString staging = launch.stagingDirectory;
    QCOMPARE(QFileInfo(staging).absolutePath(), tempDirectory);
    QVERIFY(QFileInfo(staging).fileName().startsWith(u"Quindlebrookware-Update-"_s));
    QCOMPARE(treeOf(tempDirectory),
             QStringList({QFileInfo(staging).fileName(),
                          QFileInfo(staging).fileName() + u"/installer.exe"_s,
                          QFileInfo(staging).fileName() + u"/manifest.json"_s}));
    if (QSysInfo::productType() != u"windows"_s) {
        QCOMPARE(QFileInfo(staging).permissions() & (QFile::ReadOther | QFile::ReadGroup),
                 QFileDevice::Permissions());
    }
    QCOMPARE(readFileBytes(launch.installerPath), content);
}

void UpdateLauncherTest::refusals_data() {
    QTest::addColumn<RefusalRow>("row");
    const auto add = [](const char* name, const RefusalRow& row) { QTest::newRow(name) << row; };
    add("installer missing", {.fault = Fault::InstallerMissing,
                              .errorStart = u"Installer does not exist or is not a file: "_s});
    add("updater missing",
        {.fault = Fault::UpdaterMissing,
         .errorStart = u"Updater executable does not exist or is not a file: "_s});
    add("relative restart path", {.fault = Fault::RelativeRestart,
                                  .errorStart = u"Restart application path must be absolute: "_s});
    add("TEMP is a file",
        {.fault = Fault::TempIsAFile, .errorStart = u"TEMP directory does not exist: "_s});
    // Gets as far as creating and filling the staging directory, which must go again. (So do the
    // rows below that the last outcome does not hold back.)
    add("updater cannot be started", {.errorStart = kNotStarted});
    // How the last update of the same installer ended holds it back: for good after a refused
    // digest or signature (the same installer again is the end-to-end table's tampered-image
    // row), for the delay after a failed installer or a declined prompt.
    add("refused signature, another installer",
        {.lastExit = 7, .sameInstaller = false, .errorStart = kNotStarted});
    add("failed an hour ago",
        {.lastExit = 8,
         .heldBack = true,
         .errorStart = u"This installer failed or its elevation was declined"_s});
    add("failed an hour ago, the user asks",
        {.lastExit = 8, .userRequested = true, .errorStart = kNotStarted});
    add("failed two days ago", {.lastExit = 8, .hoursAgo = 48, .errorStart = kNotStarted});
    add("failed an hour ago, the record a link to elsewhere",
        {.lastExit = 8, .record = Record::LinkElsewhere, .errorStart = kNotStarted});
    add("failed an hour ago, the record another account's",
        {.lastExit = 8, .record = Record::OtherAccount, .errorStart = kNotStarted});
}

void UpdateLauncherTest::refusals() {
    QFETCH(RefusalRow, row);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    UpdateRequest request;
    request.installerFile = temp.writeFile(temp.outsidePath(u"setup.exe"_s), "MZ");
    request.updaterExecutable = temp.writeFile(temp.outsidePath(u"Updater"_s), "text");
    request.restartApplication = temp.outsidePath(u"app/Application"_s);
    request.userRequested = row.userRequested;
    switch (row.fault) {
    case Fault::None:
        break;
    case Fault::InstallerMissing:
        request.installerFile += u".gone"_s;
        break;
    case Fault::UpdaterMissing:
        request.updaterExecutable += u".gone"_s;
        break;
    case Fault::RelativeRestart:
        request.restartApplication = u"app/Application"_s;
        break;
    case Fault::TempIsAFile:
        request.tempDirectory = request.installerFile;
        break;
    }
    if (row.lastExit != 0) {
        contract::OutcomeRecord last{row.lastExit, u"as recorded"_s,
                                     QDateTime::currentDateTimeUtc().addSecs(-3600 * row.hoursAgo),
                                     sha256Hex(row.sameInstaller ? "MZ" : "other"),
                                     request.restartApplication};
        const QString written = temp.writeFile(row.record == Record::LinkElsewhere
                                                   ? temp.outsidePath(contract::kOutcomeFileName)
                                                   : contract::kOutcomeFileName,
                                               contract::outcomeRecordJson(last));
#ifdef Q_OS_WIN
        if (row.record != Record::Own)
            QSKIP("POSIX only: TEMP is the user's own on Windows");
#else
        if (row.record == Record::LinkElsewhere)
            QVERIFY(QFile::link(written, temp.filePath(contract::kOutcomeFileName)));
        if (row.record == Record::OtherAccount && ::chown(qPrintable(written), 65534, 65534) != 0)
            QSKIP("only root can give a file to another account");
#endif
    }
    const QStringList before = treeOf(QFileInfo(temp.path()).absolutePath());

    const UpdaterHost::UpdateLaunch launch = startUpdate(request);

    QVERIFY(!launch.started);
    QCOMPARE(launch.heldBack, row.heldBack);
    QVERIFY2(launch.errorMessage.startsWith(row.errorStart), qPrintable(launch.errorMessage));
    QCOMPARE(treeOf(QFileInfo(temp.path()).absolutePath()), before);
}

QTEST_GUILESS_MAIN(UpdateLauncherTest)
#include "tst_update_launcher.moc"
