#include "NativeFrame.h"

#include <QWidget>

#include <windows.h>

namespace Kelvane {

void applyNativeFrameStyle(QWidget *window) {
    HWND handle = reinterpret_cast<HWND>(window->winId());
    if (!handle)
        return;
    LONG exStyle = GetWindowLongW(handle, GWL_EXSTYLE);
    SetWindowLongW(handle, GWL_EXSTYLE, exStyle | WS_EX_DLGMODALFRAME);
    SetWindowPos(handle, nullptr, 0, 0, 0, 0,
                 SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED);
}

} // namespace Kelvane
