#pragma once

class QWidget;

namespace Kelvane {

// Adds the dialog-modal frame style to the window's native frame where the platform has one.
void applyNativeFrameStyle(QWidget *window);

} // namespace Kelvane
