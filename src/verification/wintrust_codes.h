#pragma once

#include <QtGlobal>

#include <vector>

// The WinTrust and CryptoAPI result codes that a trust check can give. The POSIX verifier gives
// the code that Windows gives for the same cause, so the update log reads the same everywhere.
namespace wintrust {

constexpr quint32 kSuccess = 0;
constexpr quint32 kNoSignature = 0x800b0100;          // TRUST_E_NOSIGNATURE
constexpr quint32 kSubjectFormUnknown = 0x800b0003;   // TRUST_E_SUBJECT_FORM_UNKNOWN
constexpr quint32 kBadDigest = 0x80096010;            // TRUST_E_BAD_DIGEST
constexpr quint32 kUnsupportedAlgorithm = 0x80090008; // NTE_BAD_ALGID
constexpr quint32 kCertificateSignature = 0x80096004; // TRUST_E_CERT_SIGNATURE
constexpr quint32 kTimeStamp = 0x80096005;            // TRUST_E_TIME_STAMP
constexpr quint32 kUntrustedRoot = 0x800b0109;        // CERT_E_UNTRUSTEDROOT
constexpr quint32 kChaining = 0x800b010a;             // CERT_E_CHAINING
constexpr quint32 kExpired = 0x800b0101;              // CERT_E_EXPIRED
constexpr quint32 kWrongUsage = 0x800b0110;           // CERT_E_WRONG_USAGE
constexpr quint32 kRevoked = 0x800b010c;              // CERT_E_REVOKED
constexpr quint32 kRevocationOffline = 0x80092013;    // CRYPT_E_REVOCATION_OFFLINE
constexpr quint32 kNoRevocationCheck = 0x80092012;    // CRYPT_E_NO_REVOCATION_CHECK
constexpr quint32 kFileError = 0x80092003;            // CRYPT_E_FILE_ERROR
constexpr quint32 kBasicConstraints = 0x80096019;     // TRUST_E_BASIC_CONSTRAINTS
constexpr quint32 kFail = 0x800b010b;                 // TRUST_E_FAIL

// Bits of a chain element's trust error status (CERT_TRUST_STATUS.dwErrorStatus) that say that the
// certificate's revocation could not be established.
constexpr quint32 kStatusRevocationUnknown = 0x00000040; // CERT_TRUST_REVOCATION_STATUS_UNKNOWN
constexpr quint32 kStatusOfflineRevocation = 0x01000000; // CERT_TRUST_IS_OFFLINE_REVOCATION

// The revocation verdict on one certificate chain from its elements' trust error statuses, leaf
// first and root last: CRYPT_E_REVOCATION_OFFLINE when the revocation of any certificate below
// the root could not be established, else 0. A root is trusted as such; no CRL speaks for it.
inline quint32 revocationVerdict(const std::vector<quint32>& chainStatuses) {
    for (std::size_t i = 0; i + 1 < chainStatuses.size(); ++i) {
        if ((chainStatuses[i] & (kStatusRevocationUnknown | kStatusOfflineRevocation)) != 0)
            return kRevocationOffline;
    }
    return kSuccess;
}

} // namespace wintrust
