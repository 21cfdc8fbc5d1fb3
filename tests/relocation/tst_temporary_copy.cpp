// The original updater's relocation: what lands in the temporary updater directory, what the
// started copy receives, and what every failure logs and leaves behind.

#include "relocation/relocation_platform.h"
#include "relocation/temporary_copy.h"
#include "test_environment.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

namespace {

const QString kLibraries[] = {QStringLiteral("Qt6Core.dll"), QStringLiteral("libc++.dll"),
                              QStringLiteral("libunwind.dll")};

const QRegularExpression kDirectoryName(
    QStringLiteral("Quindlebrookware-Updater-[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-"
                   "[0-9a-f]{12}"));

QStringList libraryList() {
    return {std::begin(kLibraries), std::end(kLibraries)};
}

// The temporary updater directories in a TEMP directory.
QStringList temporaryDirectories(const QString& tempPath) {
    return QDir(tempPath).entryList({QStringLiteral("Quindlebrookware-Updater-*")},
                                    QDir::Dirs | QDir::NoDotAndDotDot);
}

// Messages with the random part of each temporary updater directory replaced by "<uuid>".
QStringList withoutUuids(QStringList messages) {
    for (QString& message : messages)
        message.replace(kDirectoryName, QStringLiteral("Quindlebrookware-Updater-<uuid>"));
    return messages;
}

// An install directory beside TEMP: the recorder under a name other than the updater's, and the
// three libraries, each with content of its own.
QString prepareInstallation(const ScopedTemp& temp) {
    const QString install = temp.outsidePath(QStringLiteral("install dir"));
    QDir().mkpath(install);
    QFile::copy(QStringLiteral(ARGUMENT_RECORDER), install + QStringLiteral("/updater-under-test"));
    for (const QString& library : kLibraries)
        temp.writeFile(install + QLatin1Char('/') + library, library.toUtf8() + " contents");
    return install;
}

// The arguments that the recorder in a directory received, once it has written them.
QStringList recordedArguments(const QString& directory) {
    QFile file(directory + QStringLiteral("/recorded-arguments"));
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("<nothing recorded>")};
    QStringList arguments;
    for (const QByteArray& argument : file.readAll().split('\0'))
        arguments << QString::fromLocal8Bit(argument);
    arguments.removeLast(); // after the last terminator
    return arguments;
}

struct Launch {
    bool result = false;
    QStringList messages;
};

Launch launch(const QString& executable, const QStringList& libraries,
              const QStringList& arguments) {
    Launch outcome;
    outcome.result = relocation::launchTemporaryCopy(
        executable, libraries, arguments,
        [&outcome](const QString& message) { outcome.messages << message; });
    return outcome;
}

} // namespace

class TemporaryCopyTest : public QObject {
    Q_OBJECT

private slots:
    void argumentsOfTheCopy_data();
    void argumentsOfTheCopy();
    void copyReceivesItsArgumentsInItsDirectory_data();
    void copyReceivesItsArgumentsInItsDirectory();
    void failureIsLoggedAndLeavesNothing_data();
    void failureIsLoggedAndLeavesNothing();
    void twoRunsNeverShareADirectory();
    void missingTempIsCreatedWithTheDirectory();
    void realUpdaterRunsFromItsCopy();
};

void TemporaryCopyTest::argumentsOfTheCopy_data() {
    QTest::addColumn<QList<QByteArray>>("argv"); // argv[1] onwards; a null array is a null entry
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("no arguments") << QList<QByteArray>() << QStringList{"--temporary-copy"};
    QTest::newRow("null entry becomes empty")
        << QList<QByteArray>{"a", QByteArray(), " --pid "}
        << QStringList{"a", "", " --pid ", "--temporary-copy"};
}

