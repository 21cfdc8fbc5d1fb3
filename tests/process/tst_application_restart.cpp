// Restarting the application: refusals before the start, a start that fails, and a detached
// start that the updater neither waits for nor keeps.

#include "program_run.h"
#include "test_environment.h"
#include "updater.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTest>

namespace {

const QFileDevice::Permissions kExecutable =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;

QString restartingLine(const QString& path) {
    return QStringLiteral("Restarting application: %1").arg(path);
}

} // namespace

class ApplicationRestartTest : public QObject {
    Q_OBJECT

private slots:
    void refusedBeforeTheStart_data();
    void refusedBeforeTheStart();
    void startThatFails();
    void detachedStart();
};

void ApplicationRestartTest::refusedBeforeTheStart_data() {
    QTest::addColumn<QString>("relative");
    QTest::addColumn<bool>("directory");
    QTest::newRow("directory") << QStringLiteral("App") << true;
    QTest::newRow("directory named like a program") << QStringLiteral("App.exe") << true;
    QTest::newRow("missing file") << QStringLiteral("App/missing.exe") << false;
}

void ApplicationRestartTest::refusedBeforeTheStart() {
    QFETCH(QString, relative);
    QFETCH(bool, directory);
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString path = temp.outsidePath(relative);
    if (directory)
        QVERIFY(QDir().mkpath(path));
    Updater updater;

    QVERIFY(!updater.restartApplication(path));
    QCOMPARE(temp.logMessages(),
             QStringList{QStringLiteral("Restart application does not exist: %1").arg(path)});
}

void ApplicationRestartTest::startThatFails() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString path = temp.writeFile(temp.outsidePath(QStringLiteral("App/app")),
                                        QByteArray("#!/bin/sh\nexit 0\n"));
    QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    Updater updater;

    QVERIFY(!updater.restartApplication(path));
    QCOMPARE(temp.logMessages(), QStringList({restartingLine(path),
                                              QStringLiteral("QProcess::startDetached failed.")}));
}

void ApplicationRestartTest::detachedStart() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString workDir = temp.filePath(QStringLiteral("updater dir"));
    QVERIFY(QDir().mkpath(workDir));
    const QString report = temp.filePath(QStringLiteral("report.txt"));
    const QString release = temp.filePath(QStringLiteral("release"));
    // The application reports its arguments and directory at once, then stays until the test
    // lets it go, and reports its parent last: the updater has returned long before.
    const QString script = QStringLiteral("#!/bin/sh\n"
                                          "printf '%s\\n%s\\n' \"$#\" \"$(pwd)\" > '%1'\n"
                                          "while [ ! -e '%2' ]; do sleep 0.05; done\n"
                                          "printf '%s\\n' \"$(ps -o ppid= -p $$ | tr -d ' ')\" "
                                          ">> '%1'\n")
                               .arg(report, release);
    const QString path =
        temp.writeFile(temp.outsidePath(QStringLiteral("App/app")), script.toUtf8());
    QVERIFY(QFile::setPermissions(path, kExecutable));
    Updater updater;

    const QString saved = QDir::currentPath();
    QDir::setCurrent(workDir);
    const bool result = updater.restartApplication(path);
    QDir::setCurrent(saved);

    QVERIFY(result);
    QCOMPARE(temp.logMessages(), QStringList{restartingLine(path)});
    const QStringList started = waitForLines(report, 2);
    QCOMPARE(started, QStringList({QStringLiteral("0"), workDir}));
    // Still running after the operation returned, and not a child of the updater.
    temp.writeFile(release, QByteArray());
    const QStringList finished = waitForLines(report, 3);
    QCOMPARE(finished.size(), 3);
    QVERIFY(finished.at(2) != QString::number(QCoreApplication::applicationPid()));
}

QTEST_GUILESS_MAIN(ApplicationRestartTest)
#include "tst_application_restart.moc"
