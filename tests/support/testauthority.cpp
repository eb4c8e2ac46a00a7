#include "testauthority.h"

#include <openssl/pem.h>
#include <openssl/ts.h>
#include <openssl/x509v3.h>

#include <ctime>

namespace {

constexpr long kYear = 365L * 24 * 3600;

void check(bool ok, const char *what)
{
    if (!ok)
        qFatal("Test authority: %s failed", what);
}

// A certificate for key under issuer (itself when issuer is null), valid
// from notBefore to notAfter seconds from now, with the given extensions.
Crypto::Handle<X509, X509_free> certificate(const QString &subject, EVP_PKEY *key, X509 *issuer, EVP_PKEY *issuerKey,
    long notBefore, long notAfter, const QList<QPair<int, const char *>> &extensions)
{
    Crypto::Handle<X509, X509_free> cert(X509_new());
    X509_NAME *name = X509_get_subject_name(cert.get());
    check(X509_set_version(cert.get(), X509_VERSION_3)
            && ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), issuer ? 2 : 1)
            && X509_gmtime_adj(X509_getm_notBefore(cert.get()), notBefore)
            && X509_gmtime_adj(X509_getm_notAfter(cert.get()), notAfter)
            && X509_NAME_add_entry_by_txt(
                name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>("Nivet Tests"), -1, -1, 0)
            && X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                reinterpret_cast<const unsigned char *>(subject.toUtf8().constData()), -1, -1, 0)
            && X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name)
            && X509_set_pubkey(cert.get(), key),
        "certificate fields");
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
    for (const auto &[nid, value] : extensions) {
        Crypto::Handle<X509_EXTENSION, X509_EXTENSION_free> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
        check(ext && X509_add_ext(cert.get(), ext.get(), -1), "certificate extension");
    }
    check(X509_sign(cert.get(), issuerKey, EVP_sha256()) > 0, "certificate signature");
    return cert;
}

// The tokens' time: now, moved by the authority's offset, at 123 ms past the second.
int tokenTime(TS_RESP_CTX *, void *offset, long *seconds, long *microseconds)
{
    *seconds = static_cast<long>(std::time(nullptr)) + *static_cast<const long *>(offset);
    *microseconds = 123000;
    return 1;
}

} // namespace

TestAuthority::TestAuthority(const QString &name, int expiredYearsAgo)
    : m_name(name)
    , m_caKey(EVP_EC_gen("P-256"))
    , m_tsaKey(EVP_EC_gen("P-256"))
{
    check(m_caKey && m_tsaKey, "key generation");
    // Valid for ten years: from a day ago, or until expiredYearsAgo.
    const long end = expiredYearsAgo > 0 ? -expiredYearsAgo * kYear : 10 * kYear;
    const long begin = expiredYearsAgo > 0 ? end - 10 * kYear : -24 * 3600;
    m_timeOffset = expiredYearsAgo > 0 ? end - 5 * kYear : 0;
    m_ca = certificate(name + QStringLiteral(" CA"), m_caKey.get(), nullptr, m_caKey.get(), begin, end,
        { { NID_basic_constraints, "critical,CA:TRUE" }, { NID_key_usage, "critical,keyCertSign,cRLSign" },
            { NID_subject_key_identifier, "hash" } });
    m_tsa = certificate(name + QStringLiteral(" TSA"), m_tsaKey.get(), m_ca.get(), m_caKey.get(), begin, end,
        { { NID_basic_constraints, "critical,CA:FALSE" }, { NID_key_usage, "critical,digitalSignature" },
            { NID_ext_key_usage, "critical,timeStamping" }, { NID_subject_key_identifier, "hash" },
            { NID_authority_key_identifier, "keyid:always" } });
}

QByteArray TestAuthority::caPem() const
{
    Crypto::Handle<BIO, BIO_free> bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(bio.get(), m_ca.get());
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, length);
}

QString TestAuthority::tsaName() const
{
    return QStringLiteral("O = Nivet Tests, CN = %1 TSA").arg(m_name);
}

QByteArray TestAuthority::respond(const QByteArray &request) const
{
    Crypto::Handle<TS_RESP_CTX, TS_RESP_CTX_free> ctx(TS_RESP_CTX_new());
    Crypto::Handle<ASN1_OBJECT, ASN1_OBJECT_free> policy(OBJ_txt2obj("1.3.6.1.4.1.4146.2.3", 1));
    check(ctx && policy && TS_RESP_CTX_set_signer_cert(ctx.get(), m_tsa.get())
            && TS_RESP_CTX_set_signer_key(ctx.get(), m_tsaKey.get())
            && TS_RESP_CTX_set_signer_digest(ctx.get(), EVP_sha256())
            && TS_RESP_CTX_set_def_policy(ctx.get(), policy.get()) && TS_RESP_CTX_add_md(ctx.get(), EVP_sha256())
            && TS_RESP_CTX_set_clock_precision_digits(ctx.get(), 3),
        "response context");
    TS_RESP_CTX_set_time_cb(ctx.get(), tokenTime, const_cast<long *>(&m_timeOffset));
    Crypto::Handle<BIO, BIO_free> in(BIO_new_mem_buf(request.constData(), static_cast<int>(request.size())));
    Crypto::Handle<TS_RESP, TS_RESP_free> response(TS_RESP_create_response(ctx.get(), in.get()));
    check(bool(response), "response");
    unsigned char *der = nullptr;
    const int length = i2d_TS_RESP(response.get(), &der);
    QByteArray out(reinterpret_cast<const char *>(der), length);
    OPENSSL_free(der);
    return out;
}

ScriptedHttpServer::Handler TestAuthority::handler() const
{
    return [this](const HttpRequest &request) {
        if (request.method != "POST" || request.header("Content-Type") != "application/timestamp-query")
            return HttpResponse::text("Send a POST of application/timestamp-query\n", 415);
        return HttpResponse::text(respond(request.body), 200, "application/timestamp-reply");
    };
}
