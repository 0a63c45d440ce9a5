// The downloader on Windows. The whole start-up and the download sequence run inside
// Form_Load, which returns when the sequence ends. A window still open then (after a failure,
// waiting for Reset) is served by the ordinary message loop until it is closed.

// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include "PortOpenService.h"
#include "frmFieldProg.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);

    // Declared first, so that it ends last: the port-opening threads are joined once the window
    // and its ports are gone, before main returns rather than in a destructor after it.
    const PortOpenService::Owner portOpening;
    frmFieldProg form(instance);
    form.Form_Load();
    if (!form.IsLoaded()) return 0;
    return form.MessageLoop();
}
