// POSIX trust request: an Authenticode verifier on OpenSSL that gives the verdicts and WinTrust
// codes that WinVerifyTrust gives for the same file (generic verification policy, whole-chain
// revocation checking).
//
// Order of the checks: PE form, signature present, image digest, signature over the signed
// content, timestamp counter-signature (which fixes the time at which the chain is judged), chain
// to a trusted root with the code-signing usage, and revocation of every certificate below the
// roots of the signer's and the timestamp's chains.

#include "authenticode_trust.h"
#include "certificate_chain.h"
#include "openssl_handles.h"
#include "pe_image.h"
#include "wintrust_codes.h"
#include "x509_display_name.h"

#include <QFile>

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <cstring>

namespace {

constexpr char kSpcIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";
constexpr char kRfc3161TimestampOid[] = "1.3.6.1.4.1.311.3.3.1";

bool hasOid(const ASN1_OBJECT* object, const char* oid) {
    const AsnObjectPtr wanted(OBJ_txt2obj(oid, 1));
    return wanted && object != nullptr && OBJ_cmp(object, wanted.get()) == 0;
}

std::optional<QCryptographicHash::Algorithm> hashAlgorithmOf(const X509_ALGOR* algorithm) {
    const ASN1_OBJECT* object = nullptr;
    X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
    switch (OBJ_obj2nid(object)) {
    case NID_sha1:
        return QCryptographicHash::Sha1;
    case NID_sha256:
        return QCryptographicHash::Sha256;
    case NID_sha384:
        return QCryptographicHash::Sha384;
    case NID_sha512:
        return QCryptographicHash::Sha512;
    default:
        return std::nullopt;
    }
}

// The signed content of an Authenticode signature is SpcIndirectDataContent, a SEQUENCE whose
// signature covers the SEQUENCE's contents without its own tag and length.
struct IndirectData {
    QByteArray signedBytes; // the SEQUENCE's contents
    X509SigPtr digestInfo;  // the image's digest algorithm and value
};

std::optional<IndirectData> readIndirectData(PKCS7* signature) {
    PKCS7* contents = signature->d.sign->contents;
    if (contents == nullptr || !hasOid(contents->type, kSpcIndirectDataOid))
        return std::nullopt;
    const ASN1_TYPE* content = contents->d.other;
    if (content == nullptr || content->type != V_ASN1_SEQUENCE)
        return std::nullopt;
    const unsigned char* cursor = ASN1_STRING_get0_data(content->value.sequence);
    const long total = ASN1_STRING_length(content->value.sequence);
    const unsigned char* const end = cursor + total;
    long length = 0;
    int tag = 0;
    int tagClass = 0;
    if (ASN1_get_object(&cursor, &length, &tag, &tagClass, total) & 0x80 || tag != V_ASN1_SEQUENCE)
        return std::nullopt;
    IndirectData data;
    data.signedBytes =
        QByteArray(reinterpret_cast<const char*>(cursor), static_cast<qsizetype>(length));
    // Skip SpcAttributeTypeAndOptionalValue; DigestInfo follows.
    const unsigned char* element = cursor;
    long elementLength = 0;
    if (ASN1_get_object(&element, &elementLength, &tag, &tagClass, end - cursor) & 0x80)
        return std::nullopt;
    element += elementLength;
    if (element >= end)
        return std::nullopt;
    data.digestInfo.reset(d2i_X509_SIG(nullptr, &element, end - element));
    if (!data.digestInfo)
        return std::nullopt;
    return data;
}

std::optional<time_t> asnTimeToUnix(const ASN1_TIME* time) {
    struct tm broken = {};
    if (time == nullptr || ASN1_TIME_to_tm(time, &broken) != 1)
        return std::nullopt;
    return timegm(&broken);
}

class PosixAuthenticodeTrust final : public AuthenticodeTrust {
public:
    explicit PosixAuthenticodeTrust(QByteArray trustAnchorsPem)
        : anchors_(std::move(trustAnchorsPem)) {}

    quint32 verify(const QString& filePath) override {
        signer_.reset();
        return check(filePath);
    }

    SignerAccess locateSignerCertificate() override {
        return signer_ ? SignerAccess::Available : SignerAccess::NoProviderData;
    }

    QByteArray signerCertificateDer() override {
        unsigned char* der = nullptr;
        const int length = i2d_X509(signer_.get(), &der);
        if (length <= 0)
            return {};
        QByteArray bytes(reinterpret_cast<const char*>(der), length);
        OPENSSL_free(der);
        return bytes;
    }

