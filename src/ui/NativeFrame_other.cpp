#include "NativeFrame.h"

namespace Kelvane {

// No Win32 window handle exists here, so the frame keeps the platform's own look.
void applyNativeFrameStyle(QWidget *) {}

} // namespace Kelvane
