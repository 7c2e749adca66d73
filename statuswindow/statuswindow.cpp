// The status window and the loading of its picture: PNG resource -> GDI+ bitmap
// -> 32-bit bottom-up DIB section -> premultiplied alpha -> layered window.
#include "statuswindow/statuswindow.h"

#include <objbase.h>
#include <stddef.h>
#include <string.h>

#include <gdiplus.h>

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

HWND g_hwndStatus = NULL;
HWND g_hwndReference = NULL;
HBITMAP g_hbmStatus = NULL;
ULONG_PTR g_gdiplusToken = 0;

static const wchar_t kClassName[] = L"QuenmoorRavoZazora";
static const wchar_t kWindowTitle[] = L"Quenmoor Scan Server";
// Gap between the window and the right and bottom edges of the work area.
static const int kEdgeGap = 10;

bool StartGdiplus()
{
    GdiplusStartupInput input;
    input.GdiplusVersion = 1;
    input.DebugEventCallback = NULL;
    input.SuppressBackgroundThread = FALSE;
    input.SuppressExternalCodecs = FALSE;
    if (GdiplusStartup(&g_gdiplusToken, &input, NULL) != Ok) {
        g_gdiplusToken = 0;
        return false;
    }
    return true;
}

void StopGdiplus()
{
    if (g_gdiplusToken) {
        GdiplusShutdown(g_gdiplusToken);
        g_gdiplusToken = 0;
    }
}

// Installs the palette of an indexed image as the section's colour table.
// A 32-bit section has no colour table, so this changes nothing there; the
// rows of indexed images stay transparent.
static void CopyPalette(GpBitmap *image, HBITMAP section)
{
    union {
        ColorPalette palette;
        BYTE bytes[sizeof(ColorPalette) + 255 * sizeof(ARGB)];
    } buffer;
    INT size = 0;
    if (GdipGetImagePaletteSize(image, &size) != Ok || size <= 0 || size > (INT)sizeof(buffer))
        return;
    if (GdipGetImagePalette(image, &buffer.palette, size) != Ok)
        return;
    UINT count = buffer.palette.Count;
    UINT room = (size - (INT)offsetof(ColorPalette, Entries)) / sizeof(ARGB);
    if (count > room)
        count = room;
    if (count > 256)
        count = 256;

    RGBQUAD table[256];
    for (UINT i = 0; i < count; i++) {
        ARGB entry = buffer.palette.Entries[i];
        table[i].rgbBlue = (BYTE)entry;
        table[i].rgbGreen = (BYTE)(entry >> 8);
        table[i].rgbRed = (BYTE)(entry >> 16);
        table[i].rgbReserved = 0;
    }
    HDC dc = CreateCompatibleDC(NULL);
    if (!dc)
        return;
    HGDIOBJ previous = SelectObject(dc, section);
    SetDIBColorTable(dc, 0, count, table);
    SelectObject(dc, previous);
    DeleteDC(dc);
}

// Converts one row of width source pixels into 32-bit pixels (alpha in the top
// byte). Returns false for formats without a conversion, whose rows stay zero.
static bool ConvertRow(PixelFormat format, const BYTE *source, DWORD *target, UINT width)
{
    switch (format) {
    case PixelFormat16bppRGB555:
        for (UINT x = 0; x < width; x++) {
            DWORD v = source[2 * x] | (source[2 * x + 1] << 8);
            DWORD blue = (v & 0x1F) << 3, green = ((v >> 5) & 0x1F) << 3, red = ((v >> 10) & 0x1F) << 3;
            target[x] = 0xFF000000 | (red << 16) | (green << 8) | blue;
        }
        return true;
    case PixelFormat16bppRGB565:
        for (UINT x = 0; x < width; x++) {
            DWORD v = source[2 * x] | (source[2 * x + 1] << 8);
            DWORD blue = (v & 0x1F) << 3, green = ((v >> 5) & 0x3F) << 2, red = ((v >> 11) & 0x1F) << 3;
            target[x] = 0xFF000000 | (red << 16) | (green << 8) | blue;
        }
        return true;
    case PixelFormat24bppRGB:
        for (UINT x = 0; x < width; x++) {
            const BYTE *p = source + 3 * x;
            target[x] = 0xFF000000 | ((DWORD)p[2] << 16) | ((DWORD)p[1] << 8) | p[0];
        }
        return true;
    case PixelFormat32bppRGB:
        for (UINT x = 0; x < width; x++) {
            DWORD v;
            memcpy(&v, source + 4 * x, 4);
            target[x] = v | 0xFF000000;
        }
        return true;
    case PixelFormat32bppARGB:
        memcpy(target, source, (size_t)width * 4);
        return true;
    default:
        return false;
    }
}

