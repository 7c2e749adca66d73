#include "desktop.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <gdiplus.h>

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace {

struct WindowSearch {
    DWORD pid;
    const wchar_t *className;
    const wchar_t *title;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM context)
{
    WindowSearch *search = reinterpret_cast<WindowSearch *>(context);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    wchar_t className[64] = {}, title[64] = {};
    GetClassNameW(window, className, 64);
    GetWindowTextW(window, title, 64);
    if (pid == search->pid && IsWindowVisible(window) && wcscmp(className, search->className) == 0 &&
        wcscmp(title, search->title) == 0)
        search->found.push_back(window);
    return TRUE;
}

BOOL CALLBACK CollectMonitor(HMONITOR monitor, HDC, LPRECT, LPARAM context)
{
    auto *areas = reinterpret_cast<std::vector<RECT> *>(context);
    MONITORINFO info = {};
    info.cbSize = sizeof(info);
    if (GetMonitorInfoW(monitor, &info)) {
        if (info.dwFlags & MONITORINFOF_PRIMARY)
            areas->insert(areas->begin(), info.rcWork);
        else
            areas->push_back(info.rcWork);
    }
    return TRUE;
}

LRESULT CALLBACK PlainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(window, message, wParam, lParam);
}

// One window class per colour, so each plain window paints its own background.
const wchar_t *PlainClass(COLORREF colour)
{
    static std::vector<std::pair<COLORREF, std::wstring>> classes;
    for (auto &known : classes)
        if (known.first == colour)
            return known.second.c_str();
    wchar_t name[32];
    swprintf(name, 32, L"PlainWindow%06lX", (unsigned long)colour);
    classes.emplace_back(colour, name);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = PlainWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hbrBackground = CreateSolidBrush(colour);
    windowClass.lpszClassName = classes.back().second.c_str();
    RegisterClassW(&windowClass);
    return classes.back().second.c_str();
}

}  // namespace

std::vector<HWND> FindWindowsOf(DWORD pid, const wchar_t *className, const wchar_t *title)
{
    WindowSearch search = {pid, className, title, {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

Picture SectionPicture(HBITMAP section)
{
    Picture picture;
    DIBSECTION dib = {};
    if (GetObjectW(section, sizeof(dib), &dib) != (int)sizeof(dib) || dib.dsBm.bmBitsPixel != 32)
        return picture;
    picture.width = dib.dsBm.bmWidth;
    picture.height = dib.dsBm.bmHeight;
    picture.pixels.resize((size_t)picture.width * picture.height);
    bool bottomUp = dib.dsBmih.biHeight > 0;
    for (int y = 0; y < picture.height; y++) {
        int row = bottomUp ? picture.height - 1 - y : y;
        memcpy(&picture.pixels[(size_t)y * picture.width],
               static_cast<const BYTE *>(dib.dsBm.bmBits) + (size_t)row * dib.dsBm.bmWidthBytes,
               (size_t)picture.width * 4);
    }
    return picture;
}

Picture CaptureScreen(const RECT &area)
{
    Picture picture;
    int width = area.right - area.left, height = area.bottom - area.top;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void *bits = nullptr;
    HDC screen = GetDC(nullptr);
    HBITMAP section = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC memory = CreateCompatibleDC(screen);
    HGDIOBJ previous = SelectObject(memory, section);
    if (BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY)) {
        GdiFlush();
        picture.width = width;
        picture.height = height;
        picture.pixels.assign(static_cast<uint32_t *>(bits), static_cast<uint32_t *>(bits) + (size_t)width * height);
        for (auto &pixel : picture.pixels)
            pixel |= 0xFF000000;
    }
    SelectObject(memory, previous);
    DeleteDC(memory);
    DeleteObject(section);
    ReleaseDC(nullptr, screen);
    return picture;
}

std::vector<RECT> MonitorWorkAreas()
{
    std::vector<RECT> areas;
    EnumDisplayMonitors(nullptr, nullptr, CollectMonitor, reinterpret_cast<LPARAM>(&areas));
    return areas;
}

HWND CreatePlainWindow(const RECT &area, COLORREF colour, bool activate)
{
    HWND window = CreateWindowExW(activate ? 0 : WS_EX_NOACTIVATE, PlainClass(colour), L"plain", WS_POPUP,
                                  area.left, area.top, area.right - area.left, area.bottom - area.top,
                                  nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (window) {
        ShowWindow(window, activate ? SW_SHOW : SW_SHOWNOACTIVATE);
        UpdateWindow(window);
    }
    return window;
}

void PumpMessages(DWORD milliseconds)
{
    DWORD start = GetTickCount();
    do {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(10);
    } while (GetTickCount() - start < milliseconds);
}

std::wstring ProgramFolder()
{
    wchar_t program[MAX_PATH];
    std::wstring path(program, GetModuleFileNameW(nullptr, program, MAX_PATH));
    return path.substr(0, path.find_last_of(L"\\/"));
}

std::wstring ArtifactPath(const wchar_t *name)
{
    std::wstring folder = ProgramFolder();             // .../build/bin
    folder.erase(folder.find_last_of(L"\\/") + 1);    // .../build/
    folder += L"artifacts";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder + L"\\" + name;
}

static bool SaveToStream(const Picture &picture, IStream *stream)
{
    // The PNG encoder of GDI+.
    static const CLSID kPngEncoder = {0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};
    std::vector<uint32_t> pixels = picture.pixels;
    GpBitmap *image = nullptr;
    if (GdipCreateBitmapFromScan0(picture.width, picture.height, picture.width * 4, PixelFormat32bppARGB,
                                  reinterpret_cast<BYTE *>(pixels.data()), &image) != Ok)
        return false;
    bool saved = GdipSaveImageToStream(image, stream, &kPngEncoder, nullptr) == Ok;
    GdipDisposeImage(image);
    return saved;
}

std::string EncodePng(const Picture &picture)
{
    IStream *stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream)))
        return {};
    std::string bytes;
    HGLOBAL block = nullptr;
    if (SaveToStream(picture, stream) && SUCCEEDED(GetHGlobalFromStream(stream, &block))) {
        STATSTG stat = {};
        stream->Stat(&stat, STATFLAG_NONAME);
        const char *data = static_cast<const char *>(GlobalLock(block));
        bytes.assign(data, (size_t)stat.cbSize.QuadPart);
        GlobalUnlock(block);
    }
    stream->Release();
    return bytes;
}