void TemporaryCopyTest::argumentsOfTheCopy() {
    QFETCH(QList<QByteArray>, argv);
    QFETCH(QStringList, expected);
    std::vector<char*> pointers{const_cast<char*>("Updater")};
    for (QByteArray& argument : argv)
        pointers.push_back(argument.isNull() ? nullptr : argument.data());
    pointers.push_back(nullptr);

    QCOMPARE(
        relocation::temporaryCopyArguments(static_cast<int>(pointers.size()) - 1, pointers.data()),
        expected);
}

void TemporaryCopyTest::copyReceivesItsArgumentsInItsDirectory_data() {
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("none") << QStringList();
    QTest::newRow("update arguments") << QStringList{
        "--pid", "42", "--installer", "C:/Temp/Quindlebrookware-Update-x/installer.exe"};
    QTest::newRow("spaces, empty and non-ASCII")
        << QStringList{"with space", "", "  ", QStringLiteral("Jos\u00e9 \u65e5\u672c"), "last"};
    QTest::newRow("shell and Windows quoting characters")
        << QStringList{"it's", "\"quoted\"", "$HOME", "back\\slash\\", "a&b|c>d", "%TEMP%"};
}

void TemporaryCopyTest::copyReceivesItsArgumentsInItsDirectory() {
    QFETCH(QStringList, arguments);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString install = prepareInstallation(temp);
    ArgumentVector argv(arguments);

    const Launch outcome = launch(install + QStringLiteral("/updater-under-test"), libraryList(),
                                  relocation::temporaryCopyArguments(argv.argc(), argv.argv()));

    QVERIFY(outcome.result);
    const QStringList directories = temporaryDirectories(temp.path());
    QCOMPARE(directories.size(), 1);
    const QString directory = temp.filePath(directories.first());
    // The copy has the platform's updater name, whatever the original was called; the libraries
    // follow in their order.
    const QString executableName = relocation::platform::updaterExecutableName();
    QStringList expected{
        QStringLiteral("Temporary updater copy created: %1/%2").arg(directory, executableName)};
    for (const QString& library : kLibraries)
        expected << QStringLiteral("Temporary updater DLL copied: %1/%2").arg(directory, library);
    expected << QStringLiteral("Launching temporary updater copy.")
             << QStringLiteral("Temporary updater launched successfully.");
    QCOMPARE(outcome.messages, expected);
    // The recorder writes into its working directory: the temporary updater directory.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(directory + QStringLiteral("/recorded-arguments")),
                             10000);
    // argv is in the local 8-bit encoding: what that cannot hold (on Windows, characters outside
    // the ANSI code page) is lost before the updater sees its arguments.
    QStringList expectedArguments;
    for (const QString& argument : arguments)
        expectedArguments << QString::fromLocal8Bit(argument.toLocal8Bit());
    QCOMPARE(recordedArguments(directory), expectedArguments << QStringLiteral("--temporary-copy"));
    QStringList files = libraryList() << executableName << QStringLiteral("recorded-arguments");
    files.sort();
    QCOMPARE(QDir(directory).entryList(QDir::Files, QDir::Name), files);
    for (const QString& library : kLibraries) {
        QFile copied(directory + QLatin1Char('/') + library);
        QVERIFY(copied.open(QIODevice::ReadOnly));
        QCOMPARE(copied.readAll(), library.toUtf8() + " contents");
    }
}

