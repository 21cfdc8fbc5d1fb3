// The self-delete scripts. The cmd.exe text is fixed byte for byte (CR LF line ends); the /bin/sh
// text mirrors it step by step.

#include "self_delete_script.h"

#include <QDir>

namespace relocation {

namespace {

// Each line ends in CR LF. The paths come from the environment (%1: the directory's variable, %2:
// the script's, %3: the system directory's; %4 is the number of attempts) through delayed expansion
// ("!NAME!"), which never parses a value as part of the command; "%RETRIES%" is only a number.
// timeout needs console input: started without a console (an updater started by a GUI host), it
// fails at once, and ping's one-second steps (three echoes) make the 2-second wait instead. Both
// by their full path, so that nothing in TEMP, the script's working directory, can stand in.
const QString kWindowsScriptTemplate =
    QStringLiteral("@echo off\r\n"
                   "setlocal EnableExtensions EnableDelayedExpansion\r\n"
                   "\r\n"
                   "rem Make sure cmd.exe is not running from the directory being deleted.\r\n"
                   "cd /d \"!TEMP!\"\r\n"
                   "\r\n"
                   "rem Give the temporary updater time to exit.\r\n"
                   "\"!%3!\\timeout.exe\" /t 2 /nobreak >nul 2>&1 || "
                   "\"!%3!\\ping.exe\" -n 3 127.0.0.1 >nul 2>&1\r\n"
                   "\r\n"
                   "rem Retry removing the temporary updater directory.\r\n"
                   "set /a RETRIES=0\r\n"
                   "\r\n"
                   ":RETRY_DELETE\r\n"
                   "set /a RETRIES+=1\r\n"
                   "\r\n"
                   "rmdir /s /q \"!%1!\" >nul 2>&1\r\n"
                   "\r\n"
                   "if not exist \"!%1!\" goto CLEANUP_SCRIPT\r\n"
                   "\r\n"
                   "if %RETRIES% GEQ %4 goto CLEANUP_FAILED\r\n"
                   "\r\n"
                   "\"!%3!\\timeout.exe\" /t 2 /nobreak >nul 2>&1 || "
                   "\"!%3!\\ping.exe\" -n 3 127.0.0.1 >nul 2>&1\r\n"
                   "goto RETRY_DELETE\r\n"
                   "\r\n"
                   ":CLEANUP_SCRIPT\r\n"
                   "del /f /q \"!%2!\" >nul 2>&1\r\n"
                   "exit /b 0\r\n"
                   "\r\n"
                   ":CLEANUP_FAILED\r\n"
                   "exit /b 1\r\n");

// Seconds for sleep(1): "2" for 2000 ms, "0.05" for 50 ms.
QString seconds(int milliseconds) {
    return QString::number(milliseconds / 1000.0);
}

} // namespace

QProcessEnvironment selfDeleteEnvironment(const QString& directory, const QString& script) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(kDirectoryVariable, QDir::toNativeSeparators(directory));
    environment.insert(kScriptVariable, QDir::toNativeSeparators(script));
    return environment;
}

QString windowsSelfDeleteScript() {
    return kWindowsScriptTemplate.arg(kDirectoryVariable, kScriptVariable, kSystemDirectoryVariable,
                                      QString::number(kSelfDeleteAttempts));
}

QString posixSelfDeleteScript(const SelfDeleteTiming& timing) {
    // The paths come from the environment and are used only in double-quoted expansions, so
    // spaces, quotes and '$' in them stay literal.
    return QStringLiteral("#!/bin/sh\n"
                          "# Removes the temporary updater directory once the updater has exited.\n"
                          "directory=$%1\n"
                          "script=$%2\n"
                          "\n"
                          "# Make sure the shell is not running from the directory being deleted.\n"
                          "cd \"${TMPDIR:-/tmp}\" 2>/dev/null || cd /\n"
                          "\n"
                          "# Give the temporary updater time to exit.\n"
                          "sleep %3\n"
                          "\n"
                          "retries=0\n"
                          "while :; do\n"
                          "    retries=$((retries + 1))\n"
                          "    rm -rf -- \"$directory\" >/dev/null 2>&1\n"
                          "    if [ ! -e \"$directory\" ] && [ ! -L \"$directory\" ]; then\n"
                          "        rm -f -- \"$script\" >/dev/null 2>&1\n"
                          "        exit 0\n"
                          "    fi\n"
                          "    if [ \"$retries\" -ge %4 ]; then\n"
                          "        exit 1\n"
                          "    fi\n"
                          "    sleep %5\n"
                          "done\n")
        .arg(kDirectoryVariable, kScriptVariable, seconds(timing.initialDelayMs),
             QString::number(kSelfDeleteAttempts), seconds(timing.retryDelayMs));
}

} // namespace relocation
