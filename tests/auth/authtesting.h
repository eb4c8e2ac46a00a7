#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

/// The first line of every written credentials file.
inline const QByteArray kHeader = "# Nivet auth credentials \xe2\x80\x94 mode 0600. Do not commit.\n";

/// The instant the tests' clocks stand at: 2025-01-31T12:00:00Z.
inline const QDateTime kNow(QDate(2025, 1, 31), QTime(12, 0), Qt::UTC);

/// Text from UTF-8 (test tables hold many non-ASCII characters).
inline QString u(const char *utf8)
{
    return QString::fromUtf8(utf8);
}
