// The demo's programs: the application reports the version beside it, and the host stages an
// installer and starts the updater for its own process.

#include "program_run.h"
#include "test_environment.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>

namespace {

// Text that a program wrote, with Windows line ends (text-mode output there) made plain.
QString textOf(const QByteArray& bytes) {
    return QString::fromUtf8(bytes).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

} // namespace

class DemoProgramsTest : public QObject {
    Q_OBJECT

private slots:
    void applicationReportsItsVersion_data();
    void applicationReportsItsVersion();
    void hostStagesAndStartsTheUpdater_data();
    void hostStagesAndStartsTheUpdater();
};

void DemoProgramsTest::applicationReportsItsVersion_data() {
    QTest::addColumn<QByteArray>("versionFile"); // null: no file
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("version");

    QTest::newRow("version 1.0.0") << QByteArray("1.0.0\n") << 0 << QStringLiteral("1.0.0");
    QTest::newRow("first line only, trimmed")
        << QByteArray(" 2.0.0 \r\nnotes\n") << 0 << QStringLiteral("2.0.0");
    QTest::newRow("no version file") << QByteArray() << 1 << QString();
}

void DemoProgramsTest::applicationReportsItsVersion() {
    QFETCH(QByteArray, versionFile);
    QFETCH(int, exitCode);
    QFETCH(QString, version);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    // The built program's own file name: Windows starts only a name with its ".exe".
    const QString app = temp.filePath(QStringLiteral("app/") +
                                      QFileInfo(QStringLiteral(DEMO_APPLICATION)).fileName());
    QVERIFY(QDir().mkpath(temp.filePath(QStringLiteral("app"))));
    QVERIFY(QFile::copy(QStringLiteral(DEMO_APPLICATION), app));
    // Installed with the libraries that lie beside the built program (Qt on Windows), as the
    // application's own installer would place them.
    const QDir built = QFileInfo(QStringLiteral(DEMO_APPLICATION)).absoluteDir();
    for (const QString& library : built.entryList({QStringLiteral("*.dll")}, QDir::Files))
        QVERIFY(
            QFile::copy(built.filePath(library), temp.filePath(QStringLiteral("app/") + library)));
    if (!versionFile.isNull())
        temp.writeFile(QStringLiteral("app/version.txt"), versionFile);

    const ProgramRun ran = runProgram(app, {QStringLiteral("ignored")}, temp.path());
    QVERIFY(ran.finished);
    QCOMPARE(ran.exitCode, exitCode);
    const QString record = temp.filePath(QStringLiteral("app/demo-application.log"));
    if (exitCode != 0) {
        QVERIFY(!QFileInfo::exists(record));
        return;
    }
    const QString expected =
        QStringLiteral(" demo-application %1 started with 1 argument(s) in %2\n")
            .arg(version, temp.path());
    const QString output = textOf(ran.standardOutput);
    QVERIFY2(output.endsWith(expected), qPrintable(output));
    QCOMPARE(textOf(readFileBytes(record)), output);
}

void DemoProgramsTest::hostStagesAndStartsTheUpdater_data() {
    QTest::addColumn<QStringList>("arguments"); // %I installer, %U updater, %A application
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("errorText");

    const QString i = QStringLiteral("--installer"), u = QStringLiteral("--updater"),
                  a = QStringLiteral("--application");
    const QString I = QStringLiteral("%I"), U = QStringLiteral("%U"), A = QStringLiteral("%A");
    QTest::newRow("staged and started") << QStringList{i, I, u, U, a, A} << 0 << QString();
    QTest::newRow("lingering first")
        << QStringList{i, I, u, U, a, A, QStringLiteral("--linger-ms"), QStringLiteral("200")} << 0
        << QString();
    QTest::newRow("option missing")
        << QStringList{i, I, u, U} << 2
        << QStringLiteral("demo-host: --updater, --installer and --application are required\n");
    QTest::newRow("linger not a number")
        << QStringList{i, I, u, U, a, A, QStringLiteral("--linger-ms"), QStringLiteral("soon")} << 2
        << QStringLiteral("demo-host: --linger-ms takes a number\n");
    QTest::newRow("installer missing")
        << QStringList{i, I + QStringLiteral(".absent"), u, U, a, A} << 1
        << QStringLiteral("demo-host: Installer does not exist or is not a file: ");
}

void DemoProgramsTest::hostStagesAndStartsTheUpdater() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, errorText);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString installer = temp.writeFile(temp.outsidePath(QStringLiteral("setup.exe")), "MZ");
    const QString record = temp.outsidePath(QStringLiteral("record.txt"));
    qputenv("UPDATER_HOST_TEST_RECORD", record.toLocal8Bit());
    const auto unset = qScopeGuard([] { qunsetenv("UPDATER_HOST_TEST_RECORD"); });
    for (QString& argument : arguments) {
        argument.replace(QStringLiteral("%I"), installer);
        argument.replace(QStringLiteral("%U"), QStringLiteral(ARGUMENT_RECORDER));
        argument.replace(QStringLiteral("%A"), temp.outsidePath(QStringLiteral("app/demo")));
    }

    const ProgramRun ran = runProgram(QStringLiteral(DEMO_HOST), arguments, temp.path());
    QVERIFY(ran.finished);
    QCOMPARE(ran.exitCode, exitCode);
    if (exitCode != 0) {
        const QString error = textOf(ran.standardError);
        QVERIFY2(error.startsWith(errorText), qPrintable(error));
        QCOMPARE(QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());
        return;
    }

    // The updater is started for the host's own process, with the staged installer.
    static const QRegularExpression staged(
        QStringLiteral("^demo-host: process (\\d+) staged (.+)$"),
        QRegularExpression::MultilineOption);
    const QString output = textOf(ran.standardOutput);
    const QRegularExpressionMatch match = staged.match(output);
    QVERIFY2(match.hasMatch(), qPrintable(output));
    QVERIFY(output.endsWith(QStringLiteral("demo-host: exiting\n")));
    QVERIFY(waitForFile(record));
    const QStringList recorded = textOf(readFileBytes(record)).split(QLatin1Char('\n'));
    QCOMPARE(recorded.mid(1, 4),
             QStringList(
                 {QStringLiteral("--pid"), match.captured(1), QStringLiteral("--installer"),
                  QDir::toNativeSeparators(match.captured(2) + QStringLiteral("/installer.exe"))}));
    QVERIFY(QFileInfo(match.captured(2) + QStringLiteral("/manifest.json")).isFile());
}

QTEST_GUILESS_MAIN(DemoProgramsTest)
#include "tst_demo_programs.moc"
