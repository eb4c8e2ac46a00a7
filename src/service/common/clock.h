#pragma once

#include <QString>

#include <functional>

/// The service's notion of now, in milliseconds since 1970-01-01T00:00:00Z.
/// Tests pass their own to move time on without waiting.
using Clock = std::function<qint64()>;

/// The system clock.
qint64 systemNowMs();

/// ISO 8601 in UTC with milliseconds, e.g. "2025-01-31T12:00:00.123Z".
QString isoTimestamp(qint64 msSinceEpoch);
