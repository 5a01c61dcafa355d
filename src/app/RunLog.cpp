#include "RunLog.h"

#include <QDir>

namespace Kelvane {

QString startRunLog(const QString &folder, const QDateTime &started, int keep) {
    QDir dir(folder);
    if (!dir.mkpath(QStringLiteral(".")))
        return QString();
    // Names sort by time: the oldest come first.
    const QStringList runs =
        dir.entryList({QStringLiteral("kelvane-*.log")}, QDir::Files, QDir::Name);
    for (qsizetype i = 0; i + keep <= runs.size() && i < runs.size(); ++i)
        dir.remove(runs[i]);
    return dir.filePath(started.toString(QStringLiteral("'kelvane-'yyyyMMdd-HHmmss-zzz'.log'")));
}

} // namespace Kelvane
