// The temporary copy's command-line grammar, called in-process: every token rule, every value
// rule, and the checks after the last argument in their order.

#include "test_environment.h"
#include "updater.h"

#include <QDir>
#include <QTest>

namespace {

// Placeholders in the data rows, filled per row once the private TEMP exists.
struct Layout {
    QString temp;
    QString staging;
    QString installer;
    QString restart;
};

// A private TEMP with a valid staging directory holding installer.exe, plus every decoy that a
// data row refers to.
Layout makeLayout(const ScopedTemp& temp) {
    Layout layout;
    layout.temp = temp.path();
    layout.staging = temp.createStagingDirectory();
    layout.installer = temp.writeFile(layout.staging + QStringLiteral("/installer.exe"), "MZ");
    layout.restart = temp.filePath(QStringLiteral("app/Application.exe"));
    for (const QString& decoy :
         {QStringLiteral("/installer.exe.zip"), QStringLiteral("/installer"),
          QStringLiteral("/sub/installer.exe"), QStringLiteral("/setup.EXE")})
        temp.writeFile(layout.staging + decoy, "MZ");
    QDir().mkpath(layout.staging + QStringLiteral("/folder.exe"));
    temp.writeFile(QStringLiteral("installer.exe"), "MZ");
    temp.writeFile(QStringLiteral("Quindlebrookware-Updates/installer.exe"), "MZ");
    temp.writeFile(QStringLiteral("QUINDLEBROOKWARE-update-x/installer.exe"), "MZ");
    temp.writeFile(
        temp.outsidePath(QStringLiteral("Quindlebrookware-Update-outside/installer.exe")), "MZ");
    return layout;
}

QString expand(QString text, const Layout& layout) {
    text.replace(QStringLiteral("{installer}"), layout.installer);
    text.replace(QStringLiteral("{staging}"), layout.staging);
    text.replace(QStringLiteral("{temp}"), layout.temp);
    text.replace(QStringLiteral("{restart}"), layout.restart);
    text.replace(QStringLiteral("{sha}"), sampleSha256());
    return text;
}

QStringList expand(QStringList list, const Layout& layout) {
    for (QString& item : list)
        item = expand(item, layout);
    return list;
}

QStringList valid(const QStringList& before = {}, const QStringList& after = {}) {
    return before + QStringList{QStringLiteral("--pid"),       QStringLiteral("1234"),
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

const QString kSecurity =
    QStringLiteral("SECURITY ERROR: installer is not inside an approved TEMP staging directory.");
const QString kSameFile =
    QStringLiteral("Installer and restart application cannot be the same file.");
const QString kMissing = QStringLiteral("One or more required arguments are missing.");

} // namespace

class CommandLineTest : public QObject {
    Q_OBJECT

private slots:
    void refusals_data();
    void refusals();
    void acceptances_data();
    void acceptances();
    void outputsAreResetOnEntry();
};

void CommandLineTest::refusals_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    const QString sha = sampleSha256();

    QTest::newRow("no arguments") << QStringList() << kMissing;
    QTest::newRow("only the copy flag")
        << QStringList{QStringLiteral("--temporary-copy")} << kMissing;
    QTest::newRow("one option missing") << valid().mid(0, 6) << kMissing;
    QTest::newRow("equals form is one unknown token")
        << valid({QStringLiteral("--pid=1234")}).mid(0, 1)
        << QStringLiteral("Unknown command-line argument rejected: --pid=1234");
    QTest::newRow("option in other case")
        << QStringList{QStringLiteral("--PID"), QStringLiteral("1")}
        << QStringLiteral("Unknown command-line argument rejected: --PID");
    QTest::newRow("positional argument")
        << valid({}, {QStringLiteral("extra")})
        << QStringLiteral("Unknown command-line argument rejected: extra");
    QTest::newRow("unknown token is reported trimmed")
        << valid({QStringLiteral("  --verbose \t")})
        << QStringLiteral("Unknown command-line argument rejected: --verbose");
    QTest::newRow("empty argument in option position")
        << valid({QString()}) << QStringLiteral("Empty command-line argument rejected.");
    QTest::newRow("blank argument in option position")
        << valid({}, {QStringLiteral("   ")})
        << QStringLiteral("Empty command-line argument rejected.");

    QTest::newRow("empty pid value")
        << with(QStringLiteral("--pid"), QString()) << QStringLiteral("Invalid process ID: ");
    QTest::newRow("empty installer value")
        << with(QStringLiteral("--installer"), QStringLiteral(" "))
        << QStringLiteral("Installer path is empty.");
    QTest::newRow("empty sha256 value") << with(QStringLiteral("--sha256"), QString())
                                        << QStringLiteral("Invalid SHA-256 argument.");
    QTest::newRow("empty restart value")
        << with(QStringLiteral("--restart"), QString()) << QStringLiteral("Restart path is empty.");

    for (const QString& option : {QStringLiteral("--pid"), QStringLiteral("--installer"),
                                  QStringLiteral("--sha256"), QStringLiteral("--restart")}) {
        const QString message = QStringLiteral("Invalid %1 argument.").arg(option);
        QTest::addRow("%s as last argument", qPrintable(option)) << valid({}, {option}) << message;
        QStringList twice = valid();
        twice << option << twice.at(twice.indexOf(option) + 1);
        QTest::addRow("%s given twice with equal values", qPrintable(option)) << twice << message;
        QTest::addRow("%s second occurrence refused before its value", qPrintable(option))
            << valid({}, {option}) + QStringList{QStringLiteral("whatever")} << message;
    }

    for (const QString& pid :
         {QStringLiteral("0"), QStringLiteral("-5"), QStringLiteral("4294967296"),
          QStringLiteral("12ab"), QStringLiteral("0x10"), QStringLiteral("1.5"),
          QStringLiteral("99999999999999999999")}) {
        QTest::addRow("pid %s", qPrintable(pid))
            << with(QStringLiteral("--pid"), pid)
            << QStringLiteral("Invalid process ID: %1").arg(pid);
    }
    QTest::newRow("pid is reported trimmed") << with(QStringLiteral("--pid"), QStringLiteral(" 0 "))
                                             << QStringLiteral("Invalid process ID: 0");

    QTest::newRow("sha256 of 63 digits") << with(QStringLiteral("--sha256"), sha.left(63))
                                         << QStringLiteral("Invalid SHA-256 argument.");
    QTest::newRow("sha256 of 65 digits") << with(QStringLiteral("--sha256"), sha + QLatin1Char('0'))
                                         << QStringLiteral("Invalid SHA-256 argument.");
    QTest::newRow("sha256 with a non-hex digit")
        << with(QStringLiteral("--sha256"), sha.left(63) + QLatin1Char('g'))
        << QStringLiteral("Invalid SHA-256 argument.");
    QTest::newRow("sha256 with an inner blank")
        << with(QStringLiteral("--sha256"), sha.left(31) + QLatin1Char(' ') + sha.mid(32))
        << QStringLiteral("Invalid SHA-256 argument.");

    QTest::newRow("installer value swallows the next option")
        << QStringList{QStringLiteral("--pid"), QStringLiteral("1"), QStringLiteral("--installer"),
                       QStringLiteral("--restart"), QStringLiteral("{restart}")}
        << QStringLiteral("Unknown command-line argument rejected: {restart}");

    QTest::newRow("missing is checked before relative paths")
        << QStringList{QStringLiteral("--installer"), QStringLiteral("installer.exe")} << kMissing;
    QTest::newRow("relative installer")
        << with(QStringLiteral("--installer"), QStringLiteral("installer.exe"))
        << QStringLiteral("Installer path must be absolute.");
    QTest::newRow("relative restart")
        << with(QStringLiteral("--restart"), QStringLiteral("app/Application.exe"))
        << QStringLiteral("Restart path must be absolute.");
    QTest::newRow("relative installer is checked before relative restart")
        << with(QStringLiteral("--installer"), QStringLiteral("x.exe"))
               .replaceInStrings(QStringLiteral("{restart}"), QStringLiteral("y"))
        << QStringLiteral("Installer path must be absolute.");
    QTest::newRow("suffix .exe.zip")
        << with(QStringLiteral("--installer"), QStringLiteral("{staging}/installer.exe.zip"))
        << QStringLiteral("Installer must be an .exe file.");
    QTest::newRow("no suffix") << with(QStringLiteral("--installer"),
                                       QStringLiteral("{staging}/installer"))
                               << QStringLiteral("Installer must be an .exe file.");
    QTest::newRow("suffix is checked before location")
        << with(QStringLiteral("--installer"), QStringLiteral("{temp}/elsewhere/setup.msi"))
        << QStringLiteral("Installer must be an .exe file.");

    QTest::newRow("installer does not exist")
        << with(QStringLiteral("--installer"), QStringLiteral("{staging}/missing.exe"))
        << kSecurity;
    QTest::newRow("installer is a directory")
        << with(QStringLiteral("--installer"), QStringLiteral("{staging}/folder.exe")) << kSecurity;
    QTest::newRow("installer directly in TEMP")
        << with(QStringLiteral("--installer"), QStringLiteral("{temp}/installer.exe")) << kSecurity;
    QTest::newRow("installer one level too deep")
        << with(QStringLiteral("--installer"), QStringLiteral("{staging}/sub/installer.exe"))
        << kSecurity;
    QTest::newRow("directory without the staging prefix")
        << with(QStringLiteral("--installer"),
                QStringLiteral("{temp}/Quindlebrookware-Updates/installer.exe"))
        << kSecurity;
    QTest::newRow("installer beside TEMP")
        << with(QStringLiteral("--installer"),
                QStringLiteral("{temp}/../Quindlebrookware-Update-outside/installer.exe"))
        << kSecurity;

    QTest::newRow("same file through a dot segment")
        << with(QStringLiteral("--restart"), QStringLiteral("{staging}/./installer.exe"))
        << kSameFile;
    QTest::newRow("same file through a dot-dot segment")
        << with(QStringLiteral("--restart"), QStringLiteral("{staging}/sub/../installer.exe"))
        << kSameFile;
    QTest::newRow("same file through a doubled separator")
        << with(QStringLiteral("--restart"), QStringLiteral("{staging}//installer.exe"))
        << kSameFile;
}

void CommandLineTest::refusals() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const Layout layout = makeLayout(temp);

