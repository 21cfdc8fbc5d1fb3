#pragma once

// The Authenticode verifier of the POSIX build, on OpenSSL: the verdicts and WinTrust codes that
// WinVerifyTrust gives for the same file (generic verification policy, whole-chain revocation
// checking). A library of its own (updater_posix_verifier), which the updater, the fuzz targets
// and the benchmark link.

#include "byte_source.h"
#include "trust_verdict.h"

#include <QByteArray>

// Verifies the image's signature against the roots of trustAnchorsPem (empty: the system's store,
// /etc/ssl/certs), downloading the CRLs that the chain names.
TrustVerdict verifyAuthenticodeSignature(const ByteSource& image,
                                         const QByteArray& trustAnchorsPem);
