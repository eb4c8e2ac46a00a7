#include "service/http/requestrules.h"

#include <algorithm>

namespace RequestRules {

namespace {

std::optional<ServiceResponse> refuse(int status, const QString &text)
{
    // The request's framing cannot be trusted: nothing more is read after it.
    return ServiceResponse::text(status, text).withHeader("Connection", "close");
}

bool isToken(const QByteArray &name)
{
    static const QByteArray punctuation = "!#$%&'*+-.^_`|~";
    if (name.isEmpty())
        return false;
    for (const char c : name) {
        const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum && !punctuation.contains(c))
            return false;
    }
    return true;
}

// Vertical tab, form feed, a lone CR and the like would be trimmed or
// misread by some hop between the client and us; none belongs in a value.
bool hasControl(const QByteArray &value)
{
    return std::any_of(value.begin(), value.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && byte != '\t') || byte == 0x7f;
    });
}

std::optional<ServiceResponse> fieldProblem(const HeaderList &fields, const char *what)
{
    for (const auto &[name, value] : fields) {
        if (!isToken(name))
            return refuse(400, QStringLiteral("Malformed %1 field name").arg(QLatin1String(what)));
        if (hasControl(value)) {
            return refuse(400,
                QStringLiteral("Control characters in the %1 field %2")
                    .arg(QLatin1String(what), QString::fromLatin1(name.left(100))));
        }
    }
    return std::nullopt;
}

int count(const HeaderList &headers, const QByteArray &name)
{
    return static_cast<int>(std::count_if(headers.begin(), headers.end(),
        [&name](const auto &header) { return header.first.compare(name, Qt::CaseInsensitive) == 0; }));
}

} // namespace

std::optional<ServiceResponse> headProblem(const HeaderList &headers)
{
    if (auto problem = fieldProblem(headers, "header"))
        return problem;
    if (count(headers, "Host") > 1)
        return refuse(400, QStringLiteral("More than one Host header"));
    const int lengths = count(headers, "Content-Length");
    const int codings = count(headers, "Transfer-Encoding");
    // Two framings are how requests are smuggled past a proxy.
    if (lengths > 1 || (lengths > 0 && codings > 0))
        return refuse(400, QStringLiteral("Conflicting Content-Length and Transfer-Encoding"));
    if (codings > 1)
        return refuse(400, QStringLiteral("More than one Transfer-Encoding header"));
    if (codings == 1) {
        if (headerValue(headers, "Transfer-Encoding").trimmed().compare("chunked", Qt::CaseInsensitive) != 0)
            return refuse(501, QStringLiteral("Only the chunked transfer coding is supported"));
    }
    return std::nullopt;
}

std::optional<ServiceResponse> trailerProblem(const HeaderList &trailers)
{
    return fieldProblem(trailers, "trailer");
}

} // namespace RequestRules