    ArgumentVector argv(expand(arguments, layout));
    long long pid = -1;
    QString installer, sha256, restart;
    const bool accepted =
        Updater().parseArguments(argv.argc(), argv.argv(), pid, installer, sha256, restart);

    QVERIFY(!accepted);
    QCOMPARE(temp.logMessages(), QStringList{expand(message, layout)});
}

void CommandLineTest::acceptances_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<long long>("pid");
    QTest::addColumn<QString>("installer");
    QTest::addColumn<QString>("restart");

    const QString upper = sampleSha256().toUpper();
    QTest::newRow("plain") << valid() << 1234LL << QStringLiteral("{installer}")
                           << QStringLiteral("{restart}");
    QTest::newRow("options in another order")
        << QStringList{QStringLiteral("--restart"),   QStringLiteral("{restart}"),
                       QStringLiteral("--sha256"),    QStringLiteral("{sha}"),
                       QStringLiteral("--installer"), QStringLiteral("{installer}"),
                       QStringLiteral("--pid"),       QStringLiteral("7")}
        << 7LL << QStringLiteral("{installer}") << QStringLiteral("{restart}");
    QTest::newRow("tokens and values are trimmed")
        << QStringList{QStringLiteral(" --pid "),     QStringLiteral("\t42 "),
                       QStringLiteral("--installer"), QStringLiteral("  {installer} "),
                       QStringLiteral("--sha256"),    QStringLiteral(" {sha}"),
                       QStringLiteral("--restart "),  QStringLiteral("{restart}\t")}
        << 42LL << QStringLiteral("{installer}") << QStringLiteral("{restart}");
    QTest::newRow("smallest pid") << with(QStringLiteral("--pid"), QStringLiteral("1")) << 1LL
                                  << QStringLiteral("{installer}") << QStringLiteral("{restart}");
    QTest::newRow("largest pid") << with(QStringLiteral("--pid"), QStringLiteral("4294967295"))
                                 << 4294967295LL << QStringLiteral("{installer}")
                                 << QStringLiteral("{restart}");
    QTest::newRow("upper-case digest")
        << with(QStringLiteral("--sha256"), upper) << 1234LL << QStringLiteral("{installer}")
        << QStringLiteral("{restart}");
    QTest::newRow("copy flag before, between and twice")
        << QStringList{QStringLiteral("--temporary-copy")} + valid().mid(0, 4) +
               QStringList{QStringLiteral("--temporary-copy")} + valid().mid(4) +
               QStringList{QStringLiteral("--temporary-copy")}
        << 1234LL << QStringLiteral("{installer}") << QStringLiteral("{restart}");
    QTest::newRow("upper-case suffix")
        << with(QStringLiteral("--installer"), QStringLiteral("{staging}/setup.EXE")) << 1234LL
        << QStringLiteral("{staging}/setup.EXE") << QStringLiteral("{restart}");
    QTest::newRow("staging prefix in other case")
        << with(QStringLiteral("--installer"),
                QStringLiteral("{temp}/QUINDLEBROOKWARE-update-x/installer.exe"))
        << 1234LL << QStringLiteral("{temp}/QUINDLEBROOKWARE-update-x/installer.exe")
        << QStringLiteral("{restart}");
    QTest::newRow("installer path is not normalised")
        << with(QStringLiteral("--installer"),
                QStringLiteral("{staging}/../{stagingname}/installer.exe"))
        << 1234LL << QStringLiteral("{staging}/../{stagingname}/installer.exe")
        << QStringLiteral("{restart}");
    QTest::newRow("paths differing only in case are different files")
        << with(QStringLiteral("--restart"), QStringLiteral("{staging}/INSTALLER.exe")) << 1234LL
        << QStringLiteral("{installer}") << QStringLiteral("{staging}/INSTALLER.exe");
    QTest::newRow("padded copy flag is trimmed to the flag")
        << valid({}, {QStringLiteral(" --temporary-copy ")}) << 1234LL
        << QStringLiteral("{installer}") << QStringLiteral("{restart}");
    QTest::newRow("option token as a value")
        << with(QStringLiteral("--restart"), QStringLiteral("/--pid")) << 1234LL
        << QStringLiteral("{installer}") << QStringLiteral("/--pid");
}

