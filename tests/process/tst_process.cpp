// Process control below what an update run can provoke: the outcomes that need a declined prompt
// or a failing system call (scripted answers, through the same algorithm as the product), the
// real platform's answer for a process that does not exist and (Windows) for an installer that is
// no program, the error text, and on POSIX what a file's first bytes make of it and pkexec's codes.
// Complete runs, the host that outlasts the limit included, are the end-to-end table's.

#include "process/process_control.h"
#include "process/process_platform.h"
#include "test_environment.h"
#include "updater.h"
#include "verification/installer_file.h"

#include <QTest>

#ifndef Q_OS_WIN
#include "process/process_platform_posix.h"

#include <sys/wait.h>
#endif

using namespace process_control;

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr ErrorCode kSomeError = 5;

enum class Stage { HostWait, InstallerRun };

// What the scripted platform answers, and what the algorithm did with the process it was given.
struct Answers {
    OpenStatus open = OpenStatus::Opened;
    StartStatus start = StartStatus::Started;
    bool withProcess = true; // a process comes with Opened or Started
    WaitStatus wait = WaitStatus::Ended;
    bool exitKnown = true;
    unsigned long exitCode = 0;
};

struct Record {
    int waits = 0;
    bool bounded = false; // the last wait had a limit
    unsigned long limitMs = 0;
    bool released = false;
};

class ScriptedProcess final : public WaitableProcess {
public:
    ScriptedProcess(const Answers& answers, Record& record) : answers_(answers), record_(record) {}
    ~ScriptedProcess() override { record_.released = true; }
    WaitResult wait(unsigned long limitMs) override {
        record_.bounded = true;
        record_.limitMs = limitMs;
        return waitWithoutLimit();
    }
    WaitResult waitWithoutLimit() override {
        ++record_.waits;
        return {answers_.wait, kSomeError};
    }
    ExitStatus exitStatus() override { return {answers_.exitKnown, answers_.exitCode, kSomeError}; }

private:
    Answers answers_;
    Record& record_;
};

// Answers as the row says; the error texts are the real platform's.
struct ScriptedPlatform final : ProcessPlatform {
    Answers answers;
    mutable Record record;

    std::unique_ptr<WaitableProcess> process() const {
        return answers.withProcess ? std::make_unique<ScriptedProcess>(answers, record) : nullptr;
    }
    OpenResult openProcess(long long) const override {
        OpenResult result{answers.open, nullptr, kSomeError};
        if (answers.open == OpenStatus::Opened)
            result.process = process();
        return result;
    }
    StartResult startElevated(const InstallerFile&) const override {
        StartResult result{answers.start, nullptr, kSomeError, u"ShellExecuteExW"_s};
        if (answers.start == StartStatus::Started)
            result.process = process();
        return result;
    }
    QString errorMessage(ErrorCode code) const override {
        return systemProcessPlatform().errorMessage(code);
    }
};

struct ScriptedRow {
    Stage stage = Stage::InstallerRun;
    Answers answers;
    QStringList lines{}; // after the stage's first line; {error} is the platform's text for 5
};

const QString kLaunched = u"Installer process launched successfully."_s;
const QString kWaiting = u"Waiting for installer to finish..."_s;
const QString kWaitFailed =
    u"WaitForSingleObject failed. Result: 4294967295, Windows error: {error}"_s;

} // namespace

Q_DECLARE_METATYPE(ScriptedRow)

class ProcessTest : public QObject {
    Q_OBJECT

private slots:
    void scripted_data();
    void scripted();
    void vanishedHost();
    void errorText();
#ifdef Q_OS_WIN
    void notAProgram();
#else
    void programKinds();
    void pkexecStatuses();
#endif
};

void ProcessTest::scripted_data() {
    QTest::addColumn<ScriptedRow>("row");
    const auto add = [](const char* name, const ScriptedRow& row) { QTest::newRow(name) << row; };
    add("host: open refused", {.stage = Stage::HostWait,
                               .answers = {.open = OpenStatus::Failed, .withProcess = false},
                               .lines = {u"OpenProcess failed: {error}"_s}});
    add("host: wait failed", {.stage = Stage::HostWait,
                              .answers = {.wait = WaitStatus::Failed},
                              .lines = {kWaitFailed}});
    add("installer: prompt declined",
        {.answers = {.start = StartStatus::Cancelled, .withProcess = false},
         .lines = {u"User cancelled UAC elevation."_s}});
    add("installer: start refused",
        {.answers = {.start = StartStatus::Failed, .withProcess = false},
         .lines = {u"ShellExecuteExW failed: {error}"_s}});
    add("installer: no handle", {.answers = {.withProcess = false},
                                 .lines = {kLaunched, u"Installer process handle is null."_s}});
    add("installer: wait failed",
        {.answers = {.wait = WaitStatus::Failed}, .lines = {kLaunched, kWaiting, kWaitFailed}});
    add("installer: exit code unreadable",
        {.answers = {.exitKnown = false},
         .lines = {kLaunched, kWaiting, u"GetExitCodeProcess failed: {error}"_s}});
    add("installer: crash code, unsigned",
        {.answers = {.exitCode = 3221225477UL},
         .lines = {kLaunched, kWaiting, u"Installer exit code: 3221225477"_s,
                   u"Installer returned a non-zero exit code."_s}});
}

