// The report object: one line per member at level ">", text values escaped.
#include "report/plugininfo.h"

#include <stdio.h>

#include "service/log.h"

Simple::CWideString JsonEscape(const Simple::CWideString &text)
{
    Simple::CWideString escaped(L"");
    int length = text.GetLength();
    for (int i = 0; i < length; ++i) {
        wchar_t unit = text.text[i];
        wchar_t piece[8];
        switch (unit) {
        case L'"':  wcscpy(piece, L"\\\""); break;
        case L'\\': wcscpy(piece, L"\\\\"); break;
        case L'/':  wcscpy(piece, L"\\/"); break;
        case L'\b': wcscpy(piece, L"\\b"); break;
        case L'\f': wcscpy(piece, L"\\f"); break;
        case L'\n': wcscpy(piece, L"\\n"); break;
        case L'\r': wcscpy(piece, L"\\r"); break;
        case L'\t': wcscpy(piece, L"\\t"); break;
        default:
            if (unit >= 0x20 && unit <= 0x7E) {
                piece[0] = unit;
                piece[1] = 0;
            } else {
                _snwprintf(piece, 8, L"\\u%.4x", static_cast<unsigned>(unit));
                piece[7] = 0;
            }
        }
        escaped.Append(piece);
    }
    return escaped;
}

namespace {

const wchar_t *BoolText(bool value)
{
    return value ? L"true" : L"false";
}

// A text as a "%s" argument: an escape that ran out of memory is written as
// an empty text rather than as "(null)".
const wchar_t *OrEmpty(const Simple::CWideString &text)
{
    return text.text ? text.text : L"";
}

}  // namespace

void ReportPluginInfo(const CPluginInfo &info)
{
    LogResult(L"{\n");
    LogResult(L"  \"id\":        \"%.8X\",\n", info.id);
    LogResult(L"  \"name\":      \"%s\",\n", OrEmpty(JsonEscape(info.name)));
    LogResult(L"  \"vendor\":    \"%s\",\n", OrEmpty(JsonEscape(info.vendor)));
    LogResult(L"  \"product\":   \"%s\",\n", OrEmpty(JsonEscape(info.product)));
    LogResult(L"  \"version\":   \"%s\",\n", OrEmpty(JsonEscape(info.version)));
    LogResult(L"  \"error\":     \"%s\",\n", OrEmpty(JsonEscape(info.error)));
    LogResult(L"  \"numInputs\": %i,\n", info.numInputs);
    LogResult(L"  \"numOutputs\":%i,\n", info.numOutputs);
    LogResult(L"  \"wantsMidi\":  %s,\n", BoolText(info.wantsMidi));
    LogResult(L"  \"sendsMidi\": %s,\n", BoolText(info.sendsMidi));
    LogResult(L"  \"platform\":  \"%s\",\n", L"x86");
    LogResult(L"  \"audio64\":   %s,\n", BoolText(info.audio64));
    LogResult(L"  \"category\":  %i,\n", info.category);
    LogResult(L"  \"synthEdit\": %s,\n", BoolText(info.synthEdit));
    if (info.category == kCategoryShell) {
        LogResult(L"  \"shells\": {\n");
        for (int i = 0; i < info.shells.GetCount(); ++i) {
            const CShellInfo *shell = info.shells.GetAt(i);
            LogResult(L"        \"%.8X\": \"%s\",\n", shell->id, OrEmpty(JsonEscape(shell->name)));
        }
        LogResult(L"  },\n");
    }
    LogResult(L"}\n");
}
