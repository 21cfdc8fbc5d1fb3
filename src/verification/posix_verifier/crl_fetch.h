#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Downloads a certificate revocation list over plain HTTP (the scheme of CRL distribution points;
// a CRL is signed, so it needs no transport security). Bounded in time and size; no redirects.
// nullopt when the list cannot be had.
std::optional<QByteArray> fetchCrl(const QString& url);
