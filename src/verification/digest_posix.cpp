// OpenSSL's EVP digests.

#include "digest.h"

#include <openssl/evp.h>

struct Digest::State {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool healthy = false;
    ~State() { EVP_MD_CTX_free(context); }
};

namespace {

const EVP_MD* evpDigest(DigestAlgorithm algorithm) {
    switch (algorithm) {
    case DigestAlgorithm::Sha1:
        return EVP_sha1();
    case DigestAlgorithm::Sha256:
        return EVP_sha256();
    case DigestAlgorithm::Sha384:
        return EVP_sha384();
    case DigestAlgorithm::Sha512:
        return EVP_sha512();
    }
    return nullptr;
}

} // namespace

Digest::Digest(DigestAlgorithm algorithm) : state_(std::make_unique<State>()) {
    state_->healthy = state_->context != nullptr &&
                      EVP_DigestInit_ex(state_->context, evpDigest(algorithm), nullptr) == 1;
}

Digest::~Digest() = default;

bool Digest::add(const char* data, qint64 size) {
    state_->healthy =
        state_->healthy && EVP_DigestUpdate(state_->context, data, static_cast<size_t>(size)) == 1;
    return state_->healthy;
}

QByteArray Digest::result() {
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!state_->healthy || EVP_DigestFinal_ex(state_->context, value, &length) != 1)
        return {};
    state_->healthy = false;
    return QByteArray(reinterpret_cast<const char*>(value), static_cast<qsizetype>(length));
}
