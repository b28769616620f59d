#pragma once

#include <QString>

// The extension of a file name without its dot, or the empty text when it has none.
// A dot that begins or ends the name does not start an extension, and path separators
// get no special treatment: "dir.x/file" gives "x/file".
QString FindExtension(const QString& sFileName);
