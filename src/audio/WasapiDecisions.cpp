#include "WasapiDecisions.h"

namespace Kelvane::Wasapi {

bool defaultChangeMoves(Flow flow, Role role, Role followed) {
    return flow == Flow::Render && role == followed;
}

} // namespace Kelvane::Wasapi
