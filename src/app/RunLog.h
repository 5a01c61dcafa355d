#pragma once

#include <QDateTime>
#include <QString>

namespace Kelvane {

// One log file per run in a folder of its own: the new file's path, named after the start
// time; older runs beyond `keep` (oldest first) are removed. Empty when the folder cannot be
// made.
QString startRunLog(const QString &folder, const QDateTime &started, int keep);

} // namespace Kelvane
