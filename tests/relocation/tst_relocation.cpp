// Self-relocation below what an update run can provoke: every way the temporary copy can fail to
// be prepared (nothing may be left behind), the self-delete script's attempts and its giving up,
// and the cases in which nothing is scheduled. Successful relocations and removals run in every
// row of the end-to-end table.

#include "program_run.h"
#include "relocation/relocation_platform.h"
#include "relocation/self_delete_script.h"
#include "relocation/temporary_copy.h"
#include "test_environment.h"
#include "updater.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

namespace {

const QStringList kLibraries{QStringLiteral("First.dll"), QStringLiteral("Second.dll")};

// Stands in for rm(1) on the POSIX script's PATH: records every call and lets the first
// FAKE_RM_FAILURES directory removals fail without touching anything.
const QByteArray kFakeRemove = R"sh(#!/bin/sh
printf '%s\n' "$*" >> "$FAKE_RM_CALLS"
if [ "$1" = -rf ] && [ "$(grep -c -e '^-rf ' "$FAKE_RM_CALLS")" -le "$FAKE_RM_FAILURES" ]; then
    exit 1
fi
exec /bin/rm "$@"
)sh";

} // namespace

class RelocationTest : public QObject {
    Q_OBJECT

private slots:
    void copyNotPrepared_data();
    void copyNotPrepared();
    void nothingScheduled();
#ifdef Q_OS_WIN
    void windowsScriptAttempts();
#else
    void posixScriptAttempts_data();
    void posixScriptAttempts();
#endif
};

void RelocationTest::copyNotPrepared_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("lines"); // {install}: install directory, {dir}: temporary one
    const QString created = QStringLiteral("Temporary updater copy created: {dir}/") +
                            relocation::platform::updaterExecutableName();
    QTest::newRow("TEMP is a file")
        << "TEMP is a file"
        << QStringList{
               QStringLiteral("ERROR: Could not create temporary updater directory: {dir}")};
    QTest::newRow("second library missing")
        << "Second.dll missing"
        << QStringList{
               created, QStringLiteral("Temporary updater DLL copied: {dir}/First.dll"),
               QStringLiteral("ERROR: Required updater DLL does not exist: {install}/Second.dll")};
    QTest::newRow("library cannot be copied")
        << "First.dll is a directory"
        << QStringList{created, QStringLiteral("ERROR: Could not copy updater DLL."),
                       QStringLiteral("Source: {install}/First.dll"),
                       QStringLiteral("Destination: {dir}/First.dll")};
    QTest::newRow("copy cannot be started")
        << "executable is no program"
        << QStringList{created, QStringLiteral("Temporary updater DLL copied: {dir}/First.dll"),
                       QStringLiteral("Temporary updater DLL copied: {dir}/Second.dll"),
                       QStringLiteral("Launching temporary updater copy."),
                       QStringLiteral("ERROR: Failed to launch temporary updater copy.")};
}

void RelocationTest::copyNotPrepared() {
    QFETCH(QString, fault);
    QFETCH(QStringList, lines);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString install = temp.outsidePath(QStringLiteral("install"));
    const QString executable = install + QStringLiteral("/Updater-under-test");
    temp.writeFile(executable, "not a program\n");
    for (const QString& library : kLibraries)
        temp.writeFile(install + QLatin1Char('/') + library, "library");
    const QString broken = install + QLatin1Char('/') + fault.section(QLatin1Char(' '), 0, 0);
    if (fault.endsWith(QLatin1String(" missing")))
        QVERIFY(QFile::remove(broken));
    if (fault.endsWith(QLatin1String(" is a directory")))
        QVERIFY(QFile::remove(broken) && QDir().mkdir(broken));
    const QString tempPath = fault == QLatin1String("TEMP is a file")
                                 ? temp.writeFile(QStringLiteral("file"), "not a directory")
                                 : temp.path();
    QStringList messages;
    bool launched = true;
    {
        const TempRedirect redirect(tempPath);
        launched = relocation::launchTemporaryCopy(
            executable, kLibraries, {QStringLiteral("--pid"), QStringLiteral("1")},
            [&](const QString& message) { messages << message; });
    }

    QVERIFY(!launched);
    messages.replaceInStrings(
        QRegularExpression(QStringLiteral("Quindlebrookware-Updater-[0-9a-f-]{36}")),
        QStringLiteral("{uuid}"));
    QCOMPARE(messages,
             lines.replaceInStrings(QStringLiteral("{install}"), install)
                 .replaceInStrings(QStringLiteral("{dir}"), tempPath + QStringLiteral("/{uuid}")));
    // Whatever was created has been removed again.
    QCOMPARE(QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             tempPath == temp.path() ? QStringList() : QStringList{QStringLiteral("file")});
}

