// Serves the CRLs of the test PKI on http://127.0.0.1:48213/ until it is stopped (for the demo,
// so that the real updater can check revocation of test-signed installers).
// Usage: serve-crls [directory]   (default: the committed test PKI)

#include "crl_server.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const QString directory = arguments.size() > 1 ? arguments.at(1) : testPkiDirectory();
    CrlServer server(directory);
    QTextStream err(stderr);
    if (!server.isListening()) {
        err << "serve-crls: cannot listen on 127.0.0.1:" << CrlServer::kDefaultPort << Qt::endl;
        return 1;
    }
    err << "serve-crls: serving " << directory << " on http://127.0.0.1:" << CrlServer::kDefaultPort
        << "/" << Qt::endl;
    return app.exec();
}
