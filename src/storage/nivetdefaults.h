#pragma once

#include "core/expected.h"

#include <QByteArray>
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