HBITMAP BitmapToDib(GpBitmap *image)
{
    PixelFormat format = 0;
    UINT width = 0, height = 0;
    GdipGetImagePixelFormat(image, &format);
    GdipGetImageWidth(image, &width);
    GdipGetImageHeight(image, &height);

    BITMAPINFO info;
    memset(&info, 0, sizeof(info));
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = (LONG)width;
    info.bmiHeader.biHeight = (LONG)height;  // positive: the rows are stored bottom-up
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void *bits = NULL;
    HBITMAP section = CreateDIBSection(NULL, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    if (!section || !bits) {
        if (section)
            DeleteObject(section);
        return NULL;
    }

    if (format & PixelFormatIndexed)
        CopyPalette(image, section);

    size_t rowBytes = (size_t)width * 4;
    memset(bits, 0, rowBytes * height);

    Rect whole(0, 0, (INT)width, (INT)height);
    BitmapData data;
    memset(&data, 0, sizeof(data));
    if (GdipBitmapLockBits(image, &whole, ImageLockModeRead, format, &data) != Ok) {
        DeleteObject(section);
        return NULL;
    }
    for (UINT y = 0; y < height; y++) {
        const BYTE *source = (const BYTE *)data.Scan0 + (INT_PTR)y * data.Stride;
        DWORD *target = (DWORD *)((BYTE *)bits + (height - 1 - y) * rowBytes);
        if (!ConvertRow(format, source, target, width))
            break;
    }
    GdipBitmapUnlockBits(image, &data);
    return section;
}

bool PremultiplyDib(HBITMAP section)
{
    DIBSECTION dib;
    if (GetObjectW(section, sizeof(dib), &dib) != (int)sizeof(dib) || !dib.dsBm.bmBits)
        return false;
    int count = (dib.dsBm.bmWidthBytes * dib.dsBm.bmHeight) / 4;
    DWORD *pixel = (DWORD *)dib.dsBm.bmBits;
    for (int i = 0; i < count; i++) {
        DWORD v = pixel[i];
        DWORD alpha = v >> 24;
        DWORD red = ((v >> 16) & 0xFF) * alpha / 255;
        DWORD green = ((v >> 8) & 0xFF) * alpha / 255;
        DWORD blue = (v & 0xFF) * alpha / 255;
        pixel[i] = (alpha << 24) | (red << 16) | (green << 8) | blue;
    }
    return true;
}

HBITMAP LoadPngResource(HMODULE module)
{
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(kStatusImageId), L"PNG");
    if (!found)
        return NULL;
    HGLOBAL loaded = LoadResource(module, found);
    DWORD size = SizeofResource(module, found);
    if (!loaded || size == 0)
        return NULL;
    const void *bytes = LockResource(loaded);
    if (!bytes)
        return NULL;

    // The stream takes a movable block of its own, freed with the stream.
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
    if (!block)
        return NULL;
    void *copy = GlobalLock(block);
    if (!copy) {
        GlobalFree(block);
        return NULL;
    }
    memcpy(copy, bytes, size);
    GlobalUnlock(block);
    IStream *stream = NULL;
    if (FAILED(CreateStreamOnHGlobal(block, TRUE, &stream)) || !stream) {
        GlobalFree(block);
        return NULL;
    }

    GpBitmap *image = NULL;
    HBITMAP section = NULL;
    if (GdipCreateBitmapFromStream(stream, &image) == Ok && image) {
        section = BitmapToDib(image);
        // A section whose description can't be read is kept as converted.
        if (section)
            PremultiplyDib(section);
    }
    stream->Release();
    if (image)
        GdipDisposeImage(image);
    return section;
}

