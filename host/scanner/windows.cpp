// Reading the windows of a scan server.
#include "host/scanner/windows.h"

#include <windows.h>

#include <wchar.h>

#include "host/text/utf8.h"

namespace ScanHost {

namespace {

// The class of the server's own status window.
const wchar_t kStatusWindowClass[] = L"QuenmoorRavoZazora";
// What is read of a plug-in's windows at the most: enough for any dialog,
// bounded against one that has thousands of controls.
const size_t kMostWindows = 8;
const size_t kMostTexts = 16;

std::wstring ClassOf(HWND window)
{
    wchar_t name[256];
    int length = GetClassNameW(window, name, 256);
    return std::wstring(name, length > 0 ? length : 0);
}

std::string TextOf(HWND window)
{
    // For a window of another process the system gives the text it keeps
    // for the window (a dialog's title, a static control's text) without
    // asking the window, so a hung or lying plug-in has no say in it.
    wchar_t text[1024] = {};
    int length = GetWindowTextW(window, text, 1024);
    if (length <= 0)
        return std::string();
    std::string utf8 = ToUtf8(std::wstring_view(text, wcsnlen(text, 1023)));
    // One line: line breaks inside a message box's text become spaces.
    for (char &c : utf8)
        if (c == '\r' || c == '\n' || c == '\t')
            c = ' ';
    return utf8;
}

struct CSearch {
    DWORD processId;
    std::vector<CShownWindow> windows;
};

BOOL CALLBACK CollectStatic(HWND child, LPARAM parameter)
{
    auto *window = reinterpret_cast<CShownWindow *>(parameter);
    if (window->texts.size() >= kMostTexts)
        return FALSE;
    if (!IsWindowVisible(child) || _wcsicmp(ClassOf(child).c_str(), L"Static") != 0)
        return TRUE;
    std::string text = TextOf(child);
    if (!text.empty())
        window->texts.push_back(text);
    return TRUE;
}

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM parameter)
{
    auto *search = reinterpret_cast<CSearch *>(parameter);
    if (search->windows.size() >= kMostWindows)
        return FALSE;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId || !IsWindowVisible(window) || ClassOf(window) == kStatusWindowClass)
        return TRUE;
    CShownWindow shown;
    shown.title = TextOf(window);
    EnumChildWindows(window, CollectStatic, reinterpret_cast<LPARAM>(&shown));
    search->windows.push_back(shown);
    return TRUE;
}

}  // namespace

std::vector<CShownWindow> WindowsOfProcess(uint32_t processId)
{
    CSearch search{processId, {}};
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.windows;
}

std::string DescribeWindow(const CShownWindow &window)
{
    std::string text = "\"" + window.title + "\"";
    for (size_t i = 0; i < window.texts.size(); ++i)
        text += (i == 0 ? ": " : " ") + window.texts[i];
    return text;
}

}  // namespace ScanHost