void CommandLineTest::acceptances() {
    QFETCH(QStringList, arguments);
    QFETCH(long long, pid);
    QFETCH(QString, installer);
    QFETCH(QString, restart);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const Layout layout = makeLayout(temp);
    const QString stagingName = QDir(layout.staging).dirName();
    const auto fill = [&](QString text) {
        return expand(text.replace(QStringLiteral("{stagingname}"), stagingName), layout);
    };
    QStringList filled;
    for (const QString& argument : arguments)
        filled << fill(argument);

    ArgumentVector argv(filled);
    long long parsedPid = -1;
    QString parsedInstaller, parsedSha256, parsedRestart;
    const bool accepted = Updater().parseArguments(argv.argc(), argv.argv(), parsedPid,
                                                   parsedInstaller, parsedSha256, parsedRestart);

    QCOMPARE(temp.logMessages(), QStringList());
    QVERIFY(accepted);
    QCOMPARE(parsedPid, pid);
    QCOMPARE(parsedInstaller, fill(installer));
    QCOMPARE(parsedSha256, sampleSha256());
    QCOMPARE(parsedRestart, fill(restart));
}

void CommandLineTest::outputsAreResetOnEntry() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    ArgumentVector argv({QStringLiteral("--bogus")});
    long long pid = 99;
    QString installer = QStringLiteral("old"), sha256 = QStringLiteral("old"),
            restart = QStringLiteral("old");

    QVERIFY(!Updater().parseArguments(argv.argc(), argv.argv(), pid, installer, sha256, restart));

    QCOMPARE(pid, 0LL);
    QVERIFY(installer.isEmpty());
    QVERIFY(sha256.isEmpty());
    QVERIFY(restart.isEmpty());
}

QTEST_GUILESS_MAIN(CommandLineTest)
#include "tst_command_line.moc"
