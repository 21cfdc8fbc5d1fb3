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

    QTest::newRow("no arguments") << QStringList() << false;
    QTest::newRow("update arguments only")
        << QStringList{QStringLiteral("--pid"), QStringLiteral("1")} << false;
    QTest::newRow("flag in other case") << QStringList{QStringLiteral("--Temporary-Copy")} << false;
    QTest::newRow("flag with a blank before") << QStringList{QStringLiteral(" --temporary-copy")} << false;
    QTest::newRow("flag with a blank after") << QStringList{QStringLiteral("--temporary-copy ")} << false;
    QTest::newRow("flag as a value of another option")
        << QStringList{QStringLiteral("--temporary-copy=1")} << false;
    QTest::newRow("flag alone") << QStringList{QStringLiteral("--temporary-copy")} << true;
    QTest::newRow("flag first")
        << QStringList{QStringLiteral("--temporary-copy"), QStringLiteral("--pid")} << true;
    QTest::newRow("flag last")
        << QStringList{QStringLiteral("--pid"), QStringLiteral("1"), QStringLiteral("--temporary-copy")}
        << true;
}

void UpdateSequenceTest::roleDecision() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, temporaryCopy);
    ScopedTemp temp;
    QVERIFY(temp.isValid());

    const UpdaterRun run = runUpdater(temp, arguments);

    QVERIFY(run.finished);
    QVERIFY(run.messages.size() >= 3);
    if (temporaryCopy) {
        QCOMPARE(run.messages.mid(0, 5), temporaryCopyStart());
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.messages.last(), QStringLiteral("Invalid command-line arguments."));
    } else {
        QCOMPARE(run.messages.mid(0, 3),
                 QStringList({kBanner, QStringLiteral("Updater started."),
                              QStringLiteral("Original updater detected.")}));
        // Whatever the relaunch logs, the original updater's block ends with its own two lines
        // and never contains a line of the temporary copy's sequence.
        QVERIFY(!run.messages.contains(QStringLiteral("Running from temporary updater copy.")) ||
                run.exitCode == 0);
        if (run.exitCode == 10) {
            QCOMPARE(run.messages.mid(run.messages.size() - 2),
                     QStringList({QStringLiteral("ERROR: Failed to launch temporary updater copy."),
                                  kBanner}));
        } else {
            QCOMPARE(run.exitCode, 0);
            QVERIFY(run.messages.contains(QStringLiteral("Original updater exiting.")));
        }
    }
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
        << QStringList{QStringLiteral("--pid"), QStringLiteral("1"), QStringLiteral("--installer"),
                       QStringLiteral("{temp}/installer.exe"), QStringLiteral("--sha256"),
                       sampleSha256(), QStringLiteral("--restart"), QStringLiteral("{temp}/app")}
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
        temporaryCopyStart() + QStringList{reason, QStringLiteral("Invalid command-line arguments.")};
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
    const QStringList parsed = temporaryCopyStart() +
                               QStringList{QStringLiteral("Arguments parsed successfully."),
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
