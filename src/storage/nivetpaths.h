#pragma once

#include <QString>

/// Where the client keeps its files. Each call computes the location afresh
/// and, unless it says otherwise, makes sure the folder exists; none ever fails.
namespace NivetPaths {

/// <per-user data folder>/Nivet (Linux: $XDG_DATA_HOME or ~/.local/share),
/// or <temporary folder>/Nivet when the system names no data folder.
QString applicationSupportNivet();
/// The same location, nothing created: for reads, where a missing folder
/// only means a missing file.
QString applicationSupportNivetPath();

/// applicationSupportNivet()/receipts, created with mode 0700 (an existing
/// folder keeps its mode).
QString receiptsDirectory();

} // namespace NivetPaths
