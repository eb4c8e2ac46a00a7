#pragma once

#include "core/expected.h"
#include "core/saveerror.h"
#include "storage/nivetdefaults.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QString>

/// Holds the defaults for one window: loads client.json once when created,
/// publishes every change, and writes the file back on request.
class ConfigStore : public QObject {
    Q_OBJECT

public:
    /// Loads client.json; a missing or undecodable file gives builtIn() as a
    /// whole. Never writes the file.
    explicit ConfigStore(QObject *parent = nullptr);
    ~ConfigStore() override;

    const NivetDefaults &defaults() const { return m_defaults; }
    /// Replaces the defaults in memory (not on disk); emits defaultsChanged
    /// when they differ.
    void setDefaults(const NivetDefaults &defaults);
    void setUrl(const QString &url);
    void setScope(const QString &scope);
    void setOutput(const QString &output);

    /// applicationSupportNivet()/client.json
    QString fileURL() const { return m_fileURL; }

    /// Writes the defaults as compact JSON in one atomic replace under the
    /// folder's lock, keeping members of other names the file holds. Runs on
    /// a worker thread; emits saved() once the file is on disk.
    QCoro::Task<Expected<void, SaveError>> save();

Q_SIGNALS:
    void defaultsChanged(const NivetDefaults &defaults);
    void saved(const NivetDefaults &defaults);

private:
    NivetDefaults m_defaults;
    QString m_fileURL;
};
