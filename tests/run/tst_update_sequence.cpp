// The real Updater program: role decision, the blocks of lines each role writes, and the exit
// codes reachable from the command line.

#include "test_environment.h"

#include <QDir>
#include <QTest>

namespace {

const QString kBanner(40, QLatin1Char('='));

QStringList temporaryCopyStart() {
    return {kBanner, QStringLiteral("Updater started."), QStringLiteral("Updater version: 1.0.0"),
            QStringLiteral("Running from temporary updater copy."), kBanner};
}

} // namespace

class UpdateSequenceTest : public QObject {
    Q_OBJECT

private slots:
    void roleDecision_data();
    void roleDecision();
    void refusedCommandLineEndsWithExitOne_data();
    void refusedCommandLineEndsWithExitOne();
    void acceptedCommandLineIsLoggedAndReachesTheStagingCheck();
    void twoRunsAppendToOneLog();
};

void UpdateSequenceTest::roleDecision_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("temporaryCopy");
    // The original updater relaunches itself for real; its copy, which gets the same arguments
    // plus "--temporary-copy", then refuses the command line with this reason.
    QTest::addColumn<QString>("copyReason");

    const QString missing = QStringLiteral("One or more required arguments are missing.");
    QTest::newRow("no arguments") << QStringList() << false << missing;
    QTest::newRow("update arguments only")
        << QStringList{QStringLiteral("--pid"), QStringLiteral("1")} << false << missing;
    QTest::newRow("flag in other case")
        << QStringList{QStringLiteral("--Temporary-Copy")} << false
        << QStringLiteral("Unknown command-line argument rejected: --Temporary-Copy");
    // The parser trims its tokens, so the copy skips these as flags.
    QTest::newRow("flag with a blank before")
        << QStringList{QStringLiteral(" --temporary-copy")} << false << missing;
    QTest::newRow("flag with a blank after")
        << QStringList{QStringLiteral("--temporary-copy ")} << false << missing;
    QTest::newRow("flag as a value of another option")
        << QStringList{QStringLiteral("--temporary-copy=1")} << false
        << QStringLiteral("Unknown command-line argument rejected: --temporary-copy=1");
    QTest::newRow("flag alone") << QStringList{QStringLiteral("--temporary-copy")} << true
                                << missing;
    QTest::newRow("flag first") << QStringList{QStringLiteral("--temporary-copy"),
                                               QStringLiteral("--pid")}
                                << true << QStringLiteral("Invalid --pid argument.");
    QTest::newRow("flag last") << QStringList{QStringLiteral("--pid"), QStringLiteral("1"),
                                              QStringLiteral("--temporary-copy")}
                               << true << missing;
}

void UpdateSequenceTest::roleDecision() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, temporaryCopy);
    QFETCH(QString, copyReason);
    ScopedTemp temp;
    QVERIFY(temp.isValid());

    const UpdaterRun run = runUpdater(temp, arguments);

    QVERIFY(run.finished);
    const QStringList copyBlock =
        temporaryCopyStart() << copyReason << QStringLiteral("Invalid command-line arguments.");
    if (temporaryCopy) {
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.messages, copyBlock);
        return;
    }
    QCOMPARE(run.exitCode, 0);
    // The copy runs on after the original has exited: wait for its last line.
    const QStringList messages = waitForLogMessage(temp, copyBlock.last());
    const QStringList directories =
        QDir(temp.path()).entryList({QStringLiteral("Quindlebrookware-Updater-*")}, QDir::Dirs);
    QCOMPARE(directories.size(), 1);
    QStringList relaunch = originalUpdaterRelaunchLines();
    relaunch.replaceInStrings(QStringLiteral("{dir}"), temp.filePath(directories.first()));
    QCOMPARE(messages.mid(0, relaunch.size()), relaunch);
    // The original's last two lines may fall among the copy's first ones.
    const QStringList rest = messages.mid(relaunch.size());
    QVERIFY2(
        isInterleaving(rest, {QStringLiteral("Original updater exiting."), kBanner}, copyBlock),
        qPrintable(rest.join(QLatin1Char('\n'))));
}