void TemporaryCopyTest::failureIsLoggedAndLeavesNothing_data() {
    // What is wrong with the installation, and the lines expected; "{install}" is the install
    // directory, "{dir}" the temporary updater directory, "{exe}" the copy's name.
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("expected");

    const QString created = QStringLiteral("Temporary updater copy created: {dir}/{exe}");
    QTest::newRow("executable missing")
        << "executable missing"
        << QStringList{"ERROR: Original updater executable does not exist."};
    QTest::newRow("TEMP is a file")
        << "TEMP is a file"
        << QStringList{"ERROR: Could not create temporary updater directory: {dir}"};
#ifndef Q_OS_WIN // Windows reports TEMP as set, and the directory is made with its parents
    QTest::newRow("TEMP missing") << "TEMP missing"
                                  << QStringList{
                                         "ERROR: Could not create temporary updater directory: ./"
                                         "Quindlebrookware-Updater-<uuid>"};
#endif
    QTest::newRow("executable cannot be copied")
        << "executable is a directory"
        << QStringList{"ERROR: Could not copy updater to temporary directory.",
                       "Source: {install}/updater-under-test", "Destination: {dir}/{exe}"};
    QTest::newRow("first library missing")
        << "Qt6Core.dll missing"
        << QStringList{created,
                       "ERROR: Required updater DLL does not exist: {install}/Qt6Core.dll"};
    QTest::newRow("last library missing")
        << "libunwind.dll missing"
        << QStringList{created, "Temporary updater DLL copied: {dir}/Qt6Core.dll",
                       "Temporary updater DLL copied: {dir}/libc++.dll",
                       "ERROR: Required updater DLL does not exist: {install}/libunwind.dll"};
    QTest::newRow("library cannot be copied")
        << "libc++.dll is a directory"
        << QStringList{created, "Temporary updater DLL copied: {dir}/Qt6Core.dll",
                       "ERROR: Could not copy updater DLL.", "Source: {install}/libc++.dll",
                       "Destination: {dir}/libc++.dll"};
#ifndef Q_OS_WIN // Windows starts a file whatever its permissions say
    QTest::newRow("copy cannot be started")
        << "executable not executable"
        << QStringList{created,
                       "Temporary updater DLL copied: {dir}/Qt6Core.dll",
                       "Temporary updater DLL copied: {dir}/libc++.dll",
                       "Temporary updater DLL copied: {dir}/libunwind.dll",
                       "Launching temporary updater copy.",
                       "ERROR: Failed to launch temporary updater copy."};
#endif
}

void TemporaryCopyTest::failureIsLoggedAndLeavesNothing() {
    QFETCH(QString, fault);
    QFETCH(QStringList, expected);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString install = prepareInstallation(temp);
    const QString executable = install + QStringLiteral("/updater-under-test");
    QString tempPath = temp.path();

    if (fault == QLatin1String("executable missing")) {
        QVERIFY(QFile::remove(executable));
    } else if (fault == QLatin1String("TEMP is a file")) {
        tempPath = temp.writeFile(QStringLiteral("not a directory"), "file");
    } else if (fault == QLatin1String("TEMP missing")) {
        tempPath = temp.filePath(QStringLiteral("no such directory"));
    } else if (fault == QLatin1String("executable is a directory")) {
        QVERIFY(QFile::remove(executable));
        QVERIFY(QDir().mkdir(executable));
    } else if (fault.endsWith(QLatin1String(" missing"))) {
        QVERIFY(QFile::remove(install + QLatin1Char('/') + fault.section(QLatin1Char(' '), 0, 0)));
    } else if (fault.endsWith(QLatin1String(" is a directory"))) {
        const QString library = install + QLatin1Char('/') + fault.section(QLatin1Char(' '), 0, 0);
        QVERIFY(QFile::remove(library));
        QVERIFY(QDir().mkdir(library));
    } else if (fault == QLatin1String("executable not executable")) {
        QVERIFY(QFile::setPermissions(executable, QFile::ReadOwner | QFile::WriteOwner));
    }

    Launch outcome;
    {
        const TempRedirect redirect(tempPath);
        outcome = launch(executable, libraryList(), {QStringLiteral("--pid")});
    }

    QVERIFY(!outcome.result);
    expected.replaceInStrings(QStringLiteral("{install}"), install);
    expected.replaceInStrings(QStringLiteral("{dir}"),
                              tempPath + QStringLiteral("/Quindlebrookware-Updater-<uuid>"));
    expected.replaceInStrings(QStringLiteral("{exe}"),
                              relocation::platform::updaterExecutableName());
    QCOMPARE(withoutUuids(outcome.messages), expected);
    // Whatever was created has been removed again; the log of this TEMP was never written.
    QCOMPARE(QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             fault == QLatin1String("TEMP is a file") ? QStringList{"not a directory"}
                                                      : QStringList());
    QVERIFY(temporaryDirectories(QDir::currentPath()).isEmpty());
}

