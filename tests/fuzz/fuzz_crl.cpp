// A hostile CRL server: the input is the CRL served at the distribution point of a certificate of
// the TEST publisher (a stand-in CA here: the revocation check reads the certificate's names,
// serial and distribution point, never its signature). An input that parses as a CRL is signed
// again with the publisher's key, so that the checks behind the signature check are reached too.

#include "verification/posix_verifier/certificate_chain.h"

#include <openssl/pem.h>

#include <cstdint>
#include <cstdlib>

namespace {

struct Issuer {
    X509Ptr certificate;
    std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY_free>> key;
    X509Ptr subject; // the certificate whose revocation is checked
};

const Issuer& issuer() {
    static const Issuer made = [] {
        Issuer issuer;
        const BioPtr certificate(BIO_new_file(TEST_PKI_DIR "/test-publisher.pem", "r"));
        const BioPtr key(BIO_new_file(TEST_PKI_DIR "/test-publisher.key.pem", "r"));
        issuer.certificate.reset(PEM_read_bio_X509(certificate.get(), nullptr, nullptr, nullptr));
        issuer.key.reset(PEM_read_bio_PrivateKey(key.get(), nullptr, nullptr, nullptr));
        issuer.subject.reset(X509_new());
        X509_EXTENSION* point = X509V3_EXT_conf_nid(nullptr, nullptr, NID_crl_distribution_points,
                                                    "URI:http://127.0.0.1:48213/fuzz.crl");
        if (!issuer.certificate || !issuer.key || !issuer.subject || point == nullptr ||
            X509_set_issuer_name(issuer.subject.get(),
                                 X509_get_subject_name(issuer.certificate.get())) != 1 ||
            ASN1_INTEGER_set(X509_get_serialNumber(issuer.subject.get()), 0x1234) != 1 ||
            X509_add_ext(issuer.subject.get(), point, -1) != 1)
            std::abort();
        X509_EXTENSION_free(point);
        return issuer;
    }();
    return made;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Issuer& ca = issuer();
    QByteArray served(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const unsigned char* cursor = data;
    const X509CrlPtr crl(d2i_X509_CRL(nullptr, &cursor, static_cast<long>(size)));
    if (crl && X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(ca.certificate.get())) &&
        X509_CRL_sign(crl.get(), ca.key.get(), EVP_sha256()) > 0) {
        unsigned char* der = nullptr;
        const int length = i2d_X509_CRL(crl.get(), &der);
        if (length > 0)
            served = QByteArray(reinterpret_cast<const char*>(der), length);
        OPENSSL_free(der);
    }
    X509StackPtr chain(sk_X509_new_null());
    for (X509* certificate : {ca.subject.get(), ca.certificate.get()}) {
        X509_up_ref(certificate);
        sk_X509_push(chain.get(), certificate);
    }
    RevocationChecker([&](const QString&) {
        return std::optional<QByteArray>(served);
    }).check(chain.get());
    return 0;
}
