#include "crl_server.h"

#include <QFile>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <string>

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
void stopSockets() {
    WSACleanup();
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
void stopSockets() {}
#endif

constexpr std::size_t kMaximumRequestBytes = 8192;
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

std::string response(const std::string& status, const std::string& body) {
    return "HTTP/1.0 " + status + "\r\nContent-Type: application/pkix-crl\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// The reply to one request: a CRL of the directory, or 404. Plain C++, no Qt: a thread that calls
// into Qt becomes one of Qt's adopted threads, and Wine 8.0 sometimes hung at the exit of a program
// that had made such threads.
std::string answer(const std::string& directory, const std::string& request) {
    const std::string get = "GET /";
    const std::size_t end = request.find(' ', get.size());
    if (request.compare(0, get.size(), get) != 0 || end == std::string::npos)
        return response("404 Not Found", {});
    const std::string name = request.substr(get.size(), end - get.size());
    const std::string suffix = ".crl";
    const bool plainName =
        name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
        std::all_of(name.begin(), name.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
        });
    const std::string version = request.substr(end, sizeof " HTTP/1.0\r\n" - 1);
    std::ifstream file(directory + '/' + name, std::ios::binary);
    if (!plainName || (version != " HTTP/1.0\r\n" && version != " HTTP/1.1\r\n") || !file)
        return response("404 Not Found", {});
    return response("200 OK", std::string(std::istreambuf_iterator<char>(file), {}));
}

// Reads one request (up to its empty line) from a client, counts it and sends the answer.
void answerClient(Socket client, const std::string& directory, std::atomic<int>& requests) {
    std::string request;
    char buffer[1024];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < kMaximumRequestBytes &&
           readable(client, kRequestTimeoutMs)) {
        const int received = static_cast<int>(recv(client, buffer, sizeof buffer, 0));
        if (received <= 0)
            break;
        request.append(buffer, static_cast<std::size_t>(received));
    }
    const std::string reply = answer(directory, request);
    ++requests;
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
    if (!startSockets())
        return;
    socketsStarted_ = true;
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
    if (socketsStarted_)
        stopSockets();
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
