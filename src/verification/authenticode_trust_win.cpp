// Windows trust check: the image's form (pe_image.h), then WinVerifyTrust with the generic
// Authenticode action, whole-chain revocation checking and no user interface, on the handle of
// the installer's private copy; the signer's certificate through the WTHelper calls; the release.

#include "authenticode_trust.h"
#include "installer_file.h"
#include "pe_image.h"
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

// One WinVerifyTrust request: the check that leaves a state, what is read of the first signer
// while the state lives, and the release.
class TrustRequest {
public:
    explicit TrustRequest(const InstallerFile& file) : path_(file.copyPath().toStdWString()) {
        fileInfo_.cbStruct = sizeof(WINTRUST_FILE_INFO);
        // The bytes are read through the handle of the held copy, so that they are the bytes
        // that were hashed and will run; its path is there for WinTrust's own messages.
        fileInfo_.pcwszFilePath = path_.c_str();
        fileInfo_.hFile = file.nativeHandle();
        fileInfo_.pgKnownSubject = nullptr;
        // WinTrust reads the handle from its current position.
        SetFilePointerEx(fileInfo_.hFile, LARGE_INTEGER{}, nullptr, FILE_BEGIN);

        // The layout that ends with dwUIContext (80 bytes on 64-bit Windows).
        request_.cbStruct = kRequestSize;
        request_.pPolicyCallbackData = nullptr;
        request_.pSIPClientData = nullptr;
        request_.dwUIChoice = WTD_UI_NONE;
        request_.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
        request_.dwUnionChoice = WTD_CHOICE_FILE;
        request_.pFile = &fileInfo_;
        request_.hWVTStateData = nullptr;
        request_.pwszURLReference = nullptr;
        request_.dwProvFlags = 0;
        request_.dwUIContext = WTD_UICONTEXT_EXECUTE;
    }

    quint32 verify() { return call(WTD_STATEACTION_VERIFY); }
    quint32 release() { return call(WTD_STATEACTION_CLOSE); }

    // The first signer (not a countersigner) in the state of the check, or null.
    CRYPT_PROVIDER_SGNR* signer(SignerAccess& access) const {
        CRYPT_PROVIDER_DATA* providerData = WTHelperProvDataFromStateData(request_.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signer =
            providerData != nullptr ? WTHelperGetProvSignerFromChain(providerData, 0, FALSE, 0)
                                    : nullptr;
        access = providerData == nullptr ? SignerAccess::NoProviderData
                 : signer == nullptr     ? SignerAccess::NoSigner
                                         : SignerAccess::Available;
        return signer;
    }

private:
    quint32 call(DWORD action) {
        request_.dwStateAction = action;
        GUID verifyV2 = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        return static_cast<quint32>(WinVerifyTrust(nullptr, &verifyV2, &request_));
    }

    std::wstring path_;
    WINTRUST_FILE_INFO fileInfo_ = {};
    WINTRUST_DATA request_ = {};
};

// The revocation verdict on the signer's chain and on every countersigner's (timestamp) chain.
quint32 revocationOfChains(const CRYPT_PROVIDER_SGNR* signer) {
    if (signer == nullptr)
        return wintrust::kSuccess;
    quint32 verdict = chainRevocationVerdict(signer->pChainContext);
    for (DWORD i = 0; verdict == wintrust::kSuccess && i < signer->csCounterSigners; ++i)
        verdict = chainRevocationVerdict(signer->pasCounterSigners[i].pChainContext);
    return verdict;
}

QByteArray publicKeyInfoDer(PCCERT_CONTEXT certificate) {
    CERT_PUBLIC_KEY_INFO* key = &certificate->pCertInfo->SubjectPublicKeyInfo;
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

std::optional<QString> simpleDisplayName(PCCERT_CONTEXT certificate, DWORD flags) {
    wchar_t buffer[kNameBufferUnits] = {};
    const DWORD written = CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags,
                                             nullptr, buffer, kNameBufferUnits);
    if (written == 0)
        return std::nullopt;
    return QString::fromWCharArray(buffer);
}

class WindowsAuthenticodeTrust final : public AuthenticodeTrust {
public:
    TrustVerdict check(const InstallerFile& file) override {
        TrustVerdict verdict;
        // The image's form first, with the verifier's own codes on every platform: Windows
        // without the opt-in EnableCertPaddingCheck accepts bytes after the signature that no
        // digest covers.
        verdict.code = locateSignature(file).code;
        if (verdict.code != wintrust::kSuccess)
            return verdict;

        TrustRequest request(file);
        verdict.code = request.verify();
        CRYPT_PROVIDER_SGNR* signer = nullptr;
        // Windows' default Software Publishing policy accepts a signature whose revocation could
        // not be checked (a CRL server out of reach). The update does not: it looks at the
        // chains that the check built and refuses what they could not prove unrevoked.
        if (verdict.code == wintrust::kSuccess) {
            signer = request.signer(verdict.signer);
            verdict.code = revocationOfChains(signer);
        }
        if (verdict.code != wintrust::kSuccess) {
            request.release(); // its result changes nothing here
            return verdict;
        }
        CRYPT_PROVIDER_CERT* certificate =
            signer != nullptr ? WTHelperGetProvCertFromChain(signer, 0) : nullptr;
        if (verdict.signer == SignerAccess::Available &&
            (certificate == nullptr || certificate->pCert == nullptr))
            verdict.signer = SignerAccess::NoCertificate;
        if (verdict.signer == SignerAccess::Available) {
            // Everything is read from the state before it is released.
            const PCCERT_CONTEXT context = certificate->pCert;
            verdict.certificateDer =
                QByteArray(reinterpret_cast<const char*>(context->pbCertEncoded),
                           static_cast<qsizetype>(context->cbCertEncoded));
            verdict.publicKeyInfoDer = publicKeyInfoDer(context);
            verdict.subject = simpleDisplayName(context, 0);
            verdict.issuer = simpleDisplayName(context, CERT_NAME_ISSUER_FLAG);
        }
        verdict.releaseCode = request.release();
        return verdict;
    }
};

} // namespace

std::unique_ptr<AuthenticodeTrust> createPlatformAuthenticodeTrust(const QByteArray&) {
    return std::make_unique<WindowsAuthenticodeTrust>();
}
