#include "crl_server.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <future>

namespace {

constexpr qsizetype kMaximumRequestBytes = 8192;

QByteArray response(const QByteArray& status, const QByteArray& body) {
    return "HTTP/1.0 " + status + "\r\nContent-Type: application/pkix-crl\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// The reply to one request's bytes: a CRL of the directory, or 404.
QByteArray answer(const QString& directory, const QByteArray& request) {
    static const QRegularExpression requestLine(
        QStringLiteral("^GET /([A-Za-z0-9._-]+\\.crl) HTTP/1\\.[01]\r\n"));
    const QRegularExpressionMatch match = requestLine.match(QString::fromLatin1(request));
    if (match.hasMatch()) {
        QFile file(QDir(directory).filePath(match.captured(1)));
        if (file.open(QIODevice::ReadOnly))
            return response("200 OK", file.readAll());
    }
    return response("404 Not Found", {});
}

class ServerThread : public QThread {
public:
    ServerThread(QString directory, quint16 port, std::atomic<int>& requests,
                 std::promise<bool> listening)
        : directory_(std::move(directory)), port_(port), requests_(requests),
          listening_(std::move(listening)) {}

protected:
    void run() override {
        QTcpServer server;
        const bool ok = server.listen(QHostAddress::LocalHost, port_);
        listening_.set_value(ok);
        if (!ok)
            return;
        QObject::connect(&server, &QTcpServer::newConnection, &server, [&server, this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, this] {
                    QByteArray& buffer = buffers_[socket];
                    buffer += socket->readAll();
                    if (!buffer.contains("\r\n\r\n") && buffer.size() < kMaximumRequestBytes)
                        return;
                    socket->write(answer(directory_, buffer));
                    buffers_.remove(socket);
                    ++requests_;
                    socket->disconnectFromHost();
                });
            }
        });
        exec();
    }

private:
    QString directory_;
    quint16 port_;
    std::atomic<int>& requests_;
    std::promise<bool> listening_;
    QHash<QTcpSocket*, QByteArray> buffers_;
};

} // namespace

CrlServer::CrlServer(const QString& directory, quint16 port) {
    std::promise<bool> listening;
    std::future<bool> started = listening.get_future();
    thread_ = std::make_unique<ServerThread>(directory, port, requests_, std::move(listening));
    thread_->start();
    listening_ = started.get();
}

CrlServer::~CrlServer() {
    thread_->quit();
    thread_->wait();
}

QString testPkiDirectory() {
    return QStringLiteral(UPDATER_TEST_PKI_DIR);
}
