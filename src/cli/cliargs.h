#pragma once

#include "core/expected.h"

#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

/// A subcommand's arguments split into options and operands. Options are
/// "--name VALUE" or "--name=VALUE" for valued ones, "--name" for flags; "--"
/// ends the options, so "-- -odd-file" names a file.
struct CliArgs {
    QMap<QString, QString> values; // by option name, without the dashes
    QSet<QString> flags;
    QStringList operands;

    bool has(const QString &name) const { return values.contains(name); }
    QString value(const QString &name) const { return values.value(name); }

    /// Fails with a text for the user: an unknown option, a missing value, an
    /// option given twice.
    static Expected<CliArgs> parse(
        const QStringList &args, const QStringList &valued, const QStringList &flagNames = {});
};
