#pragma once

#include <QString>

/// The built-in help shown by the documentation sheet: 40 lines, no line feed
/// after the last.
QString helpText();
