#pragma once

#include "evidence/crypto.h"
#include "scriptedhttpserver.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

/// A time-stamping authority made in memory for tests: a CA (its own key and
/// self-signed certificate) and a TSA key whose certificate the CA issued
/// with the critical extended key usage timeStamping. It answers
/// TimeStampReq bodies as a real authority would.
class TestAuthority {
public:
    /// name goes into both subjects ("<name> CA", "<name> TSA"). With
    /// expiredYearsAgo > 0, the certificates ran out that many years ago and
    /// tokens carry a time from within their validity.
    explicit TestAuthority(const QString &name = QStringLiteral("Nivet Test"), int expiredYearsAgo = 0);

    /// The CA certificate as PEM, what `--tsa-ca` takes.
    QByteArray caPem() const;
    /// The TSA certificate's subject in one-line form.
    QString tsaName() const;

    /// The DER TimeStampResp for a DER TimeStampReq (a rejection for a bad one);
    /// its time has milliseconds, always 123.
    QByteArray respond(const QByteArray &request) const;
    /// Serves POST application/timestamp-query with application/timestamp-reply;
    /// the authority must outlive the server it is given to.
    ScriptedHttpServer::Handler handler() const;

private:
    QString m_name;
    Crypto::Handle<EVP_PKEY, EVP_PKEY_free> m_caKey;
    Crypto::Handle<X509, X509_free> m_ca;
    Crypto::Handle<EVP_PKEY, EVP_PKEY_free> m_tsaKey;
    Crypto::Handle<X509, X509_free> m_tsa;
    long m_timeOffset = 0; // seconds added to now for the tokens' time
};
