#include "CommandChannel.h"

namespace Kelvane {

// A pipe per user (and per Windows session's user name); UserAccessOption lets only that
// user open it.
QString commandServerName() {
    return QStringLiteral("kelvane-commands-") + qEnvironmentVariable("USERNAME");
}

} // namespace Kelvane
