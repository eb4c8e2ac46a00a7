#include "storage/configstore.h"

#include "core/atomicfile.h"
#include "core/jsonwriter.h"
#include "storage/nivetpaths.h"

#include <QCoro/QCoroFuture>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>

namespace {

// Members another writer (the command-line tool) put into the file are kept;
// the file is read again under the lock, as it may have changed since loading.
Expected<void, SaveError> writeDefaults(const QString &path, const NivetDefaults &defaults)
{
    const QFileInfo file(path);
    const AtomicFile::FolderLock lock(file.path());
    if (lock.failure())
        return *lock.failure();
    AtomicFile::sweepScratch(file.path(), file.fileName());
    QJsonObject object;
    QFile current(path);
    if (current.open(QIODevice::ReadOnly)) {
        const QJsonDocument document = QJsonDocument::fromJson(current.readAll());
        if (document.isObject())
            object = document.object();
    }
    object.insert(QStringLiteral("url"), defaults.url);
    object.insert(QStringLiteral("scope"), defaults.scope);
    object.insert(QStringLiteral("output"), defaults.output);
    return AtomicFile::write(path, JsonWriter::compact(object));
}

} // namespace

ConfigStore::ConfigStore(QObject *parent)
    : QObject(parent)
    , m_fileURL(NivetPaths::applicationSupportNivet() + QStringLiteral("/client.json"))
{
    QFile file(m_fileURL);
    auto loaded = file.open(QIODevice::ReadOnly) ? NivetDefaults::fromJson(file.readAll())
                                                 : Expected<NivetDefaults>(Error { file.errorString() });
    m_defaults = loaded ? std::move(loaded).value() : NivetDefaults::builtIn();
}

ConfigStore::~ConfigStore() = default;

void ConfigStore::setDefaults(const NivetDefaults &defaults)
{
    if (defaults == m_defaults)
        return;
    m_defaults = defaults;
    Q_EMIT defaultsChanged(m_defaults);
}

void ConfigStore::setUrl(const QString &url)
{
    NivetDefaults changed = m_defaults;
    changed.url = url;
    setDefaults(changed);
}

void ConfigStore::setScope(const QString &scope)
{
    NivetDefaults changed = m_defaults;
    changed.scope = scope;
    setDefaults(changed);
}

void ConfigStore::setOutput(const QString &output)
{
    NivetDefaults changed = m_defaults;
    changed.output = output;
    setDefaults(changed);
}

QCoro::Task<Expected<void, SaveError>> ConfigStore::save()
{
    QPointer<ConfigStore> self(this);
    const NivetDefaults values = m_defaults;
    // The future goes into a local first: g++ 12 mishandles non-trivial
    // temporaries inside a co_await expression.
    QFuture<Expected<void, SaveError>> writing
        = QtConcurrent::run([path = m_fileURL, values] { return writeDefaults(path, values); });
    auto written = co_await writing;
    if (written && self)
        Q_EMIT saved(values);
    co_return written;
}
