// The update log: one line per message appended to "Vexta-Updater.log" in the TEMP directory.

#include "contract.h"
#include "log_file.h"
#include "updater.h"

#include <QDateTime>
#include <QDir>

void Updater::log(const QString& message) {
    // Opened and closed for every line, so that nothing is lost when the process ends between
    // two messages, and the two updater processes can append to the same file.
    // Qt reports an empty TEMP when the directory it names does not exist; the line is then
    // dropped rather than written to the file-system root.
    const QString tempDirectory = QDir::tempPath();
    if (tempDirectory.isEmpty())
        return;
    const QString timestamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    // The multi-argument arg() substitutes both at once, so a "%1" inside the message stays as
    // written.
    const QString line = QStringLiteral("[%1] %2\n").arg(timestamp, message);
    // A line that cannot be written is dropped: the log never changes the course of an update.
    appendLogLine(QDir(tempDirectory).filePath(contract::kLogFileName), line.toUtf8());
}
