#pragma once

#include <QString>
#include <QtGlobal>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

// A small HTTP/1.0 server on 127.0.0.1 that serves the "*.crl" files of one directory, on a thread
// of its own so that it answers while the thread that started it is blocked in a download.
// Anything else gets 404. Plain sockets (Winsock on Windows), so that the same server runs in the
// Linux test programs and in the Windows ones under Wine. It stops when destroyed.
class CrlServer {
public:
    // The port that the CRL distribution points of the test certificates name.
    static constexpr quint16 kDefaultPort = 48213;

    explicit CrlServer(const QString& directory, quint16 port = kDefaultPort);
    ~CrlServer();
    CrlServer(const CrlServer&) = delete;
    CrlServer& operator=(const CrlServer&) = delete;

    bool isListening() const { return listener_ != kNoListener; }

private:
    static constexpr std::uintptr_t kNoListener = ~std::uintptr_t{0};

    std::string directory_; // in the local 8-bit encoding, for the serving thread
    bool socketsStarted_ = false;
    std::uintptr_t listener_ = kNoListener; // the listening socket
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// The directory of the committed test PKI (certificates, CRLs, signed images).
QString testPkiDirectory();
