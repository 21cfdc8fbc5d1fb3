// The /bin/sh self-delete script run for real: removal, retries, giving up, quoting of hostile
// paths, and a scheduled script that removes the directory only after its updater has gone.

#include "relocation/self_delete_script.h"
#include "test_environment.h"
#include "updater.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

namespace {

// Stands in for rm(1) on the script's PATH: records every call and lets the first
// FAKE_RM_FAILURES directory removals fail without touching anything.
const QByteArray kFakeRemove = R"(#!/bin/sh
printf '%s\n' "$*" >> "$FAKE_RM_CALLS"
if [ "$1" = -rf ]; then
    count=$(grep -c -e '^-rf ' "$FAKE_RM_CALLS")
    if [ "$count" -le "$FAKE_RM_FAILURES" ]; then
        exit 1
    fi
fi
exec /bin/rm "$@"
)";

QStringList linesOf(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList cleanupScripts(const QString& tempPath) {
    return QDir(tempPath).entryList({QStringLiteral("Quindlebrookware-Updater-Cleanup-*")},
                                    QDir::Files);
}

} // namespace

class PosixSelfDeleteTest : public QObject {
    Q_OBJECT

private slots:
    void posixScriptRemovesTheDirectory_data();
    void posixScriptRemovesTheDirectory();
    void scheduledScriptRemovesTheDirectoryAfterTheUpdater();
};

void PosixSelfDeleteTest::posixScriptRemovesTheDirectory_data() {
    QTest::addColumn<QString>("directoryName"); // empty: the directory does not exist
    QTest::addColumn<QString>("tempName");      // the script's TEMP directory
    QTest::addColumn<int>("failures");          // directory removals that fail before one works
    QTest::addColumn<int>("attempts");
    QTest::addColumn<int>("exitCode");

    const QString plain = QStringLiteral("Quindlebrookware-Updater-0f8fad5b");
    QTest::newRow("removed at the first attempt") << plain << "TEMP" << 0 << 1 << 0;
    QTest::newRow("spaces in the path")
        << QStringLiteral("Program Files/Quindlebrookware Updater") << "My Temp" << 0 << 1 << 0;
    QTest::newRow("quotes and dollar in the path")
        << QStringLiteral("it's \"$HOME\" `id` \\ $(x)") << "t'e\"m$p $USER" << 0 << 1 << 0;
    QTest::newRow("non-ASCII path")
        << QStringLiteral("Jos\u00e9 \u65e5\u672c") << "T\u00e9mp" << 0 << 1 << 0;
    QTest::newRow("nothing there any more") << QString() << "TEMP" << 0 << 1 << 0;
    QTest::newRow("retries while removal fails") << plain << "TEMP" << 3 << 4 << 0;
    QTest::newRow("last attempt succeeds") << plain << "TEMP" << 14 << 15 << 0;
    QTest::newRow("gives up after 15 attempts") << plain << "TEMP" << 100 << 15 << 1;
}

