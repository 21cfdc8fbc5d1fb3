// Serves the CRLs of the test PKI on http://127.0.0.1:48213/ until it is stopped (for the demo,
// so that the real updater can check revocation of test-signed installers).
// Usage: serve-crls [directory]   (default: the committed test PKI)

#include "crl_server.h"

#include <chrono>
#include <cstdio>
#include <thread>

int main(int argc, char** argv) {
    const QString directory = argc > 1 ? QString::fromLocal8Bit(argv[1]) : testPkiDirectory();
    const CrlServer server(directory);
    if (!server.isListening()) {
        std::fprintf(stderr, "serve-crls: cannot listen on 127.0.0.1:%d\n",
                     CrlServer::kDefaultPort);
        return 1;
    }
    std::fprintf(stderr, "serve-crls: serving %s on http://127.0.0.1:%d/\n", qPrintable(directory),
                 CrlServer::kDefaultPort);
    std::fflush(stderr);
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}
