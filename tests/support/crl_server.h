#pragma once

#include <QProcess>
#include <QString>

// Serves the files of one directory (the TEST CRLs) over HTTP on 127.0.0.1 with Python's
// http.server, in a process of its own, so that it answers while the test that started it is
// blocked in a download; it stops when destroyed. On a Windows machine Python for Windows
// ("python") serves. Under Wine nothing is started: Wine's WinVerifyTrust fetches no CRL, and a
// Windows program cannot start the Linux Python.
class CrlServer {
public:
    // The port that the CRL distribution points of the test certificates name.
    static constexpr quint16 kDefaultPort = 48213;

    explicit CrlServer(const QString& directory, quint16 port = kDefaultPort);
    ~CrlServer();

    // Serving, or (under Wine) with nothing to serve for.
    bool isReady() const { return ready_; }

private:
    QProcess server_;
    bool ready_ = false;
};

// The directory of the committed test PKI (certificates, CRLs, signed images).
QString testPkiDirectory();
