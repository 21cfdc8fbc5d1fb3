// A host that does not exit: the temporary copy gives up after its fixed two-minute wait with
// exit 5 and leaves everything in place. Takes the full 120 s.

#include "program_run.h"
#include "update_scenario.h"

#include <QTest>

using namespace e2e;

class EndToEndSlowTest : public QObject {
    Q_OBJECT

private slots:
    void hostOutlivingTheWaitEndsWithExitFive();
};

void EndToEndSlowTest::hostOutlivingTheWaitEndsWithExitFive() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    UpdateScenario scenario(temp);
    Staged staged;
    QString error;
    QVERIFY2(scenario.prepare(staged, error), qPrintable(error));

    // The host stays until the copy has given up on it.
    const QString timedOut = QStringLiteral("Timed out waiting for application after 120 seconds.");
    const HostRun host = scenario.runHost(
        scenario.updater(),
        scenario.updaterArguments(staged, staged.installerSha256, scenario.application()), timedOut,
        180000);
    QVERIFY2(host.finished, host.output.constData());
    QCOMPARE(host.exitCode, 0);

    const QStringList original = originalBlock();
    const QStringList copy =
        filled(copyBlockThrough(Stage::InstallerFile) +
                   QStringList{QStringLiteral("Waiting for application process {pid} to exit..."),
                               timedOut, QStringLiteral("Application did not close successfully.")},
               {{QStringLiteral("pid"), host.pid},
                {QStringLiteral("installer"), staged.installer},
                {QStringLiteral("restart"), scenario.application()},
                {QStringLiteral("size"), QString::number(staged.installerBytes.size())}});
    const NormalisedLog log =
        normalised(waitForLogSize(temp, original.size() + copy.size()), temp.path());
    QVERIFY(matchesBlocks(log.messages, original, copy));

    // Nothing was run or removed.
    const QString difference = scenario.untouchedDifference(staged);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

QTEST_GUILESS_MAIN(EndToEndSlowTest)
#include "tst_end_to_end_slow.moc"
