// Kestrel.exe's entry point: the application object first, then its run.
#include <windows.h>

#include "panel/win32/PanelApp.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    static kestrel::panel::win32::CPanelApp app(instance);
    return app.Run(GetCommandLineW());
}
