// The self-delete script on every platform: the exact cmd.exe text, and what scheduling does
// when there is nothing to delete or nowhere to write.

#include "relocation/relocation_platform.h"
#include "relocation/self_delete.h"
#include "relocation/self_delete_script.h"
#include "test_environment.h"
#include "updater.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

namespace {

QStringList cleanupScripts(const QString& tempPath) {
    return QDir(tempPath).entryList({QStringLiteral("Quindlebrookware-Updater-Cleanup-*")},
                                    QDir::Files);
}

} // namespace

class SelfDeleteTest : public QObject {
    Q_OBJECT

private slots:
    void windowsScriptIsExact_data();
    void windowsScriptIsExact();
    void missingExecutableOnlyLogsTheSkipLine();
    void unwritableTempCreatesNoScript();
};

void SelfDeleteTest::windowsScriptIsExact_data() {
    QTest::addColumn<QString>("directory");
    QTest::addColumn<QString>("script");

    QTest::newRow("plain") << QStringLiteral(
                                  "C:\\Users\\jane\\AppData\\Local\\Temp\\Quindlebrookware-Updater-"
                                  "0f8fad5b-d9cb-469f-a165-70867728950e")
                           << QStringLiteral(
                                  "C:\\Users\\jane\\AppData\\Local\\Temp\\Quindlebrookware-"
                                  "Updater-Cleanup-7c9e6679-7425-40de-944b-e07fc1f90ae7.cmd");
    QTest::newRow("spaces and non-ASCII")
        << QStringLiteral("C:\\Users\\Jos\u00e9 Doe\\Temp dir\\Quindlebrookware-Updater-x")
        << QStringLiteral(
               "C:\\Users\\Jos\u00e9 Doe\\Temp dir\\Quindlebrookware-Updater-Cleanup-y.cmd");
}

void SelfDeleteTest::windowsScriptIsExact() {
    QFETCH(QString, directory);
    QFETCH(QString, script);

    const QString text = relocation::windowsSelfDeleteTemplate();
    QCOMPARE(text.size(), 562);
    QCOMPARE(text.count(QStringLiteral("\r\n")), 30);
    QVERIFY(text.endsWith(QStringLiteral("exit /b 1\r\n")));
    QCOMPARE(text.count(QLatin1Char('\n')), 30); // no bare line feed anywhere

    const QString expected =
        QStringLiteral("@echo off\r\n"
                       "setlocal EnableExtensions\r\n"
                       "\r\n"
                       "rem Make sure cmd.exe is not running from the directory being deleted.\r\n"
                       "cd /d \"%TEMP%\"\r\n"
                       "\r\n"
                       "rem Give the temporary updater time to exit.\r\n"
                       "timeout /t 2 /nobreak >nul\r\n"
                       "\r\n"
                       "rem Retry removing the temporary updater directory.\r\n"
                       "set /a RETRIES=0\r\n"
                       "\r\n"
                       ":RETRY_DELETE\r\n"
                       "set /a RETRIES+=1\r\n"
                       "\r\n"
                       "rmdir /s /q \"<directory>\" >nul 2>&1\r\n"
                       "\r\n"
                       "if not exist \"<directory>\" goto CLEANUP_SCRIPT\r\n"
                       "\r\n"
                       "if %RETRIES% GEQ 15 goto CLEANUP_FAILED\r\n"
                       "\r\n"
                       "timeout /t 2 /nobreak >nul\r\n"
                       "goto RETRY_DELETE\r\n"
                       "\r\n"
                       ":CLEANUP_SCRIPT\r\n"
                       "del /f /q \"<script>\" >nul 2>&1\r\n"
                       "exit /b 0\r\n"
                       "\r\n"
                       ":CLEANUP_FAILED\r\n"
                       "exit /b 1\r\n");
    QString filled = expected;
    filled.replace(QStringLiteral("<directory>"), directory)
        .replace(QStringLiteral("<script>"), script);

    const QString actual = relocation::windowsSelfDeleteScript(directory, script);
    QCOMPARE(actual.toLocal8Bit(), filled.toLocal8Bit());
    QVERIFY(!actual.contains(QStringLiteral("%1")) && !actual.contains(QStringLiteral("%2")));
    QCOMPARE(actual.count(QStringLiteral("%TEMP%")), 1);
    QCOMPARE(actual.count(QStringLiteral("%RETRIES%")), 1);
}

void SelfDeleteTest::missingExecutableOnlyLogsTheSkipLine() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString executable = temp.filePath(QStringLiteral("Quindlebrookware-Updater-x/Updater"));

    QVERIFY(Updater().scheduleSelfDelete(executable));

    QCOMPARE(temp.logMessages(),
             QStringList{
                 QStringLiteral("Self-delete skipped: file does not exist: %1").arg(executable)});
    QCOMPARE(QDir(temp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("Vexta-Updater.log")});
}

void SelfDeleteTest::unwritableTempCreatesNoScript() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString executable =
        temp.writeFile(QStringLiteral("Quindlebrookware-Updater-x/Updater"), "program");
    const QString missingTemp = temp.filePath(QStringLiteral("no such directory"));
    QStringList messages;

    bool result = true;
    {
        const TempRedirect redirect(missingTemp);
        result = relocation::scheduleDirectoryRemoval(
            executable, [&messages](const QString& message) { messages << message; });
    }

    QVERIFY(!result);
    QCOMPARE(messages.size(), 1);
#ifdef Q_OS_WIN
    // Windows reports TEMP as set, whether or not it exists: the script cannot be created there.
    const QString expectedDirectory = QRegularExpression::escape(missingTemp);
#else
    // Qt reports a TEMP that does not exist as empty: nothing is written relative to "." then.
    const QString expectedDirectory = QStringLiteral("\\.");
#endif
    const QRegularExpression line(
        QStringLiteral("^ERROR: Could not create self-delete script: %1/"
                       "Quindlebrookware-Updater-Cleanup-[0-9a-f-]{36}%2$")
            .arg(expectedDirectory,
                 QRegularExpression::escape(relocation::platform::selfDeleteScriptSuffix())));
    QVERIFY2(line.match(messages.first()).hasMatch(), qPrintable(messages.first()));
    QVERIFY(QFileInfo::exists(executable));
    QVERIFY(!QFileInfo::exists(missingTemp));
    QVERIFY(cleanupScripts(QDir::currentPath()).isEmpty());
}

QTEST_GUILESS_MAIN(SelfDeleteTest)
#include "tst_self_delete.moc"