    std::optional<QString> signerName(NameOf which) override {
        return simpleDisplayName(signer_.get(), which == NameOf::Issuer);
    }

    quint32 close() override {
        signer_.reset();
        return wintrust::kSuccess;
    }

private:
    quint32 check(const QString& filePath);
    quint32 checkTimestamp(PKCS7_SIGNER_INFO* signerInfo, X509_STORE* store,
                           RevocationChecker& revocation, std::optional<time_t>& stampedAt);

    QByteArray anchors_;
    X509Ptr signer_;
};

quint32 PosixAuthenticodeTrust::check(const QString& filePath) {
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return wintrust::kFileError;
    // Installers can be large: the file is mapped, not copied.
    const qint64 size = file.size();
    uchar* mapped = size > 0 ? file.map(0, size) : nullptr;
    if (size > 0 && mapped == nullptr)
        return wintrust::kFileError;
    const QByteArray image = QByteArray::fromRawData(reinterpret_cast<const char*>(mapped), size);

    const std::optional<PeLayout> layout = parsePeLayout(image);
    if (!layout)
        return wintrust::kSubjectFormUnknown;
    QByteArray signatureBytes;
    switch (findSignature(image, *layout, signatureBytes)) {
    case CertificateTableStatus::Absent:
    case CertificateTableStatus::Malformed:
        return wintrust::kNoSignature;
    case CertificateTableStatus::TrailingData:
        return wintrust::kBadDigest;
    case CertificateTableStatus::Found:
        break;
    }

    const auto* der = reinterpret_cast<const unsigned char*>(signatureBytes.constData());
    const Pkcs7Ptr signature(d2i_PKCS7(nullptr, &der, static_cast<long>(signatureBytes.size())));
    if (!signature || !PKCS7_type_is_signed(signature.get()))
        return wintrust::kNoSignature;
    std::optional<IndirectData> indirect = readIndirectData(signature.get());
    if (!indirect)
        return wintrust::kNoSignature;
    STACK_OF(PKCS7_SIGNER_INFO)* signerInfos = PKCS7_get_signer_info(signature.get());
    if (sk_PKCS7_SIGNER_INFO_num(signerInfos) != 1)
        return wintrust::kNoSignature;

    // The image digest that the signature vouches for.
    const X509_ALGOR* digestAlgorithm = nullptr;
    const ASN1_OCTET_STRING* signedDigest = nullptr;
    X509_SIG_get0(indirect->digestInfo.get(), &digestAlgorithm, &signedDigest);
    const std::optional<QCryptographicHash::Algorithm> algorithm = hashAlgorithmOf(digestAlgorithm);
    if (!algorithm)
        return wintrust::kUnsupportedAlgorithm;
    const QByteArray actualDigest = authenticodeImageDigest(image, *layout, *algorithm);
    if (actualDigest !=
        QByteArray(reinterpret_cast<const char*>(ASN1_STRING_get0_data(signedDigest)),
                   ASN1_STRING_length(signedDigest)))
        return wintrust::kBadDigest;

    // The signer's signature over the signed content (the chain is judged separately below).
    const BioPtr content(BIO_new_mem_buf(indirect->signedBytes.constData(),
                                         static_cast<int>(indirect->signedBytes.size())));
    if (PKCS7_verify(signature.get(), nullptr, nullptr, content.get(), nullptr, PKCS7_NOVERIFY) !=
        1)
        return wintrust::kBadDigest;
    STACK_OF(X509)* signers = PKCS7_get0_signers(signature.get(), nullptr, 0);
    if (signers == nullptr || sk_X509_num(signers) != 1) {
        sk_X509_free(signers);
        return wintrust::kNoSignature;
    }
    X509Ptr signer(sk_X509_value(signers, 0));
    X509_up_ref(signer.get());
    sk_X509_free(signers);

    const X509StorePtr store = makeTrustStore(anchors_);
    if (!store)
        return wintrust::kFail;
    RevocationChecker revocation;
    std::optional<time_t> stampedAt;
    if (const quint32 code = checkTimestamp(sk_PKCS7_SIGNER_INFO_value(signerInfos, 0), store.get(),
                                            revocation, stampedAt);
        code != wintrust::kSuccess)
        return code;

    X509StackPtr chain;
    if (const quint32 code =
            verifyCertificateChain(store.get(), signer.get(), signature->d.sign->cert, stampedAt,
                                   CertificateUse::CodeSigning, chain);
        code != wintrust::kSuccess)
        return code;
    if (const quint32 code = revocation.check(chain.get()); code != wintrust::kSuccess)
        return code;

    signer_ = std::move(signer);
    return wintrust::kSuccess;
}

// An RFC 3161 timestamp in the signer's unsigned attributes: the token must be signed by a
// time-stamping authority that chains to a trusted root, and must stamp this signature's value.
// Then the signer's chain is judged at the stamped time. No timestamp: judged now.
quint32 PosixAuthenticodeTrust::checkTimestamp(PKCS7_SIGNER_INFO* signerInfo, X509_STORE* store,
                                               RevocationChecker& revocation,
                                               std::optional<time_t>& stampedAt) {
    const STACK_OF(X509_ATTRIBUTE)* unsignedAttributes = signerInfo->unauth_attr;
    const AsnObjectPtr timestampOid(OBJ_txt2obj(kRfc3161TimestampOid, 1));
    const int index = X509at_get_attr_by_OBJ(unsignedAttributes, timestampOid.get(), -1);
    if (index < 0)
        return wintrust::kSuccess;
    X509_ATTRIBUTE* attribute = X509at_get_attr(unsignedAttributes, index);
    const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, 0);
    if (value == nullptr || value->type != V_ASN1_SEQUENCE)
        return wintrust::kTimeStamp;
    const unsigned char* der = ASN1_STRING_get0_data(value->value.sequence);
    const Pkcs7Ptr token(d2i_PKCS7(nullptr, &der, ASN1_STRING_length(value->value.sequence)));
    if (!token || !PKCS7_type_is_signed(token.get()))
        return wintrust::kTimeStamp;
    const TsTstInfoPtr info(PKCS7_to_TS_TST_INFO(token.get()));
    if (!info)
        return wintrust::kTimeStamp;

