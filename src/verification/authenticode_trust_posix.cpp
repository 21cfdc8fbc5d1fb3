// POSIX: the trust check is the OpenSSL verifier's (posix_verifier/), on the sealed copy.

#include "authenticode_trust.h"
#include "installer_file.h"
#include "posix_verifier/authenticode_verifier.h"

namespace {

class PosixAuthenticodeTrust final : public AuthenticodeTrust {
public:
    explicit PosixAuthenticodeTrust(QByteArray trustAnchorsPem)
        : anchors_(std::move(trustAnchorsPem)) {}
    TrustVerdict check(const InstallerFile& file) override {
        return verifyAuthenticodeSignature(file, anchors_);
    }

private:
    QByteArray anchors_;
};

} // namespace

std::unique_ptr<AuthenticodeTrust>
createPlatformAuthenticodeTrust(const QByteArray& trustAnchorsPem) {
    return std::make_unique<PosixAuthenticodeTrust>(trustAnchorsPem);
}
