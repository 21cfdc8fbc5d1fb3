#include "x509_display_name.h"

#include "openssl_handles.h"

#include <openssl/x509v3.h>

namespace {

constexpr qsizetype kMaximumNameUnits = 511; // a 512-unit buffer with its terminator

QString textOf(const ASN1_STRING* value) {
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, value);
    if (length < 0)
        return {};
    QString text = QString::fromUtf8(reinterpret_cast<const char*>(utf8), length);
    OPENSSL_free(utf8);
    return text;
}

QString limited(QString text) {
    const qsizetype nul = text.indexOf(QChar(u'\0'));
    if (nul >= 0)
        text.truncate(nul);
    if (text.size() > kMaximumNameUnits)
        text.truncate(kMaximumNameUnits);
    return text;
}

} // namespace

QString simpleDisplayName(X509* certificate, bool issuer) {
    X509_NAME* name =
        issuer ? X509_get_issuer_name(certificate) : X509_get_subject_name(certificate);
    for (const int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName,
                          NID_pkcs9_emailAddress}) {
        const int index = X509_NAME_get_index_by_NID(name, nid, -1);
        if (index >= 0)
            return limited(textOf(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index))));
    }
    const GeneralNamesPtr alternativeNames(static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(
        certificate, issuer ? NID_issuer_alt_name : NID_subject_alt_name, nullptr, nullptr)));
    if (alternativeNames) {
        for (int i = 0; i < sk_GENERAL_NAME_num(alternativeNames.get()); ++i) {
            const GENERAL_NAME* entry = sk_GENERAL_NAME_value(alternativeNames.get(), i);
            if (entry->type == GEN_EMAIL)
                return limited(textOf(entry->d.rfc822Name));
        }
    }
    if (X509_NAME_entry_count(name) > 0)
        return limited(textOf(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, 0))));
    return {};
}