void ProcessTest::scripted() {
    QFETCH(ScriptedRow, row);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const InstallerFile::Opened file =
        InstallerFile::open(temp.writeFile(u"installer.exe"_s, "MZ"));
    QVERIFY(file.file);
    ScriptedPlatform platform;
    platform.answers = row.answers;
    Updater updater;
    const bool installer = row.stage == Stage::InstallerRun;

    // Every row fails. (The success codes of a build are end-to-end rows of the Windows table.)
    QVERIFY(installer ? runElevatedInstaller(updater, platform, *file.file, {0}).outcome ==
                            InstallerOutcome::Failed
                      : !waitForProcessExit(updater, platform, 42, kApplicationWaitLimitMs));
    QCOMPARE(temp.logMessages(),
             QStringList{installer
                             ? u"Starting installer with UAC elevation: "_s + file.file->path()
                             : u"Waiting for application process 42 to exit..."_s} +
                 row.lines.replaceInStrings(u"{error}"_s,
                                            systemProcessPlatform().errorMessage(kSomeError)));
    // One wait (the host's for the product's limit, the installer's without one), and the process
    // released on every way out.
    const bool hadProcess =
        row.answers.withProcess && (installer ? row.answers.start == StartStatus::Started
                                              : row.answers.open == OpenStatus::Opened);
    QCOMPARE(platform.record.waits, hadProcess ? 1 : 0);
    QCOMPARE(platform.record.bounded, hadProcess && !installer);
    QVERIFY(installer || !hadProcess || platform.record.limitMs == kApplicationWaitLimitMs);
    QCOMPARE(platform.record.released, hadProcess);
}

#ifdef Q_OS_WIN
// The system's own start of an installer that is no program: ShellExecuteExW refuses it with
// ERROR_BAD_EXE_FORMAT. (On POSIX the end-to-end table starts both kinds: scripts, which a shell
// runs, and a signed Windows program, which execve refuses.)
void ProcessTest::notAProgram() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString path =
        temp.writeFile(u"installer.exe"_s, QByteArray("MZ\x90\x00\x03\x00\x00\x00\x04\x00", 10));
    const InstallerFile::Opened installer = InstallerFile::open(path);
    QVERIFY(installer.file);
    bool computerRestarting = false;

    QVERIFY(!Updater().runInstaller(*installer.file, computerRestarting));

    QCOMPARE(temp.logMessages(), (QStringList{u"Starting installer with UAC elevation: "_s + path,
                                              u"ShellExecuteExW failed: "_s +
                                                  systemProcessPlatform().errorMessage(193)}));
}
#endif

// An identifier that no process can have (above Linux's largest pid_max; on Windows a multiple of
// 4, as its identifiers are, that none has) gives the "no longer exists" line.
void ProcessTest::vanishedHost() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const long long nobody = QSysInfo::productType() == u"windows"_s ? 4294967292LL : 4194305LL;
    Updater updater;

    QVERIFY(waitForProcessExit(updater, systemProcessPlatform(), nobody, 1000));
    QCOMPARE(temp.logMessages(),
             (QStringList{u"Waiting for application process %1 to exit..."_s.arg(nobody),
                          u"Target process no longer exists. Continuing."_s}));
}

void ProcessTest::errorText() {
    struct Text {
        ErrorCode code;
        QString system;
        QString expected;
    };
    for (const Text& row :
         {Text{0, u"unused"_s, u"ERROR_SUCCESS"_s},
          Text{5, u" Access %1  denied.\r\n"_s, u"Access %1  denied. (5)"_s},
          Text{4294967295UL, u" \r\n"_s, u"Unknown Windows error (4294967295)"_s}}) {
        static QString system;
        system = row.system;
        QCOMPARE(errorMessageText(row.code, [](ErrorCode) { return system; }), row.expected);
        // The platform's own lookup gives the same form.
        const QString own = systemProcessPlatform().errorMessage(row.code);
        QVERIFY2(row.code == 0 ? own == row.expected : own.endsWith(u" (%1)"_s.arg(row.code)),
                 qPrintable(own));
    }
}

#ifndef Q_OS_WIN
// What a file's first bytes make of it: started by the kernel, run by a shell, or nothing a POSIX
// system can start.
void ProcessTest::programKinds() {
    using posix::ProgramKind;
    struct Kind {
        QByteArray head;
        ProgramKind kind;
    };
    for (const Kind& row :
         {Kind{"\x7f"
               "ELF\x02\x01\x01\x00",
               ProgramKind::Elf},
          Kind{"#!/bin/sh\n", ProgramKind::HashBang},
          Kind{"MZ\ndd if=\"$0\" bs=64 skip=1|sh\n\0\0", ProgramKind::ShellScript},
          Kind{"echo without a line end", ProgramKind::ShellScript},
          Kind{QByteArray("MZ\x90\x00\x03\n", 6), ProgramKind::NotAProgram},
          Kind{QByteArray("text\0", 5), ProgramKind::NotAProgram}})
        QCOMPARE(posix::classifyProgram(row.head), row.kind);
}

// Through pkexec, authentication and the program are one process: its exit status tells a
// dismissed prompt (126) and a refused authorisation (127) from the program's own.
void ProcessTest::pkexecStatuses() {
    struct Status {
        int waitStatus;
        StartStatus status;
        ErrorCode error;
        unsigned long exitCode;
    };
    for (const Status& row : {Status{W_EXITCODE(126, 0), StartStatus::Cancelled, ECANCELED, 1},
                              Status{W_EXITCODE(127, 0), StartStatus::Failed, EACCES, 1},
                              Status{W_EXITCODE(125, 0), StartStatus::Started, 0, 125},
                              Status{W_EXITCODE(0, SIGKILL), StartStatus::Started, 0, 137}}) {
        const posix::AuthenticatedRun run = posix::authenticatedRunOutcome(row.waitStatus);
        QCOMPARE(run.status, row.status);
        QCOMPARE(run.error, row.error);
        QCOMPARE(run.exitCode, row.exitCode);
    }
}
#endif

QTEST_GUILESS_MAIN(ProcessTest)
#include "tst_process.moc"
