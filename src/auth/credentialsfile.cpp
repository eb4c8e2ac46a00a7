#include "auth/credentialsfile.h"

#include "core/atomicfile.h"
#include "core/text.h"
#include "storage/nivetpaths.h"

#include <QCoro/QCoroFuture>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <array>
#include <cerrno>

namespace CredentialsFile {

namespace {

// The keys the credential store manages, in the order they are written.
constexpr std::array<const char *, 8> kKeyOrder {
    "access_token",
    "id_token",
    "auth_token",
    "issuer",
    "expires_at",
    "username",
    "password",
    "auth_url",
};

// Every line-break character ends a line; CR LF yields an empty piece between
// the two, which is dropped with the other empty ones.
QStringList splitLines(const QString &text)
{
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i == text.size() || Text::isLineBreak(text.at(i).unicode())) {
            if (i > start)
                lines.append(text.mid(start, i - start));
            start = i + 1;
        }
    }
    return lines;
}

// One left-to-right pass, so every value the writer produces reads back
// unchanged (a written "\\n" stays a backslash and an "n").
QString decodeValue(const QString &raw)
{
    QString out;
    out.reserve(raw.size());
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const QChar c = raw.at(i);
        if (c == QLatin1Char('\\') && i + 1 < raw.size()) {
            const QChar next = raw.at(i + 1);
            if (next == QLatin1Char('n')) {
                out.append(QLatin1Char('\n'));
                ++i;
                continue;
            }
            if (next == QLatin1Char('=') || next == QLatin1Char('\\')) {
                out.append(next);
                ++i;
                continue;
            }
        }
        out.append(c);
    }
    return out;
}

QString encodeValue(QString value)
{
    value.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    value.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    return value;
}

// How a message names the field a key holds.
QString fieldName(const QString &key)
{
    if (key == QLatin1String("access_token") || key == QLatin1String("id_token") || key == QLatin1String("auth_token"))
        return QStringLiteral("The token");
    if (key == QLatin1String("issuer"))
        return QStringLiteral("The issuer");
    if (key == QLatin1String("expires_at"))
        return QStringLiteral("The expiry");
    if (key == QLatin1String("username"))
        return QStringLiteral("The user name");
    if (key == QLatin1String("password"))
        return QStringLiteral("The password");
    if (key == QLatin1String("auth_url"))
        return QStringLiteral("The Auth API URL");
    return QStringLiteral("The value of \"%1\"").arg(key);
}

// A key that would read back as something else, or not at all.
bool isWritableKey(const QString &key)
{
    if (key.isEmpty() || key.startsWith(QLatin1Char('#')) || key.startsWith(QLatin1Char('!'))
        || key.contains(QLatin1Char('=')))
        return false;
    for (QChar c : key) {
        if (Text::isLineBreak(c.unicode()))
            return false;
    }
    return Text::trimmedSpaces(key) == key;
}

// Line feeds are escaped; the other line breaks have no escape and would
// split the value on reading.
bool holdsUnwritableBreak(const QString &value)
{
    for (QChar c : value) {
        if (c != QLatin1Char('\n') && Text::isLineBreak(c.unicode()))
            return true;
    }
    return false;
}

// Reading trims every line, so trailing blanks of a value would be lost.
bool endsWithSpaceOrTab(const QString &value)
{
    const QString guarded = QLatin1Char('x') + value; // keeps the front from being trimmed
    return Text::trimmedSpaces(guarded).size() != guarded.size();
}

} // namespace

QString headerLine()
{
    return QStringLiteral("# Nivet auth credentials \u2014 mode 0600. Do not commit.");
}

QMap<QString, QString> parseProperties(const QByteArray &bytes)
{
    QMap<QString, QString> entries;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(bytes);
    if (decoder.hasError())
        return entries;

    for (const QString &rawLine : splitLines(text)) {
        const QString line = Text::trimmedSpaces(rawLine);
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char('!')))
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq < 0)
            continue;
        const QString key = Text::trimmedSpaces(line.left(eq));
        if (key.isEmpty())
            continue;
        entries.insert(key, decodeValue(line.mid(eq + 1)));
    }
    return entries;
}

QMap<QString, QString> readProperties(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return {};
    return parseProperties(bytes);
}

Expected<QByteArray, SaveError> encode(const QMap<QString, QString> &entries)
{
    QStringList lines { headerLine() };
    QStringList written;
    const auto refused = [](const QString &why) { return SaveError { SaveError::Kind::value, {}, 0, why }; };
    const auto append = [&](const QString &key, const QString &value) -> Expected<void, SaveError> {
        if (!isWritableKey(key))
            return refused(QStringLiteral("The key \"%1\" cannot be stored in the credentials file").arg(key));
        if (holdsUnwritableBreak(value))
            return refused(QStringLiteral("%1 contains a line break that cannot be stored").arg(fieldName(key)));
        if (endsWithSpaceOrTab(value))
            return refused(QStringLiteral("%1 ends with a space or tab that cannot be stored").arg(fieldName(key)));
        lines.append(key + QLatin1Char('=') + encodeValue(value));
        return {};
    };

    for (const char *name : kKeyOrder) {
        const QString key = QLatin1String(name);
        const QString value = entries.value(key);
        if (value.isEmpty())
            continue;
        if (auto ok = append(key, value); !ok)
            return ok.error();
        written.append(key);
    }
    // QMap orders QString keys by UTF-16 code units; code point order differs
    // only for characters above the surrogates, so sort explicitly.
    QStringList others;
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (!written.contains(it.key()) && !it.value().isEmpty())
            others.append(it.key());
    }
    std::sort(others.begin(), others.end(), [](const QString &a, const QString &b) { return a.toUcs4() < b.toUcs4(); });
    for (const QString &key : others) {
        if (auto ok = append(key, entries.value(key)); !ok)
            return ok.error();
    }
    return (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
}

QString defaultPath()
{
    return NivetPaths::applicationSupportNivet() + QStringLiteral("/auth.properties");
}

Credentials load(const QString &path)
{
    return Credentials::fromEntries(readProperties(path));
}

Expected<Credentials, SaveError> save(const Credentials &values, Credentials::Fields fields, const QString &path)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        return SaveError { SaveError::Kind::folder, folder, errno, {} };
    // Read, change and write as one step against other processes' saves. One
    // rename over the old file: the credentials are never absent. A scratch
    // file found while holding the lock was left by a killed process.
    const AtomicFile::FolderLock lock(folder);
    if (lock.failure())
        return *lock.failure();
    AtomicFile::sweepScratch(folder, QFileInfo(path).fileName());
    auto entries = readProperties(path);
    if (const auto refused = values.writeInto(entries, fields))
        return *refused;
    const auto bytes = encode(entries);
    if (!bytes)
        return bytes.error();
    if (auto written = AtomicFile::write(path, *bytes, 0600); !written)
        return written.error();
    return Credentials::fromEntries(entries);
}

QCoro::Task<Credentials> loadAsync()
{
    // The future goes into a local first: g++ 12 mishandles non-trivial
    // temporaries inside a co_await expression.
    QFuture<Credentials> loading = QtConcurrent::run([] { return load(); });
    co_return co_await loading;
}

QCoro::Task<Expected<Credentials, SaveError>> saveAsync(Credentials values, Credentials::Fields fields)
{
    QFuture<Expected<Credentials, SaveError>> saving
        = QtConcurrent::run([values, fields] { return save(values, fields); });
    co_return co_await saving;
}

} // namespace CredentialsFile
