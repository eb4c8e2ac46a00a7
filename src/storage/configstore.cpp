#include "storage/configstore.h"

#include "core/atomicfile.h"
#include "core/jsonwriter.h"
#include "storage/nivetpaths.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QList>
#include <QMutex>
#include <QPointer>
#include <QThread>

namespace {

const QString kUrl = QStringLiteral("url");
const QString kScope = QStringLiteral("scope");
const QString kOutput = QStringLiteral("output");

Error invalid(const QString &what)
{
    return Error { QStringLiteral("Invalid client defaults: %1").arg(what) };
}

/// Every live ConfigStore of the process, so that a save reaches the others.
class LiveStores {
public:
    void add(ConfigStore *store)
    {
        const QMutexLocker locker(&m_mutex);
        m_stores.append(store);
    }
    void remove(ConfigStore *store)
    {
        const QMutexLocker locker(&m_mutex);
        m_stores.removeOne(store);
    }
    void publish(const ConfigStore *saver, const NivetDefaults &saved)
    {
        QList<QPointer<ConfigStore>> others;
        {
            const QMutexLocker locker(&m_mutex);
            for (ConfigStore *store : std::as_const(m_stores)) {
                if (store != saver)
                    others.append(store);
            }
        }
        // An observer may delete a store while another one is told.
        for (const QPointer<ConfigStore> &store : std::as_const(others)) {
            if (!store)
                continue;
            if (store->thread() == QThread::currentThread()) {
                store->setDefaults(saved);
            } else {
                ConfigStore *target = store.data();
                QMetaObject::invokeMethod(
                    target, [target, saved] { target->setDefaults(saved); }, Qt::QueuedConnection);
            }
        }
    }

private:
    QMutex m_mutex;
    QList<ConfigStore *> m_stores;
};

LiveStores &liveStores()
{
    static LiveStores stores;
    return stores;
}

} // namespace

QString NivetDefaults::defaultEndpoint()
{
    return QStringLiteral("https://mcp.nivet.example/mcp");
}

NivetDefaults NivetDefaults::builtIn()
{
    return { defaultEndpoint(), QStringLiteral("global"), QStringLiteral("text") };
}

Expected<NivetDefaults> NivetDefaults::fromJson(const QByteArray &bytes)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return invalid(QStringLiteral("%1 at offset %2").arg(parseError.errorString()).arg(parseError.offset));
    if (!document.isObject())
        return invalid(QStringLiteral("not a JSON object"));
    const QJsonObject object = document.object();
    NivetDefaults defaults;
    for (const auto &[key, member] : { std::pair { &kUrl, &NivetDefaults::url },
             std::pair { &kScope, &NivetDefaults::scope }, std::pair { &kOutput, &NivetDefaults::output } }) {
        const QJsonValue value = object.value(*key);
        if (!value.isString())
            return invalid(
                QStringLiteral("\"%1\" is %2").arg(*key, value.isUndefined() ? u"missing"_qs : u"not a string"_qs));
        defaults.*member = value.toString();
    }
    return defaults;
}

ConfigStore::ConfigStore(QObject *parent)
    : QObject(parent)
    , m_fileURL(NivetPaths::applicationSupportNivet() + QStringLiteral("/client.json"))
{
    QFile file(m_fileURL);
    auto loaded = file.open(QIODevice::ReadOnly) ? NivetDefaults::fromJson(file.readAll())
                                                 : Expected<NivetDefaults>(Error { file.errorString() });
    m_defaults = loaded ? std::move(loaded).value() : NivetDefaults::builtIn();
    liveStores().add(this);
}

ConfigStore::~ConfigStore()
{
    liveStores().remove(this);
}

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

void ConfigStore::save()
{
    // Members another writer (the command-line tool) put into the file are
    // kept; the file is read again now, as it may have changed since loading.
    // The folder lock makes reading and writing one step against other
    // processes, and lets the scratch files of killed ones be cleared.
    const QFileInfo file(m_fileURL);
    const AtomicFile::FolderLock lock(file.path());
    if (lock.held())
        AtomicFile::sweepScratch(file.path(), file.fileName());
    QJsonObject object;
    QFile current(m_fileURL);
    if (current.open(QIODevice::ReadOnly)) {
        const QJsonDocument document = QJsonDocument::fromJson(current.readAll());
        if (document.isObject())
            object = document.object();
    }
    object.insert(kUrl, m_defaults.url);
    object.insert(kScope, m_defaults.scope);
    object.insert(kOutput, m_defaults.output);
    const NivetDefaults saved = m_defaults;
    if (AtomicFile::write(m_fileURL, JsonWriter::compact(object)))
        liveStores().publish(this, saved);
}