void UpdateSequenceTest::refusedCommandLineEndsWithExitOne_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("reason");

    QTest::newRow("nothing but the flag")
        << QStringList() << QStringLiteral("One or more required arguments are missing.");
    QTest::newRow("pid out of range")
        << QStringList{QStringLiteral("--pid"), QStringLiteral("4294967296")}
        << QStringLiteral("Invalid process ID: 4294967296");
    QTest::newRow("unknown option")
        << QStringList{QStringLiteral("--pid=1")}
        << QStringLiteral("Unknown command-line argument rejected: --pid=1");
    QTest::newRow("installer outside the staging area")
        << QStringList{QStringLiteral("--pid"),       QStringLiteral("1"),
                       QStringLiteral("--installer"), QStringLiteral("{temp}/installer.exe"),
                       QStringLiteral("--sha256"),    sampleSha256(),
                       QStringLiteral("--restart"),   QStringLiteral("{temp}/app")}
        << QStringLiteral(
               "SECURITY ERROR: installer is not inside an approved TEMP staging directory.");
}

void UpdateSequenceTest::refusedCommandLineEndsWithExitOne() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, reason);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    temp.writeFile(QStringLiteral("installer.exe"), "MZ");
    arguments.replaceInStrings(QStringLiteral("{temp}"), temp.path());

    const UpdaterRun run = runUpdater(temp, arguments << QStringLiteral("--temporary-copy"));

    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 1);
    const QStringList expected =
        temporaryCopyStart() +
        QStringList{reason, QStringLiteral("Invalid command-line arguments.")};
    QCOMPARE(run.messages, expected);
    // Nothing on disk changed.
    QVERIFY(QFileInfo::exists(temp.filePath(QStringLiteral("installer.exe"))));
}

void UpdateSequenceTest::acceptedCommandLineIsLoggedAndReachesTheStagingCheck() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString staging = temp.createStagingDirectory();
    const QString installer = temp.writeFile(staging + QStringLiteral("/installer.exe"), "MZ");
    const QString restart = temp.filePath(QStringLiteral("app/Application.exe"));

    const UpdaterRun run = runUpdater(
        temp, {QStringLiteral("--temporary-copy"), QStringLiteral("--pid"), QStringLiteral("4321"),
               QStringLiteral("--installer"), installer, QStringLiteral("--sha256"),
               sampleSha256().toUpper(), QStringLiteral("--restart"), restart});

    QVERIFY(run.finished);
    const QStringList parsed =
        temporaryCopyStart() + QStringList{QStringLiteral("Arguments parsed successfully."),
                                           QStringLiteral("Target PID: 4321"),
                                           QStringLiteral("Installer: %1").arg(installer),
                                           QStringLiteral("Restart application: %1").arg(restart)};
    QCOMPARE(run.messages.mid(0, parsed.size()), parsed);
    QVERIFY(!run.messages.join(QLatin1Char('\n')).contains(sampleSha256()));
    // Without a manifest the staging check is the first to refuse.
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.messages.last(),
             QStringLiteral("SECURITY ERROR: staging directory validation failed."));
    QVERIFY(QFileInfo::exists(installer));
}

void UpdateSequenceTest::twoRunsAppendToOneLog() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());

    const UpdaterRun first = runUpdater(temp, {QStringLiteral("--temporary-copy")});
    const UpdaterRun second = runUpdater(temp, {QStringLiteral("--temporary-copy")});

    QCOMPARE(first.exitCode, 1);
    QCOMPARE(second.exitCode, 1);
    QCOMPARE(second.messages.size(), 2 * first.messages.size());
    QCOMPARE(second.messages.mid(first.messages.size()), first.messages);
}

QTEST_GUILESS_MAIN(UpdateSequenceTest)
#include "tst_update_sequence.moc"
