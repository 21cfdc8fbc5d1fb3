// The error text that failure lines embed: its fixed parts, and the platform's own texts.

#include "process/process_platform.h"
#include "wine_check.h"

#include <QTest>

#include <cerrno>

using process_control::ErrorCode;

namespace {

// The system text the lookup below hands out, and how often it was asked.
QString g_systemText;
int g_lookups = 0;

QString scriptedText(ErrorCode) {
    ++g_lookups;
    return g_systemText;
}

} // namespace

class ErrorMessageTest : public QObject {
    Q_OBJECT

private slots:
    void composedFromSystemText_data();
    void composedFromSystemText();
    void codeZeroAsksNothing();
    void platformTexts_data();
    void platformTexts();
};

void ErrorMessageTest::composedFromSystemText_data() {
    QTest::addColumn<qulonglong>("code");
    QTest::addColumn<QString>("systemText");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain text") << 5ULL << QStringLiteral("Access is denied.")
                                << QStringLiteral("Access is denied. (5)");
    QTest::newRow("trailing line break removed")
        << 2ULL << QStringLiteral("The system cannot find the file specified.\r\n")
        << QStringLiteral("The system cannot find the file specified. (2)");
    QTest::newRow("leading white space removed")
        << 2ULL << QStringLiteral(" \t text") << QStringLiteral("text (2)");
    QTest::newRow("inner white space kept")
        << 6ULL << QStringLiteral("two  spaces\r\nand a break\r\n")
        << QStringLiteral("two  spaces\r\nand a break (6)");
    QTest::newRow("no text") << 15999ULL << QString()
                             << QStringLiteral("Unknown Windows error (15999)");
    QTest::newRow("only white space")
        << 7ULL << QStringLiteral(" \r\n\t ") << QStringLiteral("Unknown Windows error (7)");
    QTest::newRow("insert marker kept literally")
        << 1223ULL << QStringLiteral("Cannot open %1 now.\r\n")
        << QStringLiteral("Cannot open %1 now. (1223)");
    QTest::newRow("second marker kept literally")
        << 8ULL << QStringLiteral("%2 and %1") << QStringLiteral("%2 and %1 (8)");
    QTest::newRow("code of 2^31 unsigned")
        << 2147483648ULL << QStringLiteral("Crash.") << QStringLiteral("Crash. (2147483648)");
    QTest::newRow("largest code unsigned")
        << 4294967295ULL << QString() << QStringLiteral("Unknown Windows error (4294967295)");
}

void ErrorMessageTest::composedFromSystemText() {
    QFETCH(qulonglong, code);
    QFETCH(QString, systemText);
    QFETCH(QString, expected);
    g_systemText = systemText;
    g_lookups = 0;

    QCOMPARE(process_control::errorMessageText(static_cast<ErrorCode>(code), &scriptedText),
             expected);
    QCOMPARE(g_lookups, 1);
}

void ErrorMessageTest::codeZeroAsksNothing() {
    g_systemText = QStringLiteral("should not appear");
    g_lookups = 0;
    QCOMPARE(process_control::errorMessageText(0, &scriptedText), QStringLiteral("ERROR_SUCCESS"));
    QCOMPARE(g_lookups, 0);
}

void ErrorMessageTest::platformTexts_data() {
    QTest::addColumn<qulonglong>("code");
    QTest::addColumn<QString>("expected");
    // Wine words some system texts differently from Windows; its own wording is checked there, so
    // the lookup and the composition are still proven under Wine.
    QTest::addColumn<QString>("expectedUnderWine");

    auto row = [](const char* name, qulonglong code, const QString& expected,
                  const QString& underWine = QString()) {
        QTest::newRow(name) << code << expected << (underWine.isNull() ? expected : underWine);
    };
    row("success", 0, QStringLiteral("ERROR_SUCCESS"));
#if defined(Q_OS_WIN)
    row("file not found", 2, QStringLiteral("The system cannot find the file specified. (2)"),
        QStringLiteral("File not found. (2)"));
    row("access denied", 5, QStringLiteral("Access is denied. (5)"),
        QStringLiteral("Access denied. (5)"));
    row("invalid parameter", 87, QStringLiteral("The parameter is incorrect. (87)"),
        QStringLiteral("Invalid parameter. (87)"));
#else
    row("no such file", ENOENT, QStringLiteral("No such file or directory (2)"));
    row("permission denied", EACCES, QStringLiteral("Permission denied (13)"));
    row("unknown to the system", 15999, QStringLiteral("Unknown Windows error (15999)"));
#endif
    row("beyond any signed code", 2147483648ULL,
        QStringLiteral("Unknown Windows error (2147483648)"));
    row("largest code", 4294967295ULL, QStringLiteral("Unknown Windows error (4294967295)"));
}

void ErrorMessageTest::platformTexts() {
    QFETCH(qulonglong, code);
    QFETCH(QString, expected);
    QFETCH(QString, expectedUnderWine);
    QCOMPARE(process_control::systemProcessPlatform().errorMessage(static_cast<ErrorCode>(code)),
             isRunningUnderWine() ? expectedUnderWine : expected);
}

QTEST_GUILESS_MAIN(ErrorMessageTest)
#include "tst_error_message.moc"
