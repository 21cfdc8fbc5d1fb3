// The installer image: the shell runs its payload with the payload's effects and exit code, and its
// PE headers are where the format puts them. That a signed image still verifies and runs is shown
// by the end-to-end suite, which signs every installer it runs.

#include "installer_image.h"
#include "program_run.h"
#include "test_environment.h"

#include <QDir>
#include <QFile>
#include <QTest>

namespace {

quint32 u32At(const QByteArray& bytes, int offset) {
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<quint8>(bytes[offset + i]);
    return value;
}

// A payload that records that it ran (one line per run), its working directory and its
// arguments in recordDir, then exits with exitCode.
QByteArray recordingPayload(const QString& recordDir, int exitCode, bool finalLineFeed = true) {
    QString script = QStringLiteral("echo ran >> '%1/ran'\n"
                                    "pwd > '%1/cwd'\n"
                                    "printf '%s\\n' \"$#\" \"$@\" > '%1/args'\n"
                                    "exit %2")
                         .arg(recordDir)
                         .arg(exitCode);
    if (finalLineFeed)
        script += QLatin1Char('\n');
    return script.toUtf8();
}

// Checks what recordingPayload() left: exactly one run, in workDir, with these arguments.
void verifyRecord(const QString& recordDir, const QString& workDir, const QStringList& arguments) {
    QCOMPARE(readFileBytes(recordDir + QStringLiteral("/ran")), QByteArray("ran\n"));
    QCOMPARE(QString::fromUtf8(readFileBytes(recordDir + QStringLiteral("/cwd"))).trimmed(),
             workDir);
    QStringList expected{QString::number(arguments.size())};
    expected += arguments;
    QString args = QString::fromUtf8(readFileBytes(recordDir + QStringLiteral("/args")));
    args.chop(1);
    QCOMPARE(args.split(QLatin1Char('\n')), expected);
}

QString makeInstallerImageTool() {
    return QStringLiteral(MAKE_INSTALLER_IMAGE);
}

enum class Start { Shell, Command, Tool };

} // namespace

class InstallerImageTest : public QObject {
    Q_OBJECT

private slots:
    void runsPayloadUnderShell_data();
    void runsPayloadUnderShell();
    void headersAndStubArea_data();
    void headersAndStubArea();
};

void InstallerImageTest::runsPayloadUnderShell_data() {
    QTest::addColumn<Start>("start");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("finalLineFeed");

    QTest::newRow("sh image, exit 0") << Start::Shell << 0 << QStringList() << true;
    QTest::newRow("sh image, exit 7, arguments")
        << Start::Shell << 7
        << QStringList{QStringLiteral("one"), QStringLiteral("two words"), QString()} << true;
    // A shell starting the file as a command: exec refuses it, the shell runs it as a script.
    QTest::newRow("started as a command, exit 42")
        << Start::Command << 42 << QStringList{QStringLiteral("--flag")} << true;
    QTest::newRow("started as a command, no arguments")
        << Start::Command << 0 << QStringList() << true;
    QTest::newRow("payload without final line feed") << Start::Shell << 3 << QStringList() << false;
    QTest::newRow("written by the command-line tool, exit 255")
        << Start::Tool << 255 << QStringList{QStringLiteral("x")} << true;
}

