// The status window: a borderless, always-on-top, layered window 10 pixels in
// from the bottom-right corner of the work area of the host window's monitor,
// showing the PNG picture stored in the program's resources (type "PNG", id
// 101). Its content is handed to the system once, so the picture stays on
// screen while the server's only thread is busy inside plug-in code. Nothing
// here writes to the output channel: every failure leaves the server running
// without a window.
#pragma once

#include <windows.h>

namespace Gdiplus {
class GpBitmap;
}

// The status window; null before CreateStatusWindow, after DestroyStatusWindow,
// and whenever no window could be made.
extern HWND g_hwndStatus;
// The window whose monitor placed the status window: the host's window, or the
// window that was in the foreground when the status window was created.
extern HWND g_hwndReference;
// The premultiplied picture of the status window. Made once and never deleted:
// it lives until the process ends, independent of GDI+.
extern HBITMAP g_hbmStatus;
// GDI+'s token between StartGdiplus and StopGdiplus; 0 while GDI+ is not running.
extern ULONG_PTR g_gdiplusToken;

// Resource id of the picture, of resource type "PNG".
const int kStatusImageId = 101;

// Starts GDI+ (version 1, no debug callback, with its background thread and
// external codecs). Returns false when GDI+ can't start; the status window then
// has no picture and is not created.
bool StartGdiplus();
// Stops GDI+ if StartGdiplus started it. Call it after DestroyStatusWindow.
void StopGdiplus();

// Loads resource 101 of type "PNG" from module, decodes it with GDI+ and
// returns it as a premultiplied 32-bit bottom-up DIB section. Returns null when
// the resource is missing or empty, memory runs out, or the data can't be
// decoded. The caller owns the section. GDI+ must be running.
HBITMAP LoadPngResource(HMODULE module);

// Copies the decoded image into a new 32-bit bottom-up DIB section, upright and
// not premultiplied. 16-bit 555 and 565, 24-bit RGB, 32-bit RGB and 32-bit ARGB
// images are converted; every other format gives a section of the image's size
// that is all zero (fully transparent). Returns null when the section can't be
// made or the image can't be read. The image stays the caller's; the caller
// owns the section.
HBITMAP BitmapToDib(Gdiplus::GpBitmap *image);

// Multiplies the colour channels of every pixel of a 32-bit DIB section by the
// pixel's alpha (channel * alpha / 255, rounded down), the form layered windows
// show. Returns false, and changes nothing, when the section's description
// can't be read.
bool PremultiplyDib(HBITMAP section);

// Creates, places and shows the status window with the picture from module,
// then activates it. reference is the host's window, or null for the current
// foreground window. Sets g_hwndReference, g_hbmStatus and g_hwndStatus. When
// the picture can't be loaded, or there is no display to show a window on, no
// window is made and g_hwndStatus stays null. Call once, after StartGdiplus.
void CreateStatusWindow(HMODULE module, HWND reference);

// The window procedure of the status window's class: every point of the window
// counts as its caption, so the picture can be dragged from anywhere.
LRESULT CALLBACK StatusWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Makes the status window the active window again (before each plug-in
// inspection). Does nothing when there is no status window.
void ActivateStatusWindow();

// Destroys the status window at shutdown and clears g_hwndStatus. The picture
// and the window class stay until the process ends.
void DestroyStatusWindow();
