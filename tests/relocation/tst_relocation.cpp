// Self-relocation below what an update run can provoke: the ways the temporary copy can fail to be
// prepared once its directory is made (nothing may be left behind; a TEMP in which nothing can be
// made is an end-to-end row), the self-delete script's attempts and its giving up, and the cases
// in which nothing is scheduled. Successful relocations and removals run in every row of the
// end-to-end table.

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

using namespace Qt::Literals::StringLiterals;

namespace {

const QStringList kLibraries{u"First.dll"_s, u"Second.dll"_s};

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
    void windowsScriptLineEnds();
#else
    void posixScriptAttempts_data();
    void posixScriptAttempts();
#endif
};

void RelocationTest::copyNotPrepared_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("lines"); // {install}: install directory, {dir}: temporary one
    const QString created =
        u"Temporary updater copy created: {dir}/"_s + relocation::platform::updaterExecutableName();
    QTest::newRow("second library missing")
        << "Second.dll missing"
        << QStringList{created, u"Temporary updater DLL copied: {dir}/First.dll"_s,
                       u"ERROR: Required updater DLL does not exist: {install}/Second.dll"_s};
    QTest::newRow("library cannot be copied")
        << "First.dll is a directory"
        << QStringList{created, u"ERROR: Could not copy updater DLL."_s,
                       u"Source: {install}/First.dll"_s, u"Destination: {dir}/First.dll"_s};
    QTest::newRow("copy cannot be started")
        << "executable is no program"
        << QStringList{created, u"Temporary updater DLL copied: {dir}/First.dll"_s,
                       u"Temporary updater DLL copied: {dir}/Second.dll"_s,
                       u"Launching temporary updater copy."_s,
                       u"ERROR: Failed to launch temporary updater copy."_s};
}

void RelocationTest::copyNotPrepared() {
    QFETCH(QString, fault);
    QFETCH(QStringList, lines);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString install = temp.outsidePath(u"install"_s);
    const QString executable = install + u"/Updater-under-test"_s;
    temp.writeFile(executable, "not a program\n");
    for (const QString& library : kLibraries)
        temp.writeFile(install + u'/' + library, "library");
    const QString broken = install + u'/' + fault.section(u' ', 0, 0);
    if (fault.endsWith(u" missing"_s))
        QVERIFY(QFile::remove(broken));
    if (fault.endsWith(u" is a directory"_s))
        QVERIFY(QFile::remove(broken) && QDir().mkdir(broken));
    QStringList messages;

    QVERIFY(!relocation::launchTemporaryCopy(executable, kLibraries, {u"--pid"_s, u"1"_s},
                                             [&](const QString& message) { messages << message; }));
    messages.replaceInStrings(QRegularExpression(u"Quindlebrookware-Updater-[0-9a-f-]{36}"_s),
                              u"{uuid}"_s);
    QCOMPARE(messages, lines.replaceInStrings(u"{install}"_s, install)
                           .replaceInStrings(u"{dir}"_s, temp.path() + u"/{uuid}"_s));
    // Whatever was created has been removed again.
    QCOMPARE(QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

// Nothing is scheduled for an executable that is gone, nor for one in a directory that only looks
// like a temporary updater directory from below (a copy started from an install directory is an
// end-to-end row).
void RelocationTest::nothingScheduled() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString gone = temp.filePath(u"Quindlebrookware-Updater-x/Updater"_s);
    const QString lookalike = temp.writeFile(
        u"Quindlebrookware-Updater-0f8fad5b-d9cb-469f-a165-70867728950e/sub/Updater"_s, "");
    Updater updater;

    QVERIFY(updater.scheduleSelfDelete(gone));
    QVERIFY(updater.scheduleSelfDelete(lookalike));

    QCOMPARE(temp.logMessages(),
             QStringList({u"Self-delete skipped: file does not exist: "_s + gone,
                          u"WARNING: Self-delete skipped: not a temporary updater "
                          "directory: "_s +
                              QFileInfo(lookalike).absolutePath()}));
    QCOMPARE(QDir(temp.path()).entryList(QDir::Files), QStringList{u"Vexta-Updater.log"_s});
}

#ifdef Q_OS_WIN
// The cmd.exe script's line ends, which cmd.exe's label scanning needs. (It runs for real in the
// end-to-end rows, whose paths it takes from its environment.)
void RelocationTest::windowsScriptLineEnds() {
    const QByteArray script = relocation::platform::selfDeleteScript();
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
    const QString directory = temp.filePath(u"it's \"$HOME\" `id` $(x) Jos\u00e9"_s);
    temp.writeFile(directory + u"/sub/Updater"_s, "program");
    const QString script = temp.filePath(u"Quindlebrookware-Updater-Cleanup-y.sh"_s);
    temp.writeFile(script, relocation::posixSelfDeleteScript({50, 20}).toLatin1());
    const QString bin = temp.outsidePath(u"bin"_s);
    QVERIFY(QFile::setPermissions(temp.writeFile(bin + u"/rm"_s, kFakeRemove),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QString calls = temp.outsidePath(u"rm-calls"_s);
    QProcess shell;
    QProcessEnvironment environment = relocation::selfDeleteEnvironment(directory, script);
    environment.insert(u"PATH"_s, bin + u':' + environment.value(u"PATH"_s));
    environment.insert(u"FAKE_RM_CALLS"_s, calls);
    environment.insert(u"FAKE_RM_FAILURES"_s, QString::number(failures));
    shell.setProcessEnvironment(environment);
    shell.setWorkingDirectory(directory); // as the updater's own children are
    shell.start(u"/bin/sh"_s, {script});
    QVERIFY(shell.waitForFinished(20000));

    QCOMPARE(shell.exitCode(), exitCode);
    QStringList expected(attempts, u"-rf -- "_s + directory);
    if (exitCode == 0)
        expected << u"-f -- "_s + script;
    QCOMPARE(QString::fromUtf8(readFileBytes(calls)).split(u'\n', Qt::SkipEmptyParts), expected);
    // Success: the directory and the script are gone. Giving up: both stay.
    QCOMPARE(QFileInfo::exists(directory), exitCode != 0);
    QCOMPARE(QFileInfo::exists(script), exitCode != 0);
}
#endif

QTEST_GUILESS_MAIN(RelocationTest)
#include "tst_relocation.moc"
