// A host that does not exit: the temporary copy gives up after its fixed two-minute wait with
// exit 5 and leaves everything in place. Takes the full 120 s.

#include "program_run.h"
#include "update_scenario.h"

#include <QDir>
#include <QFileInfo>
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
    QString error;
    QVERIFY2(scenario.install(error), qPrintable(error));
    const QByteArray installer = scenario.makeInstaller(0, true, error);
    QVERIFY2(!installer.isEmpty(), qPrintable(error));
    const QString digest = sha256Hex(installer);
    const Staged staged = scenario.stage(installer, digest);

    // The host stays until the copy has given up on it.
    const QString timedOut = QStringLiteral("Timed out waiting for application after 120 seconds.");
    const HostRun host = scenario.runHost(
        scenario.updater(), scenario.updaterArguments(staged, digest, scenario.application()),
        timedOut, 180000);
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
                {QStringLiteral("size"), QString::number(installer.size())}});
    const NormalisedLog log =
        normalised(waitForLogSize(temp, original.size() + copy.size()), temp.path());
    QVERIFY2(isInterleaving(log.messages, original, copy),
             qPrintable(log.messages.join(QLatin1Char('\n'))));

    // Nothing was run or removed.
    QCOMPARE(QDir(staged.directory).entryList(QDir::Files),
             (QStringList{QStringLiteral("installer.exe"), QStringLiteral("manifest.json")}));
    QCOMPARE(readFileBytes(staged.installer), installer);
    QVERIFY(QFileInfo(log.temporaryDirectory).isDir());
    QVERIFY(QDir(temp.path())
                .entryList({QStringLiteral("Quindlebrookware-Updater-Cleanup-*")}, QDir::Files)
                .isEmpty());
    QVERIFY(scenario.installerRuns().isEmpty());
    QVERIFY(scenario.restartRecord().isEmpty());
}

QTEST_GUILESS_MAIN(EndToEndSlowTest)
#include "tst_end_to_end_slow.moc"
