#pragma once

namespace Kelvane {

// Where the log goes for this kind of process. A Windows GUI program has no console: the log
// goes to the console it was started from (if any) and to a file per run under the user's
// local application data. On Linux the standard streams stay as they are.
void setUpProcessOutput();

} // namespace Kelvane
