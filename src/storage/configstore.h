#pragma once

#include "core/expected.h"

#include <QByteArray>
#include <QObject>
#include <QString>

/// The three client defaults every run depends on. Stored as they are set:
/// nothing is validated, trimmed or normalised here.
struct NivetDefaults {
    QString url; // MCP endpoint; the client falls back to defaultEndpoint() when it is no URL
    QString scope; // sent with every register and verify call
    QString output; // format of the Copy action: "text", "json", "csv" or "pdf"

    /// The built-in MCP endpoint, the one place this text is kept.
    static QString defaultEndpoint();

    /// defaultEndpoint(), "global", "text".
    static NivetDefaults builtIn();

    /// Decodes client.json: an object whose "url", "scope" and "output" are all
    /// strings (members of other names are allowed). Anything else fails as a
    /// whole; there is no per-member default.
    static Expected<NivetDefaults> fromJson(const QByteArray &bytes);

    friend bool operator==(const NivetDefaults &, const NivetDefaults &) = default;
};

/// Holds the defaults for one window: loads client.json once when created,
/// publishes every change, and writes the file back on request. A successful
/// save reaches every other live store in the process at once.
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

    /// Writes the defaults as compact JSON in one atomic replace, keeping
    /// members of other names the file holds. Reports nothing; on success every
    /// other live store takes the saved values.
    void save();

Q_SIGNALS:
    void defaultsChanged(const NivetDefaults &defaults);

private:
    NivetDefaults m_defaults;
    QString m_fileURL;
};
