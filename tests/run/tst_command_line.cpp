// The temporary copy's command-line grammar, called in-process (the inputs are too many to run
// through the program one by one): one row per class of token, value and check, with the exact
// line each refusal logs. (The role decision is a row of the end-to-end table.)

#include "test_environment.h"
#include "updater.h"

#include <QDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString kSecurity =
    u"SECURITY ERROR: installer is not inside an approved TEMP staging directory."_s;
const QString kMissing = u"One or more required arguments are missing."_s;

// A valid command line; {installer}, {staging}, {temp}, {restart} and {sha} are filled per row.
QStringList valid(const QStringList& before = {}, const QStringList& after = {}) {
    return QStringList{u"Updater"_s} + before +
           QStringList{u"--pid"_s,    u"1234"_s,  u"--installer"_s, u"{installer}"_s,
                       u"--sha256"_s, u"{sha}"_s, u"--restart"_s,   u"{restart}"_s} +
           after;
}

// The valid command line with one option's value replaced.
QStringList with(const QString& option, const QString& value) {
    QStringList arguments = valid();
    arguments[arguments.indexOf(option) + 1] = value;
    return arguments;
}

} // namespace

class CommandLineTest : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
};

void CommandLineTest::parse_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("refusal"); // empty: accepted
    QTest::addColumn<long long>("pid");   // when accepted

    const QString sha = sampleSha256();
    const auto refused = [](const char* name, const QStringList& arguments, const QString& line) {
        QTest::newRow(name) << arguments << line << 0LL;
    };
    refused("no arguments", {u"Updater"_s}, kMissing);
    refused("one option missing", valid().mid(0, 7), kMissing);
    refused("equals form", valid({u"--pid=1"_s}),
            u"Unknown command-line argument rejected: --pid=1"_s);
    refused("other letter case, reported trimmed", valid({u" --PID "_s}),
            u"Unknown command-line argument rejected: --PID"_s);
    refused("empty argument", valid({}, {u"  "_s}), u"Empty command-line argument rejected."_s);
    refused("option as last argument", valid({}, {u"--sha256"_s}), u"Invalid --sha256 argument."_s);
    refused("option twice, second refused before its value",
            valid({}, {u"--restart"_s, u"{restart}"_s}), u"Invalid --restart argument."_s);
    refused("installer value swallows the next option",
            {u"Updater"_s, u"--installer"_s, u"--pid"_s, u"7"_s},
            u"Unknown command-line argument rejected: 7"_s);
    refused("pid 0", with(u"--pid"_s, u" 0 "_s), u"Invalid process ID: 0"_s);
    refused("pid above 32 bits", with(u"--pid"_s, u"4294967296"_s),
            u"Invalid process ID: 4294967296"_s);
    refused("pid not a number", with(u"--pid"_s, u"12ab"_s), u"Invalid process ID: 12ab"_s);
    refused("empty installer", with(u"--installer"_s, u" "_s), u"Installer path is empty."_s);
    refused("empty restart", with(u"--restart"_s, QString()), u"Restart path is empty."_s);
    refused("digest of 63 digits", with(u"--sha256"_s, sha.left(63)),
            u"Invalid SHA-256 argument."_s);
    refused("digest with a non-hex digit", with(u"--sha256"_s, sha.left(63) + u'g'),
            u"Invalid SHA-256 argument."_s);
    refused("relative installer", with(u"--installer"_s, u"a.exe"_s),
            u"Installer path must be absolute."_s);
    refused("suffix .exe.zip", with(u"--installer"_s, u"{staging}/installer.exe.zip"_s),
            u"Installer must be an .exe file."_s);
    refused("installer missing", with(u"--installer"_s, u"{staging}/missing.exe"_s), kSecurity);
    refused("installer directly in TEMP", with(u"--installer"_s, u"{temp}/installer.exe"_s),
            kSecurity);
    refused("installer one level too deep",
            with(u"--installer"_s, u"{staging}/sub/installer.exe"_s), kSecurity);
    refused("directory without the staging prefix",
            with(u"--installer"_s, u"{temp}/Quindlebrookware-Updates/installer.exe"_s), kSecurity);
    refused("same file through dot segments",
            with(u"--restart"_s, u"{staging}/sub/..//installer.exe"_s),
            u"Installer and restart application cannot be the same file."_s);

    QTest::newRow("smallest pid, copy flags anywhere")
        << QStringList{u"Updater"_s, u"--temporary-copy"_s} + with(u"--pid"_s, u"1"_s).mid(1) +
               QStringList{u" --temporary-copy "_s}
        << QString() << 1LL;
    QTest::newRow("largest pid, upper-case digest, padded tokens")
        << with(u"--pid"_s, u" 4294967295\t"_s)
               .replaceInStrings(u"{sha}"_s, sha.toUpper())
               .replaceInStrings(u"--restart"_s, u" --restart "_s)
        << QString() << 4294967295LL;
    QTest::newRow("upper-case suffix, prefix in other case, case-different restart")
        << with(u"--installer"_s, u"{temp}/QUINDLEBROOKWARE-update-x/setup.EXE"_s)
               .replaceInStrings(u"{restart}"_s, u"{temp}/QUINDLEBROOKWARE-update-x/SETUP.EXE"_s)
        << QString() << 1234LL;
}

void CommandLineTest::parse() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, refusal);
    QFETCH(long long, pid);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString staging = temp.createStagingDirectory();
    const QString installer = temp.writeFile(staging + u"/installer.exe"_s, "MZ");
    for (const QString& decoy : {staging + u"/installer.exe.zip"_s, staging + u"/sub/x"_s,
                                 temp.filePath(u"installer.exe"_s),
                                 temp.filePath(u"Quindlebrookware-Updates/installer.exe"_s),
                                 temp.filePath(u"QUINDLEBROOKWARE-update-x/setup.EXE"_s)})
        temp.writeFile(decoy, "MZ");
    temp.writeFile(staging + u"/sub/installer.exe"_s, "MZ");
    const QString restart = temp.outsidePath(u"app/Application"_s);
    for (QString& argument : arguments) {
        argument.replace(u"{installer}"_s, installer)
            .replace(u"{staging}"_s, staging)
            .replace(u"{temp}"_s, temp.path())
            .replace(u"{restart}"_s, restart)
            .replace(u"{sha}"_s, sampleSha256());
    }

    long long parsedPid = -1;
    QString parsedInstaller = u"stale"_s, sha256, parsedRestart;
    const bool accepted =
        Updater().parseArguments(arguments, parsedPid, parsedInstaller, sha256, parsedRestart);

    if (!refusal.isEmpty()) {
        QVERIFY(!accepted);
        QCOMPARE(temp.logMessages(), QStringList{refusal});
        return;
    }
    QCOMPARE(temp.logMessages(), QStringList());
    QVERIFY(accepted);
    QCOMPARE(parsedPid, pid);
    QCOMPARE(sha256, sampleSha256());
    const qsizetype installerAt = arguments.indexOf(u"--installer"_s);
    QCOMPARE(parsedInstaller, arguments.at(installerAt + 1).trimmed());
    QCOMPARE(parsedRestart, arguments.at(installerAt + 5).trimmed());
}

QTEST_GUILESS_MAIN(CommandLineTest)
#include "tst_command_line.moc"
