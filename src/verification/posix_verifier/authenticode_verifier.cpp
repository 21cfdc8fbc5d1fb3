// POSIX trust request: an Authenticode verifier on OpenSSL that gives the verdicts and WinTrust
// codes that WinVerifyTrust gives for the same file (generic verification policy, whole-chain
// revocation checking).
//
// Order of the checks: PE form, signature present, image digest, signature over the signed
// content, timestamp (an RFC 3161 token or a legacy countersignature, which fixes the time at
// which the chain is judged, except for a Lifetime Signing signer: now), chain to a trusted root
// with the code-signing usage and keys and signatures of sufficient strength, and revocation of
// every certificate below the roots of the signer's and the timestamp's chains, by complete CRLs.

#include "authenticode_verifier.h"

#include "certificate_chain.h"
#include "digest.h"
#include "openssl_handles.h"
#include "pe_image.h"
#include "wintrust_codes.h"
#include "x509_display_name.h"

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <cstring>

namespace {

constexpr char kSpcIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";
constexpr char kRfc3161TimestampOid[] = "1.3.6.1.4.1.311.3.3.1";
constexpr char kCountersignatureOid[] = "1.2.840.113549.1.9.6";

using SignerInfoPtr = std::unique_ptr<PKCS7_SIGNER_INFO, OpenSslFree<PKCS7_SIGNER_INFO_free>>;
using DigestContextPtr = std::unique_ptr<EVP_MD_CTX, OpenSslFree<EVP_MD_CTX_free>>;

bool hasOid(const ASN1_OBJECT* object, const char* oid) {
    const AsnObjectPtr wanted(OBJ_txt2obj(oid, 1));
    return wanted && object != nullptr && OBJ_cmp(object, wanted.get()) == 0;
}

std::optional<DigestAlgorithm> hashAlgorithmOf(const X509_ALGOR* algorithm) {
    const ASN1_OBJECT* object = nullptr;
    X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
    switch (OBJ_obj2nid(object)) {
    case NID_sha1:
        return DigestAlgorithm::Sha1;
    case NID_sha256:
        return DigestAlgorithm::Sha256;
    case NID_sha384:
        return DigestAlgorithm::Sha384;
    case NID_sha512:
        return DigestAlgorithm::Sha512;
    default:
        return std::nullopt;
    }
}

// Whether every digest algorithm that the signed data lists is one that Authenticode uses. Checked
// before PKCS7_verify, which leaks its copy of the content when it cannot set up a listed digest;
// such a signature could not verify anyway.
bool listsOnlyKnownDigests(PKCS7* signature) {
    const STACK_OF(X509_ALGOR)* algorithms = signature->d.sign->md_algs;
    for (int i = 0; i < sk_X509_ALGOR_num(algorithms); ++i) {
        if (!hashAlgorithmOf(sk_X509_ALGOR_value(algorithms, i)))
            return false;
    }
    return true;
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

// The DER contents of a SEQUENCE-valued unsigned attribute of the signer, or nullopt when the
// attribute is absent. A present attribute of another shape gives an empty view.
std::optional<QByteArrayView> unsignedSequenceAttribute(const PKCS7_SIGNER_INFO* signerInfo,
                                                        const char* oid) {
    const AsnObjectPtr object(OBJ_txt2obj(oid, 1));
    const int index = X509at_get_attr_by_OBJ(signerInfo->unauth_attr, object.get(), -1);
    if (index < 0)
        return std::nullopt;
    const ASN1_TYPE* value =
        X509_ATTRIBUTE_get0_type(X509at_get_attr(signerInfo->unauth_attr, index), 0);
    if (value == nullptr || value->type != V_ASN1_SEQUENCE)
        return QByteArrayView();
    return QByteArrayView(ASN1_STRING_get0_data(value->value.sequence),
                          ASN1_STRING_length(value->value.sequence));
}

// What every timestamp vouches for: the digest of the signer's signature value.
QByteArray digestOfSignatureValue(const PKCS7_SIGNER_INFO* signerInfo, DigestAlgorithm algorithm) {
    const ASN1_OCTET_STRING* value = signerInfo->enc_digest;
    Digest digest(algorithm);
    digest.add(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
               ASN1_STRING_length(value));
    return digest.result();
}

bool sameBytes(const ASN1_OCTET_STRING* octets, const QByteArray& bytes) {
    return octets != nullptr &&
           QByteArrayView(ASN1_STRING_get0_data(octets), ASN1_STRING_length(octets)) == bytes;
}

// The time-stamping authority, whichever form of timestamp it signed, must chain to a trusted root
// with the time-stamping usage at the time it stamped (so an authority whose certificate has
// expired since still vouches for its old stamps, and none vouches for a time before its
// certificate), and no certificate of its chain may be revoked now.
quint32 acceptTimeStampingAuthority(X509_STORE* store, X509* authority,
                                    STACK_OF(X509) * certificates, time_t stampedAt,
                                    RevocationChecker& revocation) {
    X509StackPtr chain;
    if (verifyCertificateChain(store, authority, certificates, stampedAt,
                               CertificateUse::TimeStamping, chain) != wintrust::kSuccess)
        return wintrust::kTimeStamp;
    return revocation.check(chain.get());
}

// The countersigner's signature over its DER-encoded signed attributes (as a SET).
bool countersignatureVerifies(PKCS7_SIGNER_INFO* countersigner, X509* authority) {
    unsigned char* attributes = nullptr;
    const int length = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(countersigner->auth_attr),
                                     &attributes, ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    if (length <= 0)
        return false;
    const EVP_MD* digest = EVP_get_digestbyobj(countersigner->digest_alg->algorithm);
    const DigestContextPtr context(EVP_MD_CTX_new());
    const bool verified =
        digest != nullptr && context &&
        EVP_DigestVerifyInit(context.get(), nullptr, digest, nullptr,
                             X509_get0_pubkey(authority)) == 1 &&
        EVP_DigestVerify(context.get(), ASN1_STRING_get0_data(countersigner->enc_digest),
                         static_cast<size_t>(ASN1_STRING_length(countersigner->enc_digest)),
                         attributes, static_cast<size_t>(length)) == 1;
    OPENSSL_free(attributes);
    return verified;
}

// One verification: the checks in order, the signer kept for the verdict.
class Verification {
public:
    explicit Verification(const QByteArray& anchors) : anchors_(anchors) {}

    quint32 check(const ByteSource& image);
    X509* signer() const { return signer_.get(); }

private:
    quint32 checkTimestamp(PKCS7* signature, PKCS7_SIGNER_INFO* signerInfo, X509_STORE* store,
                           RevocationChecker& revocation, std::optional<time_t>& stampedAt);
    quint32 checkRfc3161Timestamp(QByteArrayView token, PKCS7_SIGNER_INFO* signerInfo,
                                  X509_STORE* store, RevocationChecker& revocation,
                                  std::optional<time_t>& stampedAt);
    quint32 checkLegacyTimestamp(QByteArrayView countersignature, PKCS7* signature,
                                 PKCS7_SIGNER_INFO* signerInfo, X509_STORE* store,
                                 RevocationChecker& revocation, std::optional<time_t>& stampedAt);

    const QByteArray& anchors_;
    X509Ptr signer_;
};

// The DER form of an OpenSSL object; empty when it cannot be encoded.
template <auto Encode, typename T> QByteArray derOf(const T* object) {
    unsigned char* der = nullptr;
    const int length = Encode(object, &der);
    if (length <= 0)
        return {};
    QByteArray bytes(reinterpret_cast<const char*>(der), length);
    OPENSSL_free(der);
    return bytes;
}

// Installers can be large: the image is read through its descriptor a piece at a time (headers,
// certificate table, then the hashed ranges in 1 MiB chunks), never mapped and never held whole.
quint32 Verification::check(const ByteSource& image) {
    const PeSignature located = locateSignature(image);
    if (located.code != wintrust::kSuccess)
        return located.code;
    const PeLayout& layout = located.layout;
    const QByteArray& signatureBytes = located.signature;

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
    const std::optional<DigestAlgorithm> algorithm = hashAlgorithmOf(digestAlgorithm);
    if (!algorithm)
        return wintrust::kUnsupportedAlgorithm;
    const QByteArray actualDigest = authenticodeImageDigest(image, layout, *algorithm);
    if (actualDigest.isEmpty())
        return wintrust::kFileError;
    if (actualDigest !=
        QByteArray(reinterpret_cast<const char*>(ASN1_STRING_get0_data(signedDigest)),
                   ASN1_STRING_length(signedDigest)))
        return wintrust::kBadDigest;

    // The signer's signature over the signed content (the chain is judged separately below).
    if (!listsOnlyKnownDigests(signature.get()))
        return wintrust::kBadDigest;
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
    if (const quint32 code =
            checkTimestamp(signature.get(), sk_PKCS7_SIGNER_INFO_value(signerInfos, 0), store.get(),
                           revocation, stampedAt);
        code != wintrust::kSuccess)
        return code;

    // A Lifetime Signing certificate vouches only while it is valid: judged now, stamp or not.
    if (hasLifetimeSigningUsage(signer.get()))
        stampedAt.reset();
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

// A timestamp in the signer's unsigned attributes fixes the time at which the signer's chain is
// judged: an RFC 3161 token, or else a legacy Authenticode countersignature. Either must be signed
// by a trusted time-stamping authority and stamp this signature's value. No timestamp: judged now.
quint32 Verification::checkTimestamp(PKCS7* signature, PKCS7_SIGNER_INFO* signerInfo,
                                     X509_STORE* store, RevocationChecker& revocation,
                                     std::optional<time_t>& stampedAt) {
    if (const auto token = unsignedSequenceAttribute(signerInfo, kRfc3161TimestampOid))
        return checkRfc3161Timestamp(*token, signerInfo, store, revocation, stampedAt);
    if (const auto countersignature = unsignedSequenceAttribute(signerInfo, kCountersignatureOid))
        return checkLegacyTimestamp(*countersignature, signature, signerInfo, store, revocation,
                                    stampedAt);
    return wintrust::kSuccess;
}

// RFC 3161: a signed TSTInfo whose message imprint is the digest of the signature value.
quint32 Verification::checkRfc3161Timestamp(QByteArrayView tokenBytes,
                                            PKCS7_SIGNER_INFO* signerInfo, X509_STORE* store,
                                            RevocationChecker& revocation,
                                            std::optional<time_t>& stampedAt) {
    const auto* der = reinterpret_cast<const unsigned char*>(tokenBytes.data());
    const Pkcs7Ptr token(d2i_PKCS7(nullptr, &der, static_cast<long>(tokenBytes.size())));
    if (!token || !PKCS7_type_is_signed(token.get()))
        return wintrust::kTimeStamp;
    const TsTstInfoPtr info(PKCS7_to_TS_TST_INFO(token.get()));
    if (!info)
        return wintrust::kTimeStamp;

    const std::optional<time_t> genTime = asnTimeToUnix(TS_TST_INFO_get_time(info.get()));
    if (!genTime)
        return wintrust::kTimeStamp;

    const X509_ALGOR* imprintAlgorithm =
        TS_MSG_IMPRINT_get_algo(TS_TST_INFO_get_msg_imprint(info.get()));
    const std::optional<DigestAlgorithm> algorithm = hashAlgorithmOf(imprintAlgorithm);
    if (!algorithm)
        return wintrust::kTimeStamp;
    const QByteArray imprint = digestOfSignatureValue(signerInfo, *algorithm);
    auto* imprintCopy =
        static_cast<unsigned char*>(OPENSSL_memdup(imprint.constData(), imprint.size()));

    const TsVerifyCtxPtr context(TS_VERIFY_CTX_new());
    // The token's own check of the authority's chain happens at the stamped time too.
    X509StorePtr stampStore = makeTrustStore(anchors_);
    if (!context || imprintCopy == nullptr || !stampStore) {
        OPENSSL_free(imprintCopy);
        return wintrust::kTimeStamp;
    }
    X509_VERIFY_PARAM_set_time(X509_STORE_get0_param(stampStore.get()), *genTime);
    TS_VERIFY_CTX_set_flags(context.get(), TS_VFY_SIGNATURE | TS_VFY_IMPRINT | TS_VFY_VERSION);
    TS_VERIFY_CTX_set_imprint(context.get(), imprintCopy, static_cast<long>(imprint.size()));
    TS_VERIFY_CTX_set_store(context.get(), stampStore.release()); // freed with the context
    if (TS_RESP_verify_token(context.get(), token.get()) != 1)
        return wintrust::kTimeStamp;

    STACK_OF(X509)* authorities = PKCS7_get0_signers(token.get(), nullptr, 0);
    if (authorities == nullptr || sk_X509_num(authorities) != 1) {
        sk_X509_free(authorities);
        return wintrust::kTimeStamp;
    }
    const quint32 code = acceptTimeStampingAuthority(store, sk_X509_value(authorities, 0),
                                                     token->d.sign->cert, *genTime, revocation);
    sk_X509_free(authorities);
    if (code != wintrust::kSuccess)
        return code;
    stampedAt = genTime;
    return wintrust::kSuccess;
}

// Legacy Authenticode: a PKCS#9 countersignature, a SignerInfo whose signed attributes carry the
// digest of the signature value (messageDigest) and the signing time, signed by an authority whose
// certificate came with the signature.
quint32 Verification::checkLegacyTimestamp(QByteArrayView countersignature, PKCS7* signature,
                                           PKCS7_SIGNER_INFO* signerInfo, X509_STORE* store,
                                           RevocationChecker& revocation,
                                           std::optional<time_t>& stampedAt) {
    const auto* der = reinterpret_cast<const unsigned char*>(countersignature.data());
    const SignerInfoPtr countersigner(
        d2i_PKCS7_SIGNER_INFO(nullptr, &der, static_cast<long>(countersignature.size())));
    if (!countersigner || countersigner->issuer_and_serial == nullptr)
        return wintrust::kTimeStamp;
    STACK_OF(X509)* certificates = signature->d.sign->cert;
    X509* authority =
        X509_find_by_issuer_and_serial(certificates, countersigner->issuer_and_serial->issuer,
                                       countersigner->issuer_and_serial->serial);
    if (authority == nullptr)
        return wintrust::kTimeStamp;

    const std::optional<DigestAlgorithm> algorithm = hashAlgorithmOf(countersigner->digest_alg);
    if (!algorithm ||
        !sameBytes(PKCS7_digest_from_attributes(countersigner->auth_attr),
                   digestOfSignatureValue(signerInfo, *algorithm)) ||
        !countersignatureVerifies(countersigner.get(), authority))
        return wintrust::kTimeStamp;
    const ASN1_TYPE* signingTime =
        PKCS7_get_signed_attribute(countersigner.get(), NID_pkcs9_signingTime);
    if (signingTime == nullptr ||
        (signingTime->type != V_ASN1_UTCTIME && signingTime->type != V_ASN1_GENERALIZEDTIME))
        return wintrust::kTimeStamp;

    const std::optional<time_t> signedAt = asnTimeToUnix(signingTime->value.asn1_string);
    if (!signedAt)
        return wintrust::kTimeStamp;

    if (const quint32 code =
            acceptTimeStampingAuthority(store, authority, certificates, *signedAt, revocation);
        code != wintrust::kSuccess)
        return code;
    stampedAt = signedAt;
    return wintrust::kSuccess;
}

} // namespace

TrustVerdict verifyAuthenticodeSignature(const ByteSource& image,
                                         const QByteArray& trustAnchorsPem) {
    Verification verification(trustAnchorsPem);
    TrustVerdict verdict;
    verdict.code = verification.check(image);
    if (verdict.code != wintrust::kSuccess)
        return verdict;
    X509* signer = verification.signer();
    verdict.signer = SignerAccess::Available;
    verdict.certificateDer = derOf<i2d_X509>(signer);
    verdict.publicKeyInfoDer = derOf<i2d_X509_PUBKEY>(X509_get_X509_PUBKEY(signer));
    verdict.subject = simpleDisplayName(signer, false);
    verdict.issuer = simpleDisplayName(signer, true);
    return verdict;
}
