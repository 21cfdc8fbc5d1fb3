#pragma once

#include <QString>

#include <openssl/x509.h>

// The simple display name of a certificate's subject or issuer, chosen as Windows chooses it for
// CERT_NAME_SIMPLE_DISPLAY_TYPE: the first common name, else organizational unit, else
// organization, else e-mail address attribute; else the first rfc822Name of the alternative-name
// extension; else the first attribute of the name; else empty. At most 511 characters, up to the
// first NUL, as a 512-unit buffer holds it.
QString simpleDisplayName(X509* certificate, bool issuer);
