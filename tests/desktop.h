// Test helpers for what the status window puts on the desktop: finding a
// process's windows by class and title, reading the screen, reading DIB
// sections, and writing pictures as PNG artefacts for a person to look at.
// Every picture here is a top-down vector of 0xAARRGGBB values. GDI+ must be
// running for the PNG helpers.
#pragma once

#include <windows.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

inline bool operator==(const RECT &a, const RECT &b)
{
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

inline std::ostream &operator<<(std::ostream &out, const RECT &r)
{
    return out << "(" << r.left << "," << r.top << ")-(" << r.right << "," << r.bottom << ")";
}

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;  // top row first

    uint32_t at(int x, int y) const { return pixels[(size_t)y * width + x]; }
};

// The visible top-level windows of process pid with the given class and title.
std::vector<HWND> FindWindowsOf(DWORD pid, const wchar_t *className, const wchar_t *title);

// The pixels of a 32-bit DIB section, upright whichever way its rows are stored.
// An empty picture when it is not a 32-bit section.
Picture SectionPicture(HBITMAP section);

// Copies a rectangle of the screen, every pixel opaque.
Picture CaptureScreen(const RECT &area);

// The monitors' work areas, the primary one first.
std::vector<RECT> MonitorWorkAreas();

// A plain visible popup window of the given colour, owned by the calling thread.
HWND CreatePlainWindow(const RECT &area, COLORREF colour, bool activate);

// Dispatches this thread's messages for the given time.
void PumpMessages(DWORD milliseconds);

// The folder of the running test program (build/bin).
std::wstring ProgramFolder();

// build/artifacts/name beside the folder of the running test program; the folder
// is created when missing.
std::wstring ArtifactPath(const wchar_t *name);

// Encodes the picture as a PNG (bytes of the file). Empty on failure.
std::string EncodePng(const Picture &picture);
// Writes the picture as a PNG file; false on failure.
bool SavePng(const Picture &picture, const std::wstring &path);

// A copy of the resource-less test module statuswindow_blank.dll (beside the
// test program) with the given resources written into it, loaded for as long
// as the object lives. module() is null when that failed (the failure is
// reported to the running test).
class ResourceModule {
public:
    struct Resource {
        const wchar_t *type;
        int id;
        std::string bytes;
    };

    explicit ResourceModule(const std::vector<Resource> &resources);
    ~ResourceModule();
    ResourceModule(const ResourceModule &) = delete;
    ResourceModule &operator=(const ResourceModule &) = delete;

    HMODULE module() const { return module_; }

private:
    std::wstring path_;
    HMODULE module_ = nullptr;
};

// Waits until the screen shows the picture with its top-left corner at origin,
// composited on black, pumping this thread's messages meanwhile (the X server
// draws a moment later, and other windows may pass over it). Returns an empty
// text when it does, else where it differs. screen receives the last capture
// of the area.
std::string WaitForPictureOnScreen(const Picture &expected, POINT origin, const RECT &area, Picture &screen);
