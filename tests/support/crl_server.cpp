#include "crl_server.h"

#include "wine_check.h"

CrlServer::CrlServer(const QString& directory, quint16 port) : ready_(isRunningUnderWine()) {
    if (ready_)
        return;
    // Unbuffered (-u): the "Serving HTTP" line comes as soon as the port is bound. The requests
    // are logged on standard error, which is dropped.
    server_.setStandardErrorFile(QProcess::nullDevice());
    server_.start(QSysInfo::productType() == QLatin1String("windows") ? QStringLiteral("python")
                                                                      : QStringLiteral("python3"),
                  {QStringLiteral("-u"), QStringLiteral("-m"), QStringLiteral("http.server"),
                   QString::number(port), QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                   QStringLiteral("--directory"), directory});
    QByteArray output;
    while (!ready_ && server_.waitForReadyRead(10000)) {
        output += server_.readAllStandardOutput();
        ready_ = output.contains("Serving HTTP");
    }
}

CrlServer::~CrlServer() {
    server_.kill();
    server_.waitForFinished();
}

QString testPkiDirectory() {
    return QStringLiteral(UPDATER_TEST_PKI_DIR);
}
