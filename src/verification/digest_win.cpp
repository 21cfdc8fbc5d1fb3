// CNG (BCrypt) hashes: part of Windows, using the processor's hashing instructions where it has
// them.

#include "digest.h"

// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

struct Digest::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool healthy = false;
    ~State() {
        if (hash != nullptr)
            BCryptDestroyHash(hash);
        if (algorithm != nullptr)
            BCryptCloseAlgorithmProvider(algorithm, 0);
    }
};

namespace {

constexpr bool succeeded(NTSTATUS status) {
    return status >= 0;
}

LPCWSTR cngAlgorithm(DigestAlgorithm algorithm) {
    switch (algorithm) {
    case DigestAlgorithm::Sha1:
        return BCRYPT_SHA1_ALGORITHM;
    case DigestAlgorithm::Sha256:
        return BCRYPT_SHA256_ALGORITHM;
    case DigestAlgorithm::Sha384:
        return BCRYPT_SHA384_ALGORITHM;
    case DigestAlgorithm::Sha512:
        return BCRYPT_SHA512_ALGORITHM;
    }
    return BCRYPT_SHA256_ALGORITHM;
}

} // namespace

Digest::Digest(DigestAlgorithm algorithm) : state_(std::make_unique<State>()) {
    // With no hash object buffer given, CNG allocates and frees its own.
    state_->healthy =
        succeeded(
            BCryptOpenAlgorithmProvider(&state_->algorithm, cngAlgorithm(algorithm), nullptr, 0)) &&
        succeeded(BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0));
}

Digest::~Digest() = default;

bool Digest::add(const char* data, qint64 size) {
    // BCryptHashData takes at most 4 GiB - 1 at a time; callers feed 1 MiB chunks.
    state_->healthy =
        state_->healthy && size <= 0xFFFFFFFFLL &&
        succeeded(BCryptHashData(state_->hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data)),
                                 static_cast<ULONG>(size), 0));
    return state_->healthy;
}

QByteArray Digest::result() {
    DWORD length = 0;
    ULONG written = 0;
    if (!state_->healthy || !succeeded(BCryptGetProperty(state_->hash, BCRYPT_HASH_LENGTH,
                                                         reinterpret_cast<PUCHAR>(&length),
                                                         sizeof(length), &written, 0)))
        return {};
    QByteArray value(static_cast<qsizetype>(length), Qt::Uninitialized);
    state_->healthy = false;
    if (!succeeded(
            BCryptFinishHash(state_->hash, reinterpret_cast<PUCHAR>(value.data()), length, 0)))
        return {};
    return value;
}
