// Keeps Wine's desktop process running for a whole test session (started by
// scripts/winenv.sh). Wine ends its desktop process a moment after the last
// program on the desktop has ended, and the next program that shows a window
// starts it again, handing it its own standard handles. A server started with
// pipes as standard handles would then leave its output pipe open in the
// desktop process, and the host reading that pipe would wait for its end until
// the desktop went away. This program stays on the desktop, showing nothing,
// until the session's wineserver ends it.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    MSG message;
    while (window && GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    return 0;
}
