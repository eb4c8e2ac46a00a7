#pragma once

#include <QString>

/// Why a stored file (client.json, auth.properties, a receipt record) could
/// not be saved. Callers decide by kind; describe() gives the words, so the
/// app, the command-line tool and a result row say the same thing.
struct SaveError {
    enum class Kind {
        lockTimeout, // path: the folder another process kept locked; code: milliseconds waited
        notAFolder, // path: where a folder should be, something else is
        folder, // path: a folder that could not be made or opened (code)
        write, // path: the file; detail: the step that failed ("write", "replace"); code
        setAside, // path: an unreadable file that could not be moved out of the way (code)
        value, // detail: which value the file cannot hold, and why
    };

    Kind kind = Kind::write;
    QString path;
    int code = 0; // errno, where the system said why
    QString detail;

    /// The failure in the words the user reads, naming the path.
    QString describe() const;
};
