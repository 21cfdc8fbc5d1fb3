#pragma once

#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

// Owners of OpenSSL objects: each frees its object with the library's own function on every path.
template <auto Free> struct OpenSslFree {
    template <typename T> void operator()(T* object) const { Free(object); }
};

using BioPtr = std::unique_ptr<BIO, OpenSslFree<BIO_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, OpenSslFree<PKCS7_free>>;
using X509Ptr = std::unique_ptr<X509, OpenSslFree<X509_free>>;
using X509CrlPtr = std::unique_ptr<X509_CRL, OpenSslFree<X509_CRL_free>>;
using X509SigPtr = std::unique_ptr<X509_SIG, OpenSslFree<X509_SIG_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, OpenSslFree<X509_STORE_free>>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, OpenSslFree<X509_STORE_CTX_free>>;
using TsTstInfoPtr = std::unique_ptr<TS_TST_INFO, OpenSslFree<TS_TST_INFO_free>>;
using TsVerifyCtxPtr = std::unique_ptr<TS_VERIFY_CTX, OpenSslFree<TS_VERIFY_CTX_free>>;
using AsnObjectPtr = std::unique_ptr<ASN1_OBJECT, OpenSslFree<ASN1_OBJECT_free>>;
using GeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, OpenSslFree<GENERAL_NAMES_free>>;
using DistPointsPtr = std::unique_ptr<CRL_DIST_POINTS, OpenSslFree<CRL_DIST_POINTS_free>>;

struct X509StackFree {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_pop_free(stack, X509_free); }
};
// A stack that owns a reference to each of its certificates.
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackFree>;
