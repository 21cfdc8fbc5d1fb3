// Windows trust request: WinVerifyTrust with the generic Authenticode action, whole-chain
// revocation checking and no user interface, on the installer's open handle; the signer's
// certificate through the WTHelper calls.

#include "authenticode_trust.h"
#include "installer_file.h"
#include "wintrust_codes.h"

// clang-format off
#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>
// clang-format on

#include <string>
#include <vector>

namespace {

constexpr DWORD kNameBufferUnits = 512;
constexpr DWORD kRequestSize = offsetof(WINTRUST_DATA, dwUIContext) + sizeof(DWORD);
static_assert(sizeof(void*) != 8 || kRequestSize == 80, "WINTRUST_DATA up to dwUIContext");
static_assert(sizeof(void*) != 8 || sizeof(WINTRUST_FILE_INFO) == 32, "WINTRUST_FILE_INFO");

// The revocation verdict on a chain that WinTrust built: its first simple chain's elements'
// trust error statuses, leaf first.
quint32 chainRevocationVerdict(const CERT_CHAIN_CONTEXT* chain) {
    if (chain == nullptr || chain->cChain == 0)
        return wintrust::kSuccess;
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    std::vector<quint32> statuses;
    for (DWORD i = 0; i < simple->cElement; ++i)
        statuses.push_back(simple->rgpElement[i]->TrustStatus.dwErrorStatus);
    return wintrust::revocationVerdict(statuses);
}

class WindowsAuthenticodeTrust final : public AuthenticodeTrust {
public:
    quint32 verify(const InstallerFile& file) override {
        // The path reaches WinTrust exactly as the caller gave it, separators included, for its
        // messages; the bytes are read through the handle that the update holds, so that they
        // are the bytes that were hashed and will run.
        path_ = file.path().toStdWString();

        fileInfo_ = {};
        fileInfo_.cbStruct = sizeof(WINTRUST_FILE_INFO);
        fileInfo_.pcwszFilePath = path_.c_str();
        fileInfo_.hFile = reinterpret_cast<HANDLE>(file.nativeHandle());
        fileInfo_.pgKnownSubject = nullptr;
        // WinTrust reads the handle from its current position.
        SetFilePointerEx(fileInfo_.hFile, LARGE_INTEGER{}, nullptr, FILE_BEGIN);

        request_ = {};
        // The layout that ends with dwUIContext (80 bytes on 64-bit Windows).
        request_.cbStruct = kRequestSize;
        request_.pPolicyCallbackData = nullptr;
        request_.pSIPClientData = nullptr;
        request_.dwUIChoice = WTD_UI_NONE;
        request_.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
        request_.dwUnionChoice = WTD_CHOICE_FILE;
        request_.pFile = &fileInfo_;
        request_.dwStateAction = WTD_STATEACTION_VERIFY;
        request_.hWVTStateData = nullptr;
        request_.pwszURLReference = nullptr;
        request_.dwProvFlags = 0;
        request_.dwUIContext = WTD_UICONTEXT_EXECUTE;

        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        const auto result = static_cast<quint32>(WinVerifyTrust(nullptr, &action, &request_));
        if (result != wintrust::kSuccess)
            return result;
        // Windows' default Software Publishing policy accepts a signature whose revocation could
        // not be checked (a CRL server out of reach). The update does not: it looks at the
        // chains that the check built and refuses what they could not prove unrevoked.
        return revocationOfChains();
    }

    SignerAccess locateSignerCertificate() override {
        CRYPT_PROVIDER_DATA* providerData = WTHelperProvDataFromStateData(request_.hWVTStateData);
        if (providerData == nullptr)
            return SignerAccess::NoProviderData;
        CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(providerData, 0, FALSE, 0);
        if (signer == nullptr)
            return SignerAccess::NoSigner;
        CRYPT_PROVIDER_CERT* certificate = WTHelperGetProvCertFromChain(signer, 0);
        if (certificate == nullptr || certificate->pCert == nullptr)
            return SignerAccess::NoCertificate;
        certificate_ = certificate->pCert;
        return SignerAccess::Available;
    }

    QByteArray signerCertificateDer() override {
        return QByteArray(reinterpret_cast<const char*>(certificate_->pbCertEncoded),
                          static_cast<qsizetype>(certificate_->cbCertEncoded));
    }

    QByteArray signerPublicKeyInfoDer() override {
        CERT_PUBLIC_KEY_INFO* key = &certificate_->pCertInfo->SubjectPublicKeyInfo;
        DWORD size = 0;
        if (!CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, key, nullptr, &size))
            return {};
        QByteArray der(static_cast<qsizetype>(size), '\0');
        if (!CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, key,
                               reinterpret_cast<BYTE*>(der.data()), &size))
            return {};
        der.resize(static_cast<qsizetype>(size));
        return der;
    }

    std::optional<QString> signerName(NameOf which) override {
        wchar_t buffer[kNameBufferUnits] = {};
        const DWORD flags = which == NameOf::Issuer ? CERT_NAME_ISSUER_FLAG : 0;
        const DWORD written = CertGetNameStringW(certificate_, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags,
                                                 nullptr, buffer, kNameBufferUnits);
        if (written == 0)
            return std::nullopt;
        return QString::fromWCharArray(buffer);
    }

    quint32 close() override {
        // The state and everything read from it end here; the same request serves the release.
        certificate_ = nullptr;
        request_.dwStateAction = WTD_STATEACTION_CLOSE;
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        return static_cast<quint32>(WinVerifyTrust(nullptr, &action, &request_));
    }

private:
    // The revocation verdict on the signer's chain and on every countersigner's (timestamp)
    // chain. Without a signer there is nothing to judge here; locateSignerCertificate says so.
    quint32 revocationOfChains() const {
        CRYPT_PROVIDER_DATA* providerData = WTHelperProvDataFromStateData(request_.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signer =
            providerData != nullptr ? WTHelperGetProvSignerFromChain(providerData, 0, FALSE, 0)
                                    : nullptr;
        if (signer == nullptr)
            return wintrust::kSuccess;
        quint32 verdict = chainRevocationVerdict(signer->pChainContext);
        for (DWORD i = 0; verdict == wintrust::kSuccess && i < signer->csCounterSigners; ++i)
            verdict = chainRevocationVerdict(signer->pasCounterSigners[i].pChainContext);
        return verdict;
    }

    std::wstring path_;
    WINTRUST_FILE_INFO fileInfo_ = {};
    WINTRUST_DATA request_ = {};
    PCCERT_CONTEXT certificate_ = nullptr;
};

} // namespace

std::unique_ptr<AuthenticodeTrust> createPlatformAuthenticodeTrust(const QByteArray&) {
    return std::make_unique<WindowsAuthenticodeTrust>();
}
