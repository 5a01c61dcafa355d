#include "ProcessOutput.h"

namespace Kelvane {

void setUpProcessOutput() {}

} // namespace Kelvane
