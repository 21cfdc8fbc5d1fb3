// The cmd.exe self-delete script run for real: it removes a directory whose path has spaces once
// the updater no longer needs it, then deletes itself.

#include "relocation/self_delete_script.h"
#include "test_environment.h"
#include "updater.h"

#include <QDir>
#include <QFile>
#include <QTest>

class WindowsSelfDeleteTest : public QObject {
    Q_OBJECT

private slots:
    void scheduledScriptRemovesTheDirectory();
};

void WindowsSelfDeleteTest::scheduledScriptRemovesTheDirectory() {
    ScopedTemp temp;
    QVERIFY(temp.isValid());
    const QString directory = temp.filePath(QStringLiteral("Quindlebrookware-Updater-with space"));
    const QString executable =
        temp.writeFile(directory + QStringLiteral("/Updater.exe"), "program");
    temp.writeFile(directory + QStringLiteral("/Qt6Core.dll"), "library");

    QVERIFY(Updater().scheduleSelfDelete(executable));

    const QStringList scripts =
        QDir(temp.path())
            .entryList({QStringLiteral("Quindlebrookware-Updater-Cleanup-*.cmd")}, QDir::Files);
    QCOMPARE(scripts.size(), 1);
    const QString script = temp.filePath(scripts.first());
    QFile file(script);
    QVERIFY(file.open(QIODevice::ReadOnly));
    // Text mode adds a carriage return before each line feed; cmd.exe ignores carriage returns.
    QCOMPARE(file.readAll().replace('\r', QByteArray()),
             relocation::windowsSelfDeleteScript(QDir::toNativeSeparators(directory),
                                                 QDir::toNativeSeparators(script))
                 .toLocal8Bit()
                 .replace('\r', QByteArray()));
    file.close();
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(directory), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(script), 20000);
}

QTEST_GUILESS_MAIN(WindowsSelfDeleteTest)
#include "tst_self_delete_win.moc"