void PosixSelfDeleteTest::posixScriptRemovesTheDirectory() {
    QFETCH(QString, directoryName);
    QFETCH(QString, tempName);
    QFETCH(int, failures);
    QFETCH(int, attempts);
    QFETCH(int, exitCode);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString scriptTemp = temp.filePath(tempName);
    const QString directory =
        temp.outsidePath(directoryName.isEmpty() ? QStringLiteral("gone") : directoryName);
    if (!directoryName.isEmpty())
        temp.writeFile(directory + QStringLiteral("/sub dir/file.dll"), "contents");
    const QString script = temp.writeFile(
        scriptTemp + QStringLiteral("/Quindlebrookware-Updater-Cleanup-7c9e6679.sh"),
        relocation::posixSelfDeleteScript(directory,
                                          scriptTemp + QStringLiteral("/Quindlebrookware-Updater-"
                                                                      "Cleanup-7c9e6679.sh"),
                                          {50, 20})
            .toLocal8Bit());
    const QString bin = temp.outsidePath(QStringLiteral("bin"));
    QFile::setPermissions(temp.writeFile(bin + QStringLiteral("/rm"), kFakeRemove),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString calls = temp.outsidePath(QStringLiteral("rm-calls"));

    QProcess shell;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"),
                       bin + QLatin1Char(':') + environment.value(QStringLiteral("PATH")));
    environment.insert(QStringLiteral("TMPDIR"), scriptTemp);
    environment.insert(QStringLiteral("FAKE_RM_CALLS"), calls);
    environment.insert(QStringLiteral("FAKE_RM_FAILURES"), QString::number(failures));
    shell.setProcessEnvironment(environment);
    // Started from inside the directory, as the updater's own children are.
    shell.setWorkingDirectory(directoryName.isEmpty() ? scriptTemp : directory);
    shell.start(QStringLiteral("/bin/sh"), {script});
    QVERIFY(shell.waitForFinished(20000));

    QCOMPARE(shell.exitStatus(), QProcess::NormalExit);
    QCOMPARE(shell.exitCode(), exitCode);
    QStringList expectedCalls;
    for (int i = 0; i < attempts; ++i)
        expectedCalls << QStringLiteral("-rf -- ") + directory;
    if (exitCode == 0)
        expectedCalls << QStringLiteral("-f -- ") + script;
    QCOMPARE(linesOf(calls), expectedCalls);
    // Success: the directory and the script are gone. Giving up: both stay.
    QCOMPARE(QFileInfo::exists(directory), exitCode != 0 && !directoryName.isEmpty());
    QCOMPARE(QFileInfo::exists(script), exitCode != 0);
}

void PosixSelfDeleteTest::scheduledScriptRemovesTheDirectoryAfterTheUpdater() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString directory = temp.filePath(QStringLiteral("Quindlebrookware-Updater-with space"));
    const QString executable = temp.writeFile(directory + QStringLiteral("/Updater"), "program");
    temp.writeFile(directory + QStringLiteral("/Qt6Core.dll"), "library");

    // Scheduled twice, as a run whose staging directory held an extra file does.
    QElapsedTimer sinceStart;
    sinceStart.start();
    Updater updater;
    QVERIFY(updater.scheduleSelfDelete(executable));
    QVERIFY(updater.scheduleSelfDelete(executable));

    const QStringList scripts = cleanupScripts(temp.path());
    QCOMPARE(scripts.size(), 2);
    static const QRegularExpression name(QStringLiteral(
        "^Quindlebrookware-Updater-Cleanup-[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}\\.sh$"));
    QStringList expected;
    const QStringList messages = temp.logMessages();
    for (const QString& message : messages) {
        if (!message.startsWith(QStringLiteral("Self-delete script created: ")))
            continue;
        const QString script = message.section(QStringLiteral(": "), 1);
        QVERIFY2(name.match(QFileInfo(script).fileName()).hasMatch(), qPrintable(script));
        QCOMPARE(QFileInfo(script).absolutePath(), temp.path());
        QFile file(script);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(),
                 relocation::posixSelfDeleteScript(directory, script).toLocal8Bit());
        expected << message << QStringLiteral("Self-delete process launched successfully.")
                 << QStringLiteral("Temporary updater executable: %1").arg(executable)
                 << QStringLiteral("Temporary updater directory: %1").arg(directory)
                 << QStringLiteral(
                        "Temporary updater directory will be removed after updater exits.");
    }
    QCOMPARE(messages, expected);

    // The first attempt waits until the updater has had time to exit.
    QThread::msleep(static_cast<unsigned long>(std::max<qint64>(0, 1000 - sinceStart.elapsed())));
    QVERIFY(QFileInfo::exists(executable));
    // Then both scripts finish: one removes the directory, the other finds it gone.
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(directory), 15000);
    QTRY_VERIFY_WITH_TIMEOUT(cleanupScripts(temp.path()).isEmpty(), 15000);
}

QTEST_GUILESS_MAIN(PosixSelfDeleteTest)
#include "tst_self_delete_posix.moc"
