// Windows trust request: WinVerifyTrust with the generic Authenticode action, whole-chain
// revocation checking and no user interface; the signer's certificate through the WTHelper calls.

#include "authenticode_trust.h"

// clang-format off
#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>
// clang-format on

#include <string>

namespace {

constexpr DWORD kNameBufferUnits = 512;
constexpr DWORD kRequestSize = offsetof(WINTRUST_DATA, dwUIContext) + sizeof(DWORD);
static_assert(sizeof(void*) != 8 || kRequestSize == 80, "WINTRUST_DATA up to dwUIContext");
static_assert(sizeof(void*) != 8 || sizeof(WINTRUST_FILE_INFO) == 32, "WINTRUST_FILE_INFO");

class WindowsAuthenticodeTrust final : public AuthenticodeTrust {
public:
    quint32 verify(const QString& filePath) override {
        // The path reaches WinTrust exactly as the caller gave it, separators included.
        path_ = filePath.toStdWString();

        fileInfo_ = {};
        fileInfo_.cbStruct = sizeof(WINTRUST_FILE_INFO);
        fileInfo_.pcwszFilePath = path_.c_str();
        fileInfo_.hFile = nullptr;
        fileInfo_.pgKnownSubject = nullptr;

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
        return static_cast<quint32>(WinVerifyTrust(nullptr, &action, &request_));
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
    std::wstring path_;
    WINTRUST_FILE_INFO fileInfo_ = {};
    WINTRUST_DATA request_ = {};
    PCCERT_CONTEXT certificate_ = nullptr;
};

} // namespace

std::unique_ptr<AuthenticodeTrust> createPlatformAuthenticodeTrust(const QByteArray&) {
    return std::make_unique<WindowsAuthenticodeTrust>();
}
