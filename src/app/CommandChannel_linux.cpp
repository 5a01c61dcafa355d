#include "CommandChannel.h"

#include <QDir>
#include <QStandardPaths>

namespace Kelvane {

// In the user's runtime folder (mode 0700, made by the desktop or by Qt): no other user can
// reach it, and it is gone after a reboot.
QString commandServerName() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation))
        .filePath(QStringLiteral("kelvane.commands"));
}

} // namespace Kelvane
