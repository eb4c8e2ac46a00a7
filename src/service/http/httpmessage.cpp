#include "service/http/httpmessage.h"

#include "core/jsonwriter.h"

QByteArray headerValue(const HeaderList &headers, const QByteArray &name)
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value.isNull() ? QByteArray("") : value;
    }
    return {};
}

QByteArray ServiceRequest::header(const QByteArray &name) const
{
    return headerValue(headers, name);
}

bool ServiceRequest::hasHeader(const QByteArray &name) const
{
    return !header(name).isNull();
}

QByteArray ServiceRequest::bearerToken() const
{
    const QByteArray value = header("Authorization").trimmed();
    const int space = value.indexOf(' ');
    if (space <= 0 || value.left(space).compare("Bearer", Qt::CaseInsensitive) != 0)
        return {};
    return value.mid(space + 1).trimmed();
}

QByteArray ServiceResponse::header(const QByteArray &name) const
{
    return headerValue(headers, name);
}

ServiceResponse &ServiceResponse::withHeader(const QByteArray &name, const QByteArray &value)
{
    headers.append(qMakePair(name, value));
    return *this;
}

ServiceResponse ServiceResponse::json(int status, const QJsonValue &value)
{
    ServiceResponse response;
    response.status = status;
    response.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    response.body = JsonWriter::compact(value);
    return response;
}

ServiceResponse ServiceResponse::text(int status, const QString &text)
{
    ServiceResponse response;
    response.status = status;
    response.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("text/plain; charset=utf-8")));
    response.body = text.toUtf8();
    return response;
}

ServiceResponse ServiceResponse::empty(int status)
{
    ServiceResponse response;
    response.status = status;
    return response;
}
