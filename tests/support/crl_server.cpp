#include "crl_server.h"

#include <QFile>

#include <fstream>
#include <iterator>
#include <regex>

#ifdef _WIN32
#include <winsock2.h>
using Socket = SOCKET;
constexpr int kSendFlags = 0;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
using Socket = int;
constexpr int kSendFlags = MSG_NOSIGNAL; // a client gone early is no reason to die of SIGPIPE
#endif

namespace {

constexpr int kPollMs = 50; // how soon the server notices that it is to stop
constexpr int kRequestTimeoutMs = 5000;

void closeSocket(Socket socket) {
#ifdef _WIN32
    closesocket(socket);
#else
    ::close(socket);
#endif
}

// Whether the socket has something to read within timeoutMs.
bool readable(Socket socket, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(static_cast<int>(socket) + 1, &set, nullptr, nullptr, &timeout) > 0;
}

// The reply to one request: a CRL of the directory (a plain name, no path), or 404. Plain C++, no
// Qt: a thread that calls into Qt becomes one of Qt's adopted threads, and Wine 8.0 sometimes hung
// at the exit of a program that had made such threads.
std::string answer(const std::string& directory, const std::string& request) {
    static const std::regex get("GET /([A-Za-z0-9_.-]+\\.crl) HTTP/1\\.[01]\r\n");
    std::smatch match;
    std::ifstream file;
    if (std::regex_search(request, match, get, std::regex_constants::match_continuous))
        file.open(directory + '/' + match.str(1), std::ios::binary);
    const std::string body =
        file.is_open() ? std::string(std::istreambuf_iterator<char>(file), {}) : std::string();
    return std::string(file.is_open() ? "HTTP/1.0 200 OK" : "HTTP/1.0 404 Not Found") +
           "\r\nContent-Type: application/pkix-crl\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// Reads one request (up to its empty line) from a client and sends the answer.
void answerClient(Socket client, const std::string& directory) {
    std::string request;
    char buffer[1024];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 8192 &&
           readable(client, kRequestTimeoutMs)) {
        const int received = static_cast<int>(recv(client, buffer, sizeof buffer, 0));
        if (received <= 0)
            break;
        request.append(buffer, static_cast<std::size_t>(received));
    }
    const std::string reply = answer(directory, request);
    for (std::size_t sent = 0; sent < reply.size();) {
        const int count = static_cast<int>(
            send(client, reply.data() + sent, static_cast<int>(reply.size() - sent), kSendFlags));
        if (count <= 0)
            break;
        sent += static_cast<std::size_t>(count);
    }
}

} // namespace

CrlServer::CrlServer(const QString& directory, quint16 port)
    : directory_(QFile::encodeName(directory).toStdString()) {
#ifdef _WIN32
    WSADATA data;
    socketsStarted_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
#endif
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
    thread_ = std::thread([this] {
        while (!stopping_) {
            if (!readable(static_cast<Socket>(listener_), kPollMs))
                continue;
            const Socket client = accept(static_cast<Socket>(listener_), nullptr, nullptr);
            if (static_cast<std::uintptr_t>(client) == kNoListener)
                continue;
            answerClient(client, directory_);
            closeSocket(client);
        }
    });
}

CrlServer::~CrlServer() {
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
    if (isListening())
        closeSocket(static_cast<Socket>(listener_));
#ifdef _WIN32
    if (socketsStarted_)
        WSACleanup();
#endif
}

QString testPkiDirectory() {
    return QStringLiteral(UPDATER_TEST_PKI_DIR);
}
