// Started by the tests in place of the updater. Writes its working directory and then each
// argument, one per line, to the file named by UPDATER_HOST_TEST_RECORD. The file appears
// complete or not at all, so a test can poll for it.

#include <QByteArray>
#include <QDir>
#include <QSaveFile>

int main(int argc, char** argv) {
    const QString target = QString::fromLocal8Bit(qgetenv("UPDATER_HOST_TEST_RECORD"));
    if (target.isEmpty())
        return 2;
    QByteArray text = QDir::currentPath().toUtf8() + '\n';
    for (int i = 1; i < argc; ++i)
        text += QString::fromLocal8Bit(argv[i]).toUtf8() + '\n';
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        return 1;
    return file.commit() ? 0 : 1;
}