// The right and bottom edges of the work area of the monitor nearest to the
// reference window, or the primary screen's size when there is no monitor.
static POINT WorkAreaCorner(HWND reference)
{
    POINT corner;
    HMONITOR monitor = MonitorFromWindow(reference, MONITOR_DEFAULTTONEAREST);
    MONITORINFO info;
    memset(&info, 0, sizeof(info));
    info.cbSize = sizeof(info);
    if (monitor && GetMonitorInfoW(monitor, &info)) {
        corner.x = info.rcWork.right;
        corner.y = info.rcWork.bottom;
    } else {
        corner.x = GetSystemMetrics(SM_CXSCREEN);
        corner.y = GetSystemMetrics(SM_CYSCREEN);
    }
    return corner;
}

// Hands the picture to the system as the layered window's content; the window
// keeps its position.
static void ShowPicture(HWND window, HBITMAP picture, int width, int height)
{
    HDC screen = CreateDCW(L"display", NULL, NULL, NULL);
    if (!screen)
        return;
    HDC memory = CreateCompatibleDC(screen);
    if (memory) {
        HGDIOBJ previous = SelectObject(memory, picture);
        SIZE size = {width, height};
        POINT origin = {0, 0};
        BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
        UpdateLayeredWindow(window, NULL, NULL, &size, memory, &origin, 0, &blend, ULW_ALPHA);
        SelectObject(memory, previous);
        DeleteDC(memory);
    }
    DeleteDC(screen);
}

void CreateStatusWindow(HMODULE module, HWND reference)
{
    g_hwndReference = reference ? reference : GetForegroundWindow();
    g_hbmStatus = LoadPngResource(module);
    // Without a picture the window would have no size: make none.
    BITMAP picture;
    if (!g_hbmStatus || GetObjectW(g_hbmStatus, sizeof(picture), &picture) != (int)sizeof(picture))
        return;
    int width = picture.bmWidth, height = picture.bmHeight;
    POINT corner = WorkAreaCorner(g_hwndReference);

    WNDCLASSW windowClass;
    memset(&windowClass, 0, sizeof(windowClass));
    windowClass.style = 0;
    windowClass.lpfnWndProc = StatusWndProc;
    windowClass.hInstance = module;
    windowClass.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kClassName;
    RegisterClassW(&windowClass);  // already registered on a second call

    g_hwndStatus = CreateWindowExW(WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TOPMOST, kClassName,
                                   kWindowTitle, WS_POPUP | WS_VISIBLE, corner.x - width - kEdgeGap,
                                   corner.y - height - kEdgeGap, width, height, GetDesktopWindow(),
                                   NULL, NULL, NULL);
    if (!g_hwndStatus)
        return;  // no display, or no window station to show it on
    ShowPicture(g_hwndStatus, g_hbmStatus, width, height);
    SetActiveWindow(g_hwndStatus);
}

LRESULT CALLBACK StatusWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCHITTEST)
        return HTCAPTION;
    // Closed from outside (Alt+F4 on the active window): forget the handle.
    if (message == WM_NCDESTROY && window == g_hwndStatus)
        g_hwndStatus = NULL;
    return DefWindowProcW(window, message, wParam, lParam);
}

void ActivateStatusWindow()
{
    if (g_hwndStatus)
        SetActiveWindow(g_hwndStatus);
}

void DestroyStatusWindow()
{
    if (g_hwndStatus) {
        DestroyWindow(g_hwndStatus);
        g_hwndStatus = NULL;
    }
}
