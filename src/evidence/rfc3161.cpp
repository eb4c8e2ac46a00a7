#include "evidence/rfc3161.h"

#include "core/text.h"
#include "evidence/crypto.h"

#include <openssl/asn1.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cstring>

namespace Rfc3161 {

namespace {

using TstInfo = Crypto::Handle<TS_TST_INFO, TS_TST_INFO_free>;
using Store = Crypto::Handle<X509_STORE, X509_STORE_free>;

void freeStackOnly(STACK_OF(X509) * certificates)
{
    sk_X509_free(certificates);
}

template<typename T> const unsigned char *bytes(const T &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

QByteArray octets(const ASN1_STRING *string)
{
    return QByteArray(reinterpret_cast<const char *>(ASN1_STRING_get0_data(string)), ASN1_STRING_length(string));
}

// A DER object that must fill the whole input: trailing bytes mean it is
// not the object we were given.
template<typename T, auto Free, typename Decode>
Crypto::Handle<T, Free> decodeWhole(const QByteArray &der, Decode decode)
{
    const unsigned char *cursor = bytes(der);
    Crypto::Handle<T, Free> object(decode(nullptr, &cursor, static_cast<long>(der.size())));
    if (object && cursor != bytes(der) + der.size())
        object.reset();
    Crypto::takeError();
    return object;
}

// True when the imprint is SHA-256 over the message, as every request of ours asks.
bool imprintIs(TS_MSG_IMPRINT *imprint, const QByteArray &expected)
{
    const ASN1_OBJECT *algorithm = nullptr;
    X509_ALGOR_get0(&algorithm, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(imprint));
    return OBJ_obj2nid(algorithm) == NID_sha256 && octets(TS_MSG_IMPRINT_get_msg(imprint)) == expected;
}

// The one-line form of a name that `openssl x509 -noout -subject` prints,
// with UTF-8 kept and control characters escaped.
QString oneLine(const X509_NAME *name)
{
    Crypto::Handle<BIO, BIO_free> bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) < 0)
        return QStringLiteral("(unreadable name)");
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return QString::fromUtf8(data, length);
}

// genTime with its milliseconds; GeneralizedTime may carry a fraction.
std::optional<QDateTime> genTime(const TS_TST_INFO *info)
{
    const ASN1_GENERALIZEDTIME *time = TS_TST_INFO_get_time(info);
    struct tm parts { };
    if (!time || ASN1_TIME_to_tm(time, &parts) != 1)
        return std::nullopt;
    QDateTime when(QDate(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday),
        QTime(parts.tm_hour, parts.tm_min, parts.tm_sec), Qt::UTC);
    const QByteArray text = octets(time);
    if (const qsizetype dot = text.indexOf('.'); dot >= 0) {
        qsizetype end = dot + 1;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9')
            ++end;
        when = when.addMSecs(text.mid(dot + 1, std::min<qsizetype>(end - dot - 1, 3)).leftJustified(3, '0').toInt());
    }
    return when.isValid() ? std::optional(when) : std::nullopt;
}

// The trusted certificates of the PEM texts, or the system's when none are given.
Expected<Store> trustStore(const QList<QByteArray> &caPems)
{
    Store store(X509_STORE_new());
    if (!store)
        return Error { QStringLiteral("cannot set up certificate checks: %1").arg(Crypto::takeError()) };
    if (caPems.isEmpty()) {
        if (X509_STORE_set_default_paths(store.get()) != 1)
            return Error { QStringLiteral("the system's CA certificates cannot be read: %1").arg(Crypto::takeError()) };
        return store;
    }
    for (const QByteArray &pem : caPems) {
        Crypto::Handle<BIO, BIO_free> bio(BIO_new_mem_buf(pem.constData(), static_cast<int>(pem.size())));
        int added = 0;
        while (bio) {
            Crypto::Handle<X509, X509_free> certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
            if (!certificate)
                break;
            if (X509_STORE_add_cert(store.get(), certificate.get()) == 1)
                ++added;
        }
        Crypto::takeError(); // the end of the text, or a duplicate
        if (added == 0)
            return Error { QStringLiteral("a trusted CA text holds no PEM certificate") };
    }
    return store;
}

// The token's signer certificate and the certificates it carries.
struct Signer {
    X509 *certificate = nullptr; // owned by the token
    STACK_OF(X509) *carried = nullptr; // owned by the token
};

std::optional<Signer> signerOf(PKCS7 *token)
{
    if (!PKCS7_type_is_signed(token) || !token->d.sign)
        return std::nullopt;
    Crypto::Handle<STACK_OF(X509), freeStackOnly> signers(PKCS7_get0_signers(token, nullptr, 0));
    Crypto::takeError();
    if (!signers || sk_X509_num(signers.get()) != 1)
        return std::nullopt;
    return Signer { sk_X509_value(signers.get(), 0), token->d.sign->cert };
}

} // namespace