void InstallerImageTest::runsPayloadUnderShell() {
    QFETCH(Start, start);
    QFETCH(int, exitCode);
    QFETCH(QStringList, arguments);
    QFETCH(bool, finalLineFeed);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString recordDir = temp.filePath(QStringLiteral("record"));
    const QString workDir = temp.filePath(QStringLiteral("work dir"));
    QVERIFY(QDir().mkpath(recordDir) && QDir().mkpath(workDir));
    const QString image = temp.filePath(QStringLiteral("image/installer.exe"));
    QVERIFY(QDir().mkpath(temp.filePath(QStringLiteral("image"))));
    const QByteArray payload = recordingPayload(recordDir, exitCode, finalLineFeed);

    if (start == Start::Tool) {
        const QString payloadFile = temp.writeFile(QStringLiteral("payload.sh"), payload);
        const ProgramRun tool = runProgram(makeInstallerImageTool(), {image, payloadFile});
        QVERIFY(tool.finished);
        QCOMPARE(tool.exitCode, 0);
        QCOMPARE(readFileBytes(image), InstallerImage::build(payload));
    } else {
        QVERIFY(InstallerImage::write(image, payload));
    }
    QVERIFY(QFileInfo(image).isExecutable());

    const QStringList shellArguments =
        start == Start::Command ? QStringList{QStringLiteral("-c"), QStringLiteral("\"$0\" \"$@\"")}
                                : QStringList();
    const ProgramRun ran = runProgram(QStringLiteral("/bin/sh"),
                                      shellArguments + QStringList{image} + arguments, workDir);
    QVERIFY(ran.finished);
    QCOMPARE(ran.exitCode, exitCode);
    QCOMPARE(ran.standardOutput, QByteArray());
    verifyRecord(recordDir, workDir, arguments);
}

void InstallerImageTest::headersAndStubArea_data() {
    QTest::addColumn<int>("payloadSize");
    QTest::addColumn<bool>("withNul");
    QTest::addColumn<int>("lfanew"); // 0: refused

    const int stubCapacity = 0x400 - 0x40 - 6; // what fits before 0x400 with the closing "exit"
    QTest::newRow("small payload") << 40 << false << 0x400;
    QTest::newRow("payload filling the stub area") << stubCapacity << false << 0x400;
    QTest::newRow("one byte more moves the headers") << stubCapacity + 1 << false << 0x600;
    QTest::newRow("largest payload") << InstallerImage::kMaximumPayloadSize << false << 0x8200;
    QTest::newRow("payload too large") << InstallerImage::kMaximumPayloadSize + 1 << false << 0;
    QTest::newRow("payload with a NUL byte") << 40 << true << 0;
}

void InstallerImageTest::headersAndStubArea() {
    QFETCH(int, payloadSize);
    QFETCH(bool, withNul);
    QFETCH(int, lfanew);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    // "exit 5" padded with comment lines to the wanted size.
    QByteArray payload("exit 5\n");
    while (payload.size() < payloadSize)
        payload += '#' + QByteArray(62, 'x') + '\n';
    payload.truncate(payloadSize);
    if (withNul)
        payload[3] = '\0';
    QCOMPARE(payload.size(), payloadSize);

    const QByteArray image = InstallerImage::build(payload, 0x12345678);
    if (lfanew == 0) {
        QVERIFY(image.isEmpty());
        QVERIFY(!InstallerImage::write(temp.filePath(QStringLiteral("refused.exe")), payload));
        QVERIFY(!QFileInfo::exists(temp.filePath(QStringLiteral("refused.exe"))));
        return;
    }

    // The shell part: "MZ" alone on the first line, the second line complete before e_lfanew.
    QVERIFY(image.startsWith("MZ\n"));
    const qsizetype secondLineEnd = image.indexOf('\n', 3);
    QVERIFY(secondLineEnd > 3 && secondLineEnd < 0x3c);
    QCOMPARE(image.mid(0x40, payload.size()), payload);

    // The PE headers follow the shell part; the verifier and the signing tools read the rest.
    QCOMPARE(int(u32At(image, 0x3c)), lfanew);
    QCOMPARE(image.mid(lfanew, 4), QByteArray("PE\0\0", 4));

    // And the shell still runs it.
    const QString path = temp.filePath(QStringLiteral("installer.exe"));
    QVERIFY(InstallerImage::write(path, payload));
    const ProgramRun ran = runProgram(QStringLiteral("/bin/sh"), {path}, temp.path());
    QVERIFY(ran.finished);
    QCOMPARE(ran.exitCode, 5);
}

QTEST_GUILESS_MAIN(InstallerImageTest)
#include "tst_installer_image.moc"
