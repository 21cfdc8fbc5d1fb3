#include "crl_server.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// The few socket calls that differ between Winsock and POSIX.
#ifdef _WIN32
using Socket = SOCKET;
constexpr int kSendFlags = 0;
void closeSocket(Socket socket) {
    closesocket(socket);
}
bool startSockets() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}
#else
using Socket = int;
constexpr int kSendFlags = MSG_NOSIGNAL; // a client gone early is no reason to die of SIGPIPE
void closeSocket(Socket socket) {
    ::close(socket);
}
bool startSockets() {
    return true;
}
#endif

constexpr int kMaximumRequestBytes = 8192;
constexpr int kPollMs = 50; // how soon the server notices that it is to stop
constexpr int kRequestTimeoutMs = 5000;

// Whether the socket has something to read within timeoutMs.
bool readable(Socket socket, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(static_cast<int>(socket) + 1, &set, nullptr, nullptr, &timeout) > 0;
}

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

// Reads one request (up to its empty line) from a client, counts it and sends the answer.
void answerClient(Socket client, const QString& directory, std::atomic<int>& requests) {
    QByteArray request;
    char buffer[1024];
    while (!request.contains("\r\n\r\n") && request.size() < kMaximumRequestBytes &&
           readable(client, kRequestTimeoutMs)) {
        const int received = static_cast<int>(recv(client, buffer, sizeof buffer, 0));
        if (received <= 0)
            break;
        request.append(buffer, received);
    }
    const QByteArray reply = answer(directory, request);
    ++requests;
    for (qsizetype sent = 0; sent < reply.size();) {
        const int count = static_cast<int>(send(client, reply.constData() + sent,
                                                static_cast<int>(reply.size() - sent), kSendFlags));
        if (count <= 0)
            break;
        sent += count;
    }
}

} // namespace

CrlServer::CrlServer(const QString& directory, quint16 port) : directory_(directory) {
    if (!startSockets())
        return;
    const Socket listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (static_cast<std::uintptr_t>(listener) == kNoListener)
        return;
#ifndef _WIN32
    // The port is free again at once after an earlier server's connections (Windows allows that
    // by default; its SO_REUSEADDR would let two servers share the port).
    const int reuse = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
#endif
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 16) != 0) {
        closeSocket(listener);
        return;
    }
    listener_ = static_cast<std::uintptr_t>(listener);
    thread_ = std::thread(&CrlServer::serve, this);
}

CrlServer::~CrlServer() {
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
    if (isListening())
        closeSocket(static_cast<Socket>(listener_));
}

void CrlServer::serve() {
    const auto listener = static_cast<Socket>(listener_);
    while (!stopping_) {
        if (!readable(listener, kPollMs))
            continue;
        const Socket client = accept(listener, nullptr, nullptr);
        if (static_cast<std::uintptr_t>(client) == kNoListener)
            continue;
        answerClient(client, directory_, requests_);
        closeSocket(client);
    }
}

QString testPkiDirectory() {
    return QStringLiteral(UPDATER_TEST_PKI_DIR);
}