Expected<Request> request(const QByteArray &message)
{
    Request out;
    out.imprint = Crypto::sha256(message);
    unsigned char nonce[8];
    if (RAND_bytes(nonce, sizeof nonce) != 1)
        return Error { QStringLiteral("no random nonce: %1").arg(Crypto::takeError()) };
    std::memcpy(&out.nonce, nonce, sizeof nonce);

    Crypto::Handle<TS_REQ, TS_REQ_free> req(TS_REQ_new());
    Crypto::Handle<TS_MSG_IMPRINT, TS_MSG_IMPRINT_free> imprint(TS_MSG_IMPRINT_new());
    Crypto::Handle<X509_ALGOR, X509_ALGOR_free> algorithm(X509_ALGOR_new());
    Crypto::Handle<ASN1_INTEGER, ASN1_INTEGER_free> asn1Nonce(ASN1_INTEGER_new());
    QByteArray digest = out.imprint;
    // The algorithm with explicit NULL parameters, as `openssl ts -query` sends it.
    const bool built = req && imprint && algorithm && asn1Nonce
        && X509_ALGOR_set0(algorithm.get(), OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr) == 1
        && TS_MSG_IMPRINT_set_algo(imprint.get(), algorithm.get()) == 1
        && TS_MSG_IMPRINT_set_msg(imprint.get(), reinterpret_cast<unsigned char *>(digest.data()), 32) == 1
        && TS_REQ_set_version(req.get(), 1) == 1 && TS_REQ_set_msg_imprint(req.get(), imprint.get()) == 1
        && ASN1_INTEGER_set_uint64(asn1Nonce.get(), out.nonce) == 1 && TS_REQ_set_nonce(req.get(), asn1Nonce.get()) == 1
        && TS_REQ_set_cert_req(req.get(), 1) == 1;
    unsigned char *der = nullptr;
    const int length = built ? i2d_TS_REQ(req.get(), &der) : -1;
    if (length <= 0)
        return Error { QStringLiteral("the time-stamp request cannot be built: %1").arg(Crypto::takeError()) };
    out.der = QByteArray(reinterpret_cast<const char *>(der), length);
    OPENSSL_free(der);
    return out;
}

Expected<QByteArray> tokenFromResponse(const QByteArray &response, const Request &request)
{
    auto reply = decodeWhole<TS_RESP, TS_RESP_free>(response, d2i_TS_RESP);
    if (!reply)
        return Error { QStringLiteral("the reply is not a time-stamp response") };
    const TS_STATUS_INFO *status = TS_RESP_get_status_info(reply.get());
    const long granted = ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(status));
    if (granted != 0 && granted != 1) {
        // The authority's own words, shortened; callers show them as plain text.
        const auto *texts = TS_STATUS_INFO_get0_text(status);
        const QString why = texts && sk_ASN1_UTF8STRING_num(texts) > 0
            ? QString::fromUtf8(octets(sk_ASN1_UTF8STRING_value(texts, 0)))
            : QString();
        return Error { QStringLiteral("the authority refused the request (status %1%2)")
                           .arg(granted)
                           .arg(why.isEmpty() ? QString() : QStringLiteral(": ") + Text::leftGraphemes(why, 200)) };
    }
    PKCS7 *token = TS_RESP_get_token(reply.get());
    TS_TST_INFO *info = TS_RESP_get_tst_info(reply.get());
    if (!token || !info)
        return Error { QStringLiteral("the reply carries no time-stamp token") };
    uint64_t nonce = 0;
    const ASN1_INTEGER *replyNonce = TS_TST_INFO_get_nonce(info);
    if (!replyNonce || ASN1_INTEGER_get_uint64(&nonce, replyNonce) != 1 || nonce != request.nonce) {
        Crypto::takeError();
        return Error { QStringLiteral("the reply answers another request (its nonce differs)") };
    }
    if (!imprintIs(TS_TST_INFO_get_msg_imprint(info), request.imprint))
        return Error { QStringLiteral("the reply is a time-stamp of other data") };
    unsigned char *der = nullptr;
    const int length = i2d_PKCS7(token, &der);
    if (length <= 0)
        return Error { QStringLiteral("the time-stamp token cannot be encoded: %1").arg(Crypto::takeError()) };
    QByteArray out(reinterpret_cast<const char *>(der), length);
    OPENSSL_free(der);
    return out;
}