bool SavePng(const Picture &picture, const std::wstring &path)
{
    std::string bytes = EncodePng(picture);
    if (bytes.empty())
        return false;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr) && written == bytes.size();
    CloseHandle(file);
    return ok;
}

ResourceModule::ResourceModule(const std::vector<Resource> &resources)
{
    wchar_t folder[MAX_PATH], file[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"png", 0, file);
    path_ = file;
    std::wstring blank = ProgramFolder() + L"\\statuswindow_blank.dll";
    if (!CopyFileW(blank.c_str(), path_.c_str(), FALSE)) {
        ADD_FAILURE() << "can't copy statuswindow_blank.dll, error " << GetLastError();
        return;
    }
    HANDLE update = BeginUpdateResourceW(path_.c_str(), FALSE);
    if (!update) {
        ADD_FAILURE() << "BeginUpdateResourceW failed, error " << GetLastError();
        return;
    }
    for (const Resource &r : resources) {
        if (!UpdateResourceW(update, r.type, MAKEINTRESOURCEW(r.id), MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                             const_cast<char *>(r.bytes.data()), (DWORD)r.bytes.size())) {
            ADD_FAILURE() << "UpdateResourceW failed, error " << GetLastError();
            EndUpdateResourceW(update, TRUE);
            return;
        }
    }
    if (!EndUpdateResourceW(update, FALSE)) {
        ADD_FAILURE() << "EndUpdateResourceW failed, error " << GetLastError();
        return;
    }
    module_ = LoadLibraryW(path_.c_str());
    if (!module_)
        ADD_FAILURE() << "can't load the module with the resources, error " << GetLastError();
}

ResourceModule::~ResourceModule()
{
    if (module_)
        FreeLibrary(module_);
    DeleteFileW(path_.c_str());
}

std::string WaitForPictureOnScreen(const Picture &expected, POINT origin, const RECT &area, Picture &screen)
{
    std::string difference;
    for (int attempt = 0; attempt < 40; attempt++) {
        PumpMessages(attempt ? 250 : 50);
        screen = CaptureScreen(area);
        if (screen.pixels.empty())
            return "the screen can't be read";
        int wrong = 0;
        difference.clear();
        for (int y = 0; y < expected.height; y++)
            for (int x = 0; x < expected.width; x++) {
                uint32_t want = expected.at(x, y) | 0xFF000000;
                uint32_t got = screen.at(origin.x - area.left + x, origin.y - area.top + y);
                if (got != want && wrong++ == 0) {
                    char text[128];
                    snprintf(text, sizeof text, "picture pixel %d,%d shows 0x%08X instead of 0x%08X", x, y,
                             (unsigned)got, (unsigned)want);
                    difference = text;
                }
            }
        if (wrong == 0)
            return {};
        difference += " (" + std::to_string(wrong) + " pixels differ)";
    }
    return difference;
}
