#pragma once

#include "core/batchrun.h"
#include "core/expected.h"

#include <QString>
#include <QStringList>

#include <optional>

/// What the app was asked on its command line: files for the list, and a run
/// to start over them at once.
struct AppCommandLine {
    QStringList files; ///< absolute paths, in the order given
    std::optional<BatchRun::Action> action;

    /// The --help or --version text when args ask for one; answered before
    /// any window exists, so it needs no display. args exclude the program name.
    static std::optional<QString> answer(const QStringList &args);
    /// The files and the run asked for; a usage error's text otherwise.
    /// Relative paths are taken from the current folder.
    static Expected<AppCommandLine> parse(const QStringList &args);
    static QString usage();
};
