// Adds a PEM certificate to the local machine's "Root" store: how a Windows test machine is set
// up to trust the TEST root of tests/pki. The Windows suite runs it once in its fresh Wine prefix;
// on a real Windows test machine an administrator runs it once. Plain Win32, no Qt.
//
//   trust-test-root CERTIFICATE.pem
//
// Exit code 0 when the certificate is in the store, 1 when it is not, 2 on a usage error.

#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: trust-test-root CERTIFICATE.pem\n", stderr);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::string pem((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    DWORD size = 0;
    if (pem.empty() ||
        !CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                              nullptr, &size, nullptr, nullptr)) {
        std::fprintf(stderr, "trust-test-root: no PEM certificate in %s\n", argv[1]);
        return 1;
    }
    std::vector<BYTE> der(size);
    CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                         der.data(), &size, nullptr, nullptr);

    const HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == nullptr) {
        std::fprintf(stderr, "trust-test-root: CertOpenStore failed: %lu\n", GetLastError());
        return 1;
    }
    const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    const DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
        std::fprintf(stderr, "trust-test-root: CertAddEncodedCertificateToStore failed: %lu\n",
                     error);
        return 1;
    }
    std::printf("trust-test-root: %s is a trusted root of this machine\n", argv[1]);
    return 0;
}
