// The application that the demo updates. Its version is the first line of "version.txt" beside
// the executable, which the demo installer rewrites. Each start prints the version and appends
// one line to "demo-application.log" beside it, since a restarted application has no terminal.

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QDir home(QCoreApplication::applicationDirPath());

    QFile versionFile(home.filePath(QStringLiteral("version.txt")));
    if (!versionFile.open(QIODevice::ReadOnly | QIODevice::Text)) {
        std::fprintf(stderr, "demo-application: no version file: %s\n",
                     qPrintable(versionFile.fileName()));
        return 1;
    }
    const QString version = QString::fromUtf8(versionFile.readLine()).trimmed();

    const QString line =
        QStringLiteral("%1 demo-application %2 started with %3 argument(s) in %4")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                 version, QString::number(QCoreApplication::arguments().size() - 1),
                 QDir::currentPath());
    std::printf("%s\n", qPrintable(line));

    QFile record(home.filePath(QStringLiteral("demo-application.log")));
    if (record.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        record.write(line.toUtf8() + '\n');
    return 0;
}
