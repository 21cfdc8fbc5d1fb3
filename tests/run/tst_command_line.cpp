// The temporary copy's command-line grammar, called in-process (the inputs are too many to run
// through the program one by one): one row per class of token, value and check, with the exact
// line each refusal logs. (The role decision is a row of the end-to-end table.)

#include "test_environment.h"
#include "updater.h"

#include <QDir>
#include <QTest>

namespace {

const QString kSecurity =
    QStringLiteral("SECURITY ERROR: installer is not inside an approved TEMP staging directory.");
const QString kMissing = QStringLiteral("One or more required arguments are missing.");

// A valid command line; {installer}, {staging}, {temp}, {restart} and {sha} are filled per row.
QStringList valid(const QStringList& before = {}, const QStringList& after = {}) {
    return QStringList{QStringLiteral("Updater")} + before +
           QStringList{QStringLiteral("--pid"),       QStringLiteral("1234"),
                       QStringLiteral("--installer"), QStringLiteral("{installer}"),
                       QStringLiteral("--sha256"),    QStringLiteral("{sha}"),
                       QStringLiteral("--restart"),   QStringLiteral("{restart}")} +
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
    refused("no arguments", {QStringLiteral("Updater")}, kMissing);
    refused("one option missing", valid().mid(0, 7), kMissing);
    refused("equals form", valid({QStringLiteral("--pid=1")}),
            QStringLiteral("Unknown command-line argument rejected: --pid=1"));
    refused("other letter case, reported trimmed", valid({QStringLiteral(" --PID ")}),
            QStringLiteral("Unknown command-line argument rejected: --PID"));
    refused("empty argument", valid({}, {QStringLiteral("  ")}),
            QStringLiteral("Empty command-line argument rejected."));
    refused("option as last argument", valid({}, {QStringLiteral("--sha256")}),
            QStringLiteral("Invalid --sha256 argument."));
    refused("option twice, second refused before its value",
            valid({}, {QStringLiteral("--restart"), QStringLiteral("{restart}")}),
            QStringLiteral("Invalid --restart argument."));
    refused("installer value swallows the next option",
            {QStringLiteral("Updater"), QStringLiteral("--installer"), QStringLiteral("--pid"),
             QStringLiteral("7")},
            QStringLiteral("Unknown command-line argument rejected: 7"));
    refused("pid 0", with(QStringLiteral("--pid"), QStringLiteral(" 0 ")),
            QStringLiteral("Invalid process ID: 0"));
    refused("pid above 32 bits", with(QStringLiteral("--pid"), QStringLiteral("4294967296")),
            QStringLiteral("Invalid process ID: 4294967296"));
    refused("pid not a number", with(QStringLiteral("--pid"), QStringLiteral("12ab")),
            QStringLiteral("Invalid process ID: 12ab"));
    refused("empty installer", with(QStringLiteral("--installer"), QStringLiteral(" ")),
            QStringLiteral("Installer path is empty."));
    refused("empty restart", with(QStringLiteral("--restart"), QString()),
            QStringLiteral("Restart path is empty."));
    refused("digest of 63 digits", with(QStringLiteral("--sha256"), sha.left(63)),
            QStringLiteral("Invalid SHA-256 argument."));
    refused("digest with a non-hex digit",
            with(QStringLiteral("--sha256"), sha.left(63) + QLatin1Char('g')),
            QStringLiteral("Invalid SHA-256 argument."));
    refused("relative installer", with(QStringLiteral("--installer"), QStringLiteral("a.exe")),
            QStringLiteral("Installer path must be absolute."));
    refused("relative restart", with(QStringLiteral("--restart"), QStringLiteral("app/App")),
            QStringLiteral("Restart path must be absolute."));
    refused("suffix .exe.zip",
            with(QStringLiteral("--installer"), QStringLiteral("{staging}/installer.exe.zip")),
            QStringLiteral("Installer must be an .exe file."));
    refused("installer missing",
            with(QStringLiteral("--installer"), QStringLiteral("{staging}/missing.exe")),
            kSecurity);
    refused("installer directly in TEMP",
            with(QStringLiteral("--installer"), QStringLiteral("{temp}/installer.exe")), kSecurity);
    refused("installer one level too deep",
            with(QStringLiteral("--installer"), QStringLiteral("{staging}/sub/installer.exe")),
            kSecurity);
    refused("directory without the staging prefix",
            with(QStringLiteral("--installer"),
                 QStringLiteral("{temp}/Quindlebrookware-Updates/installer.exe")),
            kSecurity);
    refused("same file through dot segments",
            with(QStringLiteral("--restart"), QStringLiteral("{staging}/sub/..//installer.exe")),
            QStringLiteral("Installer and restart application cannot be the same file."));

    QTest::newRow("smallest pid, copy flags anywhere")
        << QStringList{QStringLiteral("Updater"), QStringLiteral("--temporary-copy")} +
               with(QStringLiteral("--pid"), QStringLiteral("1")).mid(1) +
               QStringList{QStringLiteral(" --temporary-copy ")}
        << QString() << 1LL;
    QTest::newRow("largest pid, upper-case digest, padded tokens")
        << with(QStringLiteral("--pid"), QStringLiteral(" 4294967295\t"))
               .replaceInStrings(QStringLiteral("{sha}"), sha.toUpper())
               .replaceInStrings(QStringLiteral("--restart"), QStringLiteral(" --restart "))
        << QString() << 4294967295LL;
    QTest::newRow("upper-case suffix, prefix in other case, case-different restart")
        << with(QStringLiteral("--installer"),
                QStringLiteral("{temp}/QUINDLEBROOKWARE-update-x/setup.EXE"))
               .replaceInStrings(QStringLiteral("{restart}"),
                                 QStringLiteral("{temp}/QUINDLEBROOKWARE-update-x/SETUP.EXE"))
        << QString() << 1234LL;
}

void CommandLineTest::parse() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, refusal);
    QFETCH(long long, pid);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString staging = temp.createStagingDirectory();
    const QString installer = temp.writeFile(staging + QStringLiteral("/installer.exe"), "MZ");
    for (const QString& decoy :
         {staging + QStringLiteral("/installer.exe.zip"), staging + QStringLiteral("/sub/x"),
          temp.filePath(QStringLiteral("installer.exe")),
          temp.filePath(QStringLiteral("Quindlebrookware-Updates/installer.exe")),
          temp.filePath(QStringLiteral("QUINDLEBROOKWARE-update-x/setup.EXE"))})
        temp.writeFile(decoy, "MZ");
    temp.writeFile(staging + QStringLiteral("/sub/installer.exe"), "MZ");
    const QString restart = temp.outsidePath(QStringLiteral("app/Application"));
    for (QString& argument : arguments) {
        argument.replace(QStringLiteral("{installer}"), installer)
            .replace(QStringLiteral("{staging}"), staging)
            .replace(QStringLiteral("{temp}"), temp.path())
            .replace(QStringLiteral("{restart}"), restart)
            .replace(QStringLiteral("{sha}"), sampleSha256());
    }

    long long parsedPid = -1;
    QString parsedInstaller = QStringLiteral("stale"), sha256, parsedRestart;
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
    const qsizetype installerAt = arguments.indexOf(QStringLiteral("--installer"));
    QCOMPARE(parsedInstaller, arguments.at(installerAt + 1).trimmed());
    QCOMPARE(parsedRestart, arguments.at(installerAt + 5).trimmed());
}

QTEST_GUILESS_MAIN(CommandLineTest)
#include "tst_command_line.moc"