void TemporaryCopyTest::twoRunsNeverShareADirectory() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString executable = prepareInstallation(temp) + QStringLiteral("/updater-under-test");

    const Launch first = launch(executable, {}, {});
    const Launch second = launch(executable, {}, {});

    QVERIFY(first.result && second.result);
    QVERIFY(first.messages.first() != second.messages.first());
    const QStringList directories = temporaryDirectories(temp.path());
    QCOMPARE(directories.size(), 2);
    for (const QString& name : directories) {
        QVERIFY(kDirectoryName.match(name).hasMatch());
        QCOMPARE(name.size(), 61);
        QTRY_VERIFY_WITH_TIMEOUT(
            QFileInfo::exists(temp.filePath(name) + QStringLiteral("/recorded-arguments")), 10000);
    }
}

void TemporaryCopyTest::missingTempIsCreatedWithTheDirectory() {
#ifndef Q_OS_WIN
    QSKIP(
        "Qt on POSIX reports a TEMP that does not exist as empty: refused, see the failure cases");
#endif
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString executable = prepareInstallation(temp) + QStringLiteral("/updater-under-test");
    const QString missingTemp = temp.filePath(QStringLiteral("no such directory"));

    Launch outcome;
    {
        const TempRedirect redirect(missingTemp);
        outcome = launch(executable, {}, {QStringLiteral("--temporary-copy")});
    }

    QVERIFY(outcome.result);
    const QStringList directories = temporaryDirectories(missingTemp);
    QCOMPARE(directories.size(), 1);
    const QString directory = missingTemp + QLatin1Char('/') + directories.first();
    QCOMPARE(outcome.messages.first(),
             QStringLiteral("Temporary updater copy created: %1/%2")
                 .arg(directory, relocation::platform::updaterExecutableName()));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(directory + QStringLiteral("/recorded-arguments")),
                             10000);
    QCOMPARE(recordedArguments(directory), QStringList{QStringLiteral("--temporary-copy")});
}

void TemporaryCopyTest::realUpdaterRunsFromItsCopy() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());

    const UpdaterRun run = runUpdater(temp, {QStringLiteral("two words"), QStringLiteral("--pid")});

    QCOMPARE(run.exitCode, 0);
    // The copy got the arguments in order and refused the first one.
    const QStringList messages =
        waitForLogMessage(temp, QStringLiteral("Invalid command-line arguments."));
    QVERIFY2(messages.contains(QStringLiteral("Unknown command-line argument rejected: two words")),
             qPrintable(messages.join(QLatin1Char('\n'))));
    // Exit 1 leaves the directory: the copy of the program and the build's libraries.
    const QStringList directories = temporaryDirectories(temp.path());
    QCOMPARE(directories.size(), 1);
    const QDir directory(temp.filePath(directories.first()));
    QStringList files = relocation::runtimeLibraries()
                        << relocation::platform::updaterExecutableName();
    files.sort();
    QCOMPARE(directory.entryList(QDir::Files, QDir::Name), files);
    QFile original(updaterExecutable());
    QFile copy(directory.filePath(relocation::platform::updaterExecutableName()));
    QVERIFY(original.open(QIODevice::ReadOnly) && copy.open(QIODevice::ReadOnly));
    QVERIFY(original.readAll() == copy.readAll());
    QVERIFY(copy.permissions() & QFile::ExeOwner);
}

QTEST_GUILESS_MAIN(TemporaryCopyTest)
#include "tst_temporary_copy.moc"