    // The token's message imprint is the digest of this signature's value.
    const X509_ALGOR* imprintAlgorithm =
        TS_MSG_IMPRINT_get_algo(TS_TST_INFO_get_msg_imprint(info.get()));
    const std::optional<QCryptographicHash::Algorithm> algorithm =
        hashAlgorithmOf(imprintAlgorithm);
    if (!algorithm)
        return wintrust::kTimeStamp;
    const ASN1_OCTET_STRING* signatureValue = signerInfo->enc_digest;
    const QByteArray imprint = QCryptographicHash::hash(
        QByteArrayView(ASN1_STRING_get0_data(signatureValue), ASN1_STRING_length(signatureValue)),
        *algorithm);
    auto* imprintCopy =
        static_cast<unsigned char*>(OPENSSL_memdup(imprint.constData(), imprint.size()));

    const TsVerifyCtxPtr context(TS_VERIFY_CTX_new());
    if (!context || imprintCopy == nullptr) {
        OPENSSL_free(imprintCopy);
        return wintrust::kTimeStamp;
    }
    TS_VERIFY_CTX_set_flags(context.get(), TS_VFY_SIGNATURE | TS_VFY_IMPRINT | TS_VFY_VERSION);
    TS_VERIFY_CTX_set_imprint(context.get(), imprintCopy, static_cast<long>(imprint.size()));
    // The context borrows the store and frees it with itself: give it its own reference.
    X509_STORE_up_ref(store);
    TS_VERIFY_CTX_set_store(context.get(), store);
    if (TS_RESP_verify_token(context.get(), token.get()) != 1)
        return wintrust::kTimeStamp;

    // The authority's chain must be trusted and not revoked, like the signer's.
    STACK_OF(X509)* authorities = PKCS7_get0_signers(token.get(), nullptr, 0);
    if (authorities == nullptr || sk_X509_num(authorities) != 1) {
        sk_X509_free(authorities);
        return wintrust::kTimeStamp;
    }
    X509* authority = sk_X509_value(authorities, 0);
    X509StackPtr chain;
    const quint32 chainCode = verifyCertificateChain(
        store, authority, token->d.sign->cert, std::nullopt, CertificateUse::TimeStamping, chain);
    sk_X509_free(authorities);
    if (chainCode != wintrust::kSuccess)
        return chainCode;
    if (const quint32 code = revocation.check(chain.get()); code != wintrust::kSuccess)
        return code;

    stampedAt = asnTimeToUnix(TS_TST_INFO_get_time(info.get()));
    return stampedAt ? wintrust::kSuccess : wintrust::kTimeStamp;
}

} // namespace

std::unique_ptr<AuthenticodeTrust>
createPlatformAuthenticodeTrust(const QByteArray& trustAnchorsPem) {
    return std::make_unique<PosixAuthenticodeTrust>(trustAnchorsPem);
}
