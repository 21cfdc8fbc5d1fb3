// Adds a legacy Authenticode timestamp to a signed PE image: a PKCS#9 countersignature (unsigned
// attribute 1.2.840.113549.1.9.6) over the first signer's encryptedDigest, made with a
// time-stamping authority's key at a chosen time, with the authority's certificate added to the
// signature's certificate set; the certificate table is rewritten at the end of the image. Used by
// tests/pki/make-test-pki.sh to build TEST fixtures.
//
// Usage: add_legacy_countersignature <in.exe> <out.exe> <tsa.pem> <tsa.key.pem> <unix time>
//        [--damage]
// --damage flips one bit of the countersignature's own signature value.

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

namespace {

template <typename T, void (*Free)(T*)> struct Deleter {
    void operator()(T* pointer) const { Free(pointer); }
};
using Pkcs7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7, PKCS7_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using SignerInfoPtr =
    std::unique_ptr<PKCS7_SIGNER_INFO, Deleter<PKCS7_SIGNER_INFO, PKCS7_SIGNER_INFO_free>>;

int fail(const char* what) {
    std::fprintf(stderr, "add_legacy_countersignature: %s\n", what);
    return 1;
}

std::uint32_t readLe32(const std::vector<unsigned char>& bytes, std::size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
           static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

void writeLe32(std::vector<unsigned char>& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

// Offset of the certificate-table directory entry (security directory) of a PE32/PE32+ image.
std::size_t securityDirectoryOffset(const std::vector<unsigned char>& image) {
    const std::size_t pe = readLe32(image, 0x3c);
    const bool pe32Plus = image[pe + 24] == 0x0b && image[pe + 25] == 0x02;
    return pe + 24 + (pe32Plus ? 112 : 96) + 4 * 8;
}

// The optional header's CheckSum: 16-bit one's-complement-style sum of the image without the field
// itself, plus the image's length.
void updateChecksum(std::vector<unsigned char>& image) {
    const std::size_t field = readLe32(image, 0x3c) + 24 + 64;
    std::uint64_t sum = 0;
    for (std::size_t at = 0; at < image.size(); at += 2) {
        if (at >= field && at < field + 4)
            continue;
        sum += image[at] | (at + 1 < image.size() ? image[at + 1] << 8 : 0);
        sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    writeLe32(image, field, static_cast<std::uint32_t>(sum + image.size()));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 6 && !(argc == 7 && std::strcmp(argv[6], "--damage") == 0))
        return fail("usage: <in.exe> <out.exe> <tsa.pem> <tsa.key.pem> <unix time> [--damage]");
    const bool damage = argc == 7;

    std::ifstream input(argv[1], std::ios::binary);
    std::vector<unsigned char> image{std::istreambuf_iterator<char>(input),
                                     std::istreambuf_iterator<char>()};
    if (image.size() < 0x200)
        return fail("cannot read the image");
    const std::size_t directory = securityDirectoryOffset(image);
    const std::size_t table = readLe32(image, directory);
    if (table == 0 || table + 8 > image.size())
        return fail("the image is not signed");
    // WIN_CERTIFICATE: length, revision, type, then the DER signature.
    const unsigned char* der = image.data() + table + 8;
    Pkcs7Ptr signature(d2i_PKCS7(nullptr, &der, readLe32(image, table) - 8));
    if (!signature || !PKCS7_type_is_signed(signature.get()))
        return fail("not a signed PKCS#7");
    PKCS7_SIGNER_INFO* signer =
        sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(signature.get()), 0);
    if (signer == nullptr)
        return fail("no signer");

    FILE* certFile = std::fopen(argv[3], "r");
    FILE* keyFile = std::fopen(argv[4], "r");
    if (certFile == nullptr || keyFile == nullptr)
        return fail("cannot open the authority's certificate or key");
    X509Ptr authority(PEM_read_X509(certFile, nullptr, nullptr, nullptr));
    KeyPtr key(PEM_read_PrivateKey(keyFile, nullptr, nullptr, nullptr));
    std::fclose(certFile);
    std::fclose(keyFile);
    if (!authority || !key)
        return fail("cannot read the authority's certificate or key");

    // The countersigner's signed attributes: content type data, the signing time and the digest
    // of the signer's encryptedDigest.
    SignerInfoPtr counter(PKCS7_SIGNER_INFO_new());
    if (!counter ||
        PKCS7_SIGNER_INFO_set(counter.get(), authority.get(), key.get(), EVP_sha256()) != 1)
        return fail("cannot set up the countersignature");
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(ASN1_STRING_get0_data(signer->enc_digest),
                   ASN1_STRING_length(signer->enc_digest), digest, &digestLength, EVP_sha256(),
                   nullptr) != 1)
        return fail("cannot digest the signature value");
    ASN1_OCTET_STRING* messageDigest = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(messageDigest, digest, static_cast<int>(digestLength));
    ASN1_UTCTIME* signingTime = ASN1_UTCTIME_set(nullptr, std::strtoll(argv[5], nullptr, 10));
    if (PKCS7_add_signed_attribute(counter.get(), NID_pkcs9_contentType, V_ASN1_OBJECT,
                                   OBJ_nid2obj(NID_pkcs7_data)) != 1 ||
        PKCS7_add_signed_attribute(counter.get(), NID_pkcs9_signingTime, V_ASN1_UTCTIME,
                                   signingTime) != 1 ||
        PKCS7_add_signed_attribute(counter.get(), NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING,
                                   messageDigest) != 1 ||
        PKCS7_SIGNER_INFO_sign(counter.get()) != 1)
        return fail("cannot sign the countersignature");
    if (damage) {
        auto* bytes = const_cast<unsigned char*>(ASN1_STRING_get0_data(counter->enc_digest));
        bytes[ASN1_STRING_length(counter->enc_digest) / 2] ^= 0x01;
    }

    unsigned char* counterDer = nullptr;
    const int counterLength = i2d_PKCS7_SIGNER_INFO(counter.get(), &counterDer);
    if (counterLength <= 0)
        return fail("cannot encode the countersignature");
    ASN1_STRING* sequence = ASN1_STRING_new();
    ASN1_STRING_set(sequence, counterDer, counterLength);
    OPENSSL_free(counterDer);
    if (PKCS7_add_attribute(signer, NID_pkcs9_countersignature, V_ASN1_SEQUENCE, sequence) != 1 ||
        PKCS7_add_certificate(signature.get(), authority.get()) != 1)
        return fail("cannot add the countersignature");

    unsigned char* newDer = nullptr;
    const int newLength = i2d_PKCS7(signature.get(), &newDer);
    if (newLength <= 0)
        return fail("cannot encode the signature");
    image.resize(table + 8);
    image.insert(image.end(), newDer, newDer + newLength);
    OPENSSL_free(newDer);
    image.resize((image.size() + 7) / 8 * 8, 0);
    writeLe32(image, table, static_cast<std::uint32_t>(8 + newLength));
    writeLe32(image, directory + 4, static_cast<std::uint32_t>(image.size() - table));
    updateChecksum(image);

    std::ofstream output(argv[2], std::ios::binary | std::ios::trunc);
    output.write(reinterpret_cast<const char*>(image.data()),
                 static_cast<std::streamsize>(image.size()));
    return output.flush() ? 0 : fail("cannot write the image");
}
