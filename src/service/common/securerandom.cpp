#include "service/common/securerandom.h"

#include <QRandomGenerator>

#include <cstring>
#include <vector>

namespace SecureRandom {

QByteArray bytes(int count)
{
    std::vector<quint32> words(static_cast<size_t>((count + 3) / 4));
    QRandomGenerator::system()->fillRange(words.data(), static_cast<qsizetype>(words.size()));
    QByteArray out(count, '\0');
    std::memcpy(out.data(), words.data(), static_cast<size_t>(count));
    return out;
}

QByteArray token(int count)
{
    return bytes(count).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

} // namespace SecureRandom
