#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <memory>

enum class DigestAlgorithm { Sha1, Sha256, Sha384, Sha512 };

// A hash computed by the platform's own implementation, which uses the processor's hashing
// instructions where it has them: OpenSSL's EVP interface on POSIX, CNG (BCrypt) on Windows.
class Digest {
public:
    explicit Digest(DigestAlgorithm algorithm);
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    // False when the platform refused the data (or could not set the hash up).
    bool add(const char* data, qint64 size);
    // The digest of everything added; empty on failure. Ends the hash: nothing may be added after.
    QByteArray result();

private:
    struct State;
    std::unique_ptr<State> state_;
};