Expected<TokenCheck> checkToken(
    const QByteArray &token, const QByteArray &message, const QList<QByteArray> &trustedCaPems)
{
    auto p7 = decodeWhole<PKCS7, PKCS7_free>(token, d2i_PKCS7);
    TstInfo info(p7 ? PKCS7_to_TS_TST_INFO(p7.get()) : nullptr);
    Crypto::takeError();
    if (!info)
        return Error { QStringLiteral("the timestamp token is not readable") };
    const QByteArray imprint = Crypto::sha256(message);
    if (!imprintIs(TS_TST_INFO_get_msg_imprint(info.get()), imprint))
        return Error { QStringLiteral("the timestamp token covers another tree head") };
    const auto time = genTime(info.get());
    if (!time)
        return Error { QStringLiteral("the timestamp token's time is not readable") };
    const auto signer = signerOf(p7.get());
    if (!signer)
        return Error { QStringLiteral("the timestamp token does not carry its authority's certificate") };
    const QString authority = oneLine(X509_get_subject_name(signer->certificate));

    auto store = trustStore(trustedCaPems);
    if (!store)
        return store.error();
    X509_VERIFY_PARAM_set_time(X509_STORE_get0_param(store->get()), time->toSecsSinceEpoch());
    Crypto::Handle<X509_STORE_CTX, X509_STORE_CTX_free> chain(X509_STORE_CTX_new());
    if (!chain || X509_STORE_CTX_init(chain.get(), store->get(), signer->certificate, signer->carried) != 1
        || X509_STORE_CTX_set_purpose(chain.get(), X509_PURPOSE_TIMESTAMP_SIGN) != 1)
        return Error { QStringLiteral("cannot set up certificate checks: %1").arg(Crypto::takeError()) };
    if (X509_verify_cert(chain.get()) != 1) {
        const int why = X509_STORE_CTX_get_error(chain.get());
        Crypto::takeError();
        if (why == X509_V_ERR_INVALID_PURPOSE)
            return Error {
                QStringLiteral("the certificate of the timestamp authority %1 is not for time-stamping").arg(authority)
            };
        if (why == X509_V_ERR_CERT_HAS_EXPIRED || why == X509_V_ERR_CERT_NOT_YET_VALID)
            return Error { QStringLiteral("the certificate of the timestamp authority %1 was not valid at %2")
                               .arg(authority, time->toString(Qt::ISODateWithMs)) };
        return Error { QStringLiteral("the timestamp authority %1 is not trusted").arg(authority) };
    }
    chain.reset();

    // The chain holds; now OpenSSL's own check of the token's signature,
    // signing-certificate attribute, version and imprint.
    Crypto::Handle<TS_VERIFY_CTX, TS_VERIFY_CTX_free> verify(TS_VERIFY_CTX_new());
    auto *expected = static_cast<unsigned char *>(OPENSSL_malloc(32));
    if (!verify || !expected) {
        OPENSSL_free(expected);
        return Error { QStringLiteral("cannot set up the token check: %1").arg(Crypto::takeError()) };
    }
    std::memcpy(expected, imprint.constData(), 32);
    TS_VERIFY_CTX_set_flags(verify.get(), TS_VFY_SIGNATURE | TS_VFY_VERSION | TS_VFY_IMPRINT);
    TS_VERIFY_CTX_set_imprint(verify.get(), expected, 32); // the context owns these from here
    TS_VERIFY_CTX_set_store(verify.get(), store.value().release());
    if (signer->carried)
        TS_VERIFY_CTX_set_certs(verify.get(), X509_chain_up_ref(signer->carried));
    if (TS_RESP_verify_token(verify.get(), p7.get()) != 1) {
        Crypto::takeError();
        return Error { QStringLiteral("the timestamp token's signature does not verify") };
    }
    return TokenCheck { authority, *time };
}

Expected<QList<QByteArray>> certificates(const QByteArray &token)
{
    auto p7 = decodeWhole<PKCS7, PKCS7_free>(token, d2i_PKCS7);
    if (!p7 || !PKCS7_type_is_signed(p7.get()) || !p7->d.sign)
        return Error { QStringLiteral("the timestamp token is not readable") };
    QList<QByteArray> out;
    const STACK_OF(X509) *carried = p7->d.sign->cert;
    for (int i = 0; i < sk_X509_num(carried); ++i) {
        Crypto::Handle<BIO, BIO_free> bio(BIO_new(BIO_s_mem()));
        if (!bio || PEM_write_bio_X509(bio.get(), sk_X509_value(carried, i)) != 1)
            return Error {
                QStringLiteral("a certificate of the token cannot be written: %1").arg(Crypto::takeError())
            };
        char *data = nullptr;
        const long length = BIO_get_mem_data(bio.get(), &data);
        out.append(QByteArray(data, length));
    }
    return out;
}

} // namespace Rfc3161
