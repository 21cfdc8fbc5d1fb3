#include "crl_server.h"

#include "wine_check.h"

using namespace Qt::Literals::StringLiterals;

CrlServer::CrlServer(const QString& directory, quint16 port) : ready_(isRunningUnderWine()) {
    if (ready_)
        return;
    // Unbuffered (-u): the "Serving HTTP" line comes as soon as the port is bound. The requests
    // are logged on standard error, which is dropped.
    server_.setStandardErrorFile(QProcess::nullDevice());
    server_.start(QSysInfo::productType() == u"windows"_s ? u"python"_s : u"python3"_s,
                  {u"-u"_s, u"-m"_s, u"http.server"_s, QString::number(port), u"--bind"_s,
                   u"127.0.0.1"_s, u"--directory"_s, directory});
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
