#pragma once

#include "crl_server.h"
#include "test_environment.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include <openssl/pem.h>
#include <openssl/x509.h>

// Helpers over the committed test PKI (tests/pki).

inline QByteArray readFixture(const QString& name) {
    QFile file(QDir(testPkiDirectory()).filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Copies a fixture into the test's own TEMP and returns the copy's path.
inline QString copyFixture(const ScopedTemp& temp, const QString& name, const QString& as = {}) {
    return temp.writeFile(as.isEmpty() ? name : as, readFixture(name));
}

// Upper-case SHA-256 thumbprint of a PEM certificate fixture ("test-publisher" and so on).
inline QByteArray thumbprintOf(const QString& certificate) {
    const QByteArray pem = readFixture(certificate + QStringLiteral(".pem"));
    BIO* bio = BIO_new_mem_buf(pem.constData(), static_cast<int>(pem.size()));
    X509* x509 = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    unsigned char* der = nullptr;
    const int length = x509 != nullptr ? i2d_X509(x509, &der) : -1;
    X509_free(x509);
    if (length <= 0)
        return {};
    const QByteArray bytes(reinterpret_cast<const char*>(der), length);
    OPENSSL_free(der);
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toUpper();
}

inline const QString kIssuerName =
    QStringLiteral("Quindlebrookware TEST Code Signing CA - NOT FOR PRODUCTION");

// The lines of a trusted, pinned signature after the start line.
inline QStringList passingLines(const QByteArray& thumbprint, const QString& subject) {
    return {QStringLiteral("Windows Authenticode trust verification PASSED."),
            QStringLiteral("Certificate revocation checking PASSED."),
            QStringLiteral("Signer certificate SHA-256 thumbprint: ") +
                QString::fromLatin1(thumbprint),
            QStringLiteral("Certificate thumbprint PIN PASSED."),
            QStringLiteral("Signer certificate subject: ") + subject,
            QStringLiteral("Signer certificate issuer: ") + kIssuerName,
            QStringLiteral("Strict Authenticode verification PASSED."),
            QStringLiteral("Certificate identity pinning PASSED.")};
}
