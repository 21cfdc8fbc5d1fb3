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
    std::fprintf(stderr, "serve-crls: %s %s on http://127.0.0.1:%d/\n",
                 server.isListening() ? "serving" : "cannot serve", qPrintable(directory),
                 CrlServer::kDefaultPort);
    std::fflush(stderr);
    while (server.isListening())
        std::this_thread::sleep_for(std::chrono::hours(1));
    return 1;
}