// Nothing is scheduled for an executable that is gone, nor for one in a directory that only looks
// like a temporary updater directory from below (a copy started from an install directory is an
// end-to-end row).
void RelocationTest::nothingScheduled() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString gone = temp.filePath(QStringLiteral("Quindlebrookware-Updater-x/Updater"));
    const QString lookalike = temp.writeFile(
        QStringLiteral("Quindlebrookware-Updater-0f8fad5b-d9cb-469f-a165-70867728950e/sub/Updater"),
        "");
    Updater updater;

    QVERIFY(updater.scheduleSelfDelete(gone));
    QVERIFY(updater.scheduleSelfDelete(lookalike));

    QCOMPARE(temp.logMessages(),
             QStringList({QStringLiteral("Self-delete skipped: file does not exist: ") + gone,
                          QStringLiteral("WARNING: Self-delete skipped: not a temporary updater "
                                         "directory: ") +
                              QFileInfo(lookalike).absolutePath()}));
    QCOMPARE(QDir(temp.path()).entryList(QDir::Files),
             QStringList{QStringLiteral("Vexta-Updater.log")});
}

#ifdef Q_OS_WIN
// The cmd.exe script's retry bound, and its line ends, which cmd.exe's label scanning needs. (It
// runs for real in the end-to-end rows, whose paths it takes from its environment.)
void RelocationTest::windowsScriptAttempts() {
    const QByteArray script = relocation::platform::selfDeleteScript(QString(), QString());
    QVERIFY(script.contains("\r\nif %RETRIES% GEQ 15 goto CLEANUP_FAILED\r\n"));
    QCOMPARE(script.count('\n'), script.count("\r\n"));
}
#else
void RelocationTest::posixScriptAttempts_data() {
    QTest::addColumn<int>("failures"); // directory removals that fail before one works
    QTest::addColumn<int>("attempts");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("hostile path, removed at once") << 0 << 1 << 0;
    QTest::newRow("last attempt succeeds") << 14 << 15 << 0;
    QTest::newRow("gives up after 15 attempts") << 100 << 15 << 1;
}

// The /bin/sh script, run for real with short waits and rm(1) replaced by a recorder.
void RelocationTest::posixScriptAttempts() {
    QFETCH(int, failures);
    QFETCH(int, attempts);
    QFETCH(int, exitCode);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString directory = temp.filePath(QStringLiteral("it's \"$HOME\" `id` $(x) Jos\u00e9"));
    temp.writeFile(directory + QStringLiteral("/sub/Updater"), "program");
    const QString script = temp.filePath(QStringLiteral("Quindlebrookware-Updater-Cleanup-y.sh"));
    temp.writeFile(script,
                   relocation::posixSelfDeleteScript(directory, script, {50, 20}).toLocal8Bit());
    const QString bin = temp.outsidePath(QStringLiteral("bin"));
    QVERIFY(QFile::setPermissions(temp.writeFile(bin + QStringLiteral("/rm"), kFakeRemove),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QString calls = temp.outsidePath(QStringLiteral("rm-calls"));
    QProcess shell;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"),
                       bin + QLatin1Char(':') + environment.value(QStringLiteral("PATH")));
    environment.insert(QStringLiteral("FAKE_RM_CALLS"), calls);
    environment.insert(QStringLiteral("FAKE_RM_FAILURES"), QString::number(failures));
    shell.setProcessEnvironment(environment);
    shell.setWorkingDirectory(directory); // as the updater's own children are
    shell.start(QStringLiteral("/bin/sh"), {script});
    QVERIFY(shell.waitForFinished(20000));

    QCOMPARE(shell.exitCode(), exitCode);
    QStringList expected(attempts, QStringLiteral("-rf -- ") + directory);
    if (exitCode == 0)
        expected << QStringLiteral("-f -- ") + script;
    QCOMPARE(QString::fromUtf8(readFileBytes(calls)).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
             expected);
    // Success: the directory and the script are gone. Giving up: both stay.
    QCOMPARE(QFileInfo::exists(directory), exitCode != 0);
    QCOMPARE(QFileInfo::exists(script), exitCode != 0);
}
#endif

QTEST_GUILESS_MAIN(RelocationTest)
#include "tst_relocation.moc"
