// The catalogue file. Each module entry's text is made once, when the entry
// changes, and the document is those texts joined; so writing the whole file
// after every module costs a copy and a file replace, not a new
// serialisation of every entry.
#include "host/catalogue/catalogue.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <map>
#include <variant>

#include <nlohmann/json.hpp>

#include "host/text/utf8.h"
#include "host/scanner/discovery.h"

namespace ScanHost {

const char kCatalogueFormat[] = "quenmoor-catalogue";

namespace {

// The one place where the document's layout is chosen: two spaces per level,
// with each module entry two levels down.
const int kIndent = 2;
const char kEntryIndent[] = "    ";

const uint64_t kFileTimeUnitsPerSecond = 10000000;

// The order of catalogue entries, whose paths differ in more than letter case.
bool KeyLess(std::wstring_view a, std::wstring_view b)
{
    return !PathsEqual(a, b) && PathLess(a, b);
}

// ---------------------------------------------------------------- writing

using OrderedJson = nlohmann::ordered_json;

void PutFailure(OrderedJson &object, const CFailure &failure)
{
    if (!failure.stage.empty())
        object["stage"] = failure.stage;
    if (failure.exitCode)
        object["exitCode"] = *failure.exitCode;
    if (!failure.dump.empty())
        object["dump"] = failure.dump;
}

// A plug-in entry's report fields under their keys, in the document's order.
using CPluginField = std::variant<std::string CPluginEntry::*, int32_t CPluginEntry::*, bool CPluginEntry::*>;
const struct {
    const char *key;
    CPluginField field;
} kPluginFields[] = {
    {"id", &CPluginEntry::id},
    {"name", &CPluginEntry::name},
    {"vendor", &CPluginEntry::vendor},
    {"product", &CPluginEntry::product},
    {"version", &CPluginEntry::version},
    {"numInputs", &CPluginEntry::numInputs},
    {"numOutputs", &CPluginEntry::numOutputs},
    {"wantsMidi", &CPluginEntry::wantsMidi},
    {"sendsMidi", &CPluginEntry::sendsMidi},
    {"audio64", &CPluginEntry::audio64},
    {"category", &CPluginEntry::category},
    {"synthEdit", &CPluginEntry::synthEdit},
};

OrderedJson PluginJson(const CPluginEntry &plugin)
{
    OrderedJson object;
    for (const auto &field : kPluginFields)
        std::visit([&](auto member) { object[field.key] = plugin.*member; }, field.field);
    if (plugin.shellId)
        object["shellId"] = *plugin.shellId;
    if (plugin.outcome)
        object["outcome"] = OutcomeName(*plugin.outcome);
    if (plugin.outcome || !plugin.message.empty())
        object["message"] = plugin.message;
    PutFailure(object, plugin.failure);
    return object;
}

OrderedJson ModuleJson(const CModuleEntry &module)
{
    OrderedJson object;
    object["path"] = module.path;
    object["size"] = module.size;
    object["modified"] = module.modified;
    object["scanned"] = module.scanned;
    object["outcome"] = OutcomeName(module.outcome);
    object["message"] = module.message;
    PutFailure(object, module.failure);
    if (!module.plugins.empty()) {
        OrderedJson &plugins = object["plugins"] = OrderedJson::array();
        for (const CPluginEntry &plugin : module.plugins)
            plugins.push_back(PluginJson(plugin));
    }
    return object;
}

// One entry of the catalogue with its place in the order and its text as it
// stands in the document.
struct CSlot {
    std::wstring key;
    CModuleEntry entry;
    std::string text;
};

CSlot MakeSlot(const CModuleEntry &entry)
{
    std::string dumped = ModuleJson(entry).dump(kIndent, ' ', false, OrderedJson::error_handler_t::replace);
    std::string text;
    text.reserve(dumped.size() + dumped.size() / 8);
    for (char c : dumped) {
        text += c;
        if (c == '\n')
            text += kEntryIndent;
    }
    return {FromUtf8(entry.path), entry, std::move(text)};
}

std::string Assemble(const std::vector<CSlot> &slots)
{
    const std::string head = std::string("{\n  \"format\": \"") + kCatalogueFormat + "\",\n  \"version\": " +
                             std::to_string(kCatalogueVersion) + ",\n  \"modules\": [";
    size_t size = head.size() + 8;
    for (const CSlot &slot : slots)
        size += slot.text.size() + 6;
    std::string document;
    document.reserve(size);
    document += head;
    for (size_t i = 0; i < slots.size(); ++i) {
        document += i == 0 ? "\n" : ",\n";
        document += kEntryIndent;
        document += slots[i].text;
    }
    document += slots.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return document;
}

void SortSlots(std::vector<CSlot> *slots)
{
    std::sort(slots->begin(), slots->end(), [](const CSlot &a, const CSlot &b) { return PathLess(a.key, b.key); });
}

// ---------------------------------------------------------------- reading

using Json = nlohmann::json;

template <class... Visitors> struct Overloaded : Visitors... {
    using Visitors::operator()...;
};
template <class... Visitors> Overloaded(Visitors...) -> Overloaded<Visitors...>;

// A document that is not a catalogue, with where and why.
struct CBadDocument {
    std::string reason;
};

[[noreturn]] void Bad(const std::string &where, const std::string &what)
{
    throw CBadDocument{where + ": " + what};
}

std::string Member(const std::string &where, const char *key)
{
    return where.empty() ? key : where + "." + key;
}

const Json *Find(const Json &object, const char *key)
{
    auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

const Json &Require(const Json &object, const char *key, const std::string &where)
{
    const Json *value = Find(object, key);
    if (!value)
        Bad(where, std::string("no \"") + key + "\"");
    return *value;
}

void Expect(bool ok, const Json &value, const char *expected, const std::string &where)
{
    if (!ok)
        Bad(where, std::string("expected ") + expected + ", found " + value.type_name());
}

std::string String(const Json &value, const std::string &where)
{
    Expect(value.is_string(), value, "a text", where);
    return value.get<std::string>();
}

bool Bool(const Json &value, const std::string &where)
{
    Expect(value.is_boolean(), value, "true or false", where);
    return value.get<bool>();
}

int64_t Integer(const Json &value, int64_t least, uint64_t most, const std::string &where)
{
    Expect(value.is_number_integer(), value, "a whole number", where);
    if (value.is_number_unsigned()) {
        uint64_t number = value.get<uint64_t>();
        if (number > most)
            Bad(where, std::to_string(number) + " is out of range");
        return static_cast<int64_t>(number);
    }
    int64_t number = value.get<int64_t>();
    if (number < least)
        Bad(where, std::to_string(number) + " is out of range");
    return number;
}

int32_t Int32(const Json &value, const std::string &where)
{
    return static_cast<int32_t>(
        Integer(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), where));
}

const std::string &HexId(const std::string &id, const std::string &where)
{
    if (id.size() != 8 || id.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        Bad(where, "\"" + id + "\" is not eight hexadecimal digits");
    return id;
}

EOutcome Outcome(const Json &value, const std::string &where)
{
    std::string name = String(value, where);
    std::optional<EOutcome> outcome = OutcomeFromName(name);
    if (!outcome)
        Bad(where, "\"" + name + "\" is not an outcome");
    return *outcome;
}

void ReadFailure(const Json &object, const std::string &where, CFailure *failure)
{
    if (const Json *stage = Find(object, "stage"))
        failure->stage = String(*stage, Member(where, "stage"));
    if (const Json *exitCode = Find(object, "exitCode"))
        failure->exitCode =
            static_cast<uint32_t>(Integer(*exitCode, 0, std::numeric_limits<uint32_t>::max(), Member(where, "exitCode")));
    if (const Json *dump = Find(object, "dump"))
        failure->dump = String(*dump, Member(where, "dump"));
}

CPluginEntry ReadPlugin(const Json &object, const std::string &where)
{
    Expect(object.is_object(), object, "an object", where);
    auto at = [&](const char *key) { return Member(where, key); };
    CPluginEntry plugin;
    for (const auto &known : kPluginFields) {
        const Json &value = Require(object, known.key, where);
        const std::string location = at(known.key);
        std::visit(Overloaded{[&](std::string CPluginEntry::*member) { plugin.*member = String(value, location); },
                              [&](int32_t CPluginEntry::*member) { plugin.*member = Int32(value, location); },
                              [&](bool CPluginEntry::*member) { plugin.*member = Bool(value, location); }},
                   known.field);
    }
    HexId(plugin.id, Member(where, "id"));
    if (const Json *shellId = Find(object, "shellId"))
        plugin.shellId = HexId(String(*shellId, at("shellId")), at("shellId"));
    if (const Json *outcome = Find(object, "outcome"))
        plugin.outcome = Outcome(*outcome, at("outcome"));
    if (const Json *message = Find(object, "message"))
        plugin.message = String(*message, at("message"));
    ReadFailure(object, where, &plugin.failure);
    return plugin;
}

CModuleEntry ReadModule(const Json &object, const std::string &where)
{
    Expect(object.is_object(), object, "an object", where);
    auto field = [&](const char *key) -> const Json & { return Require(object, key, where); };
    auto at = [&](const char *key) { return Member(where, key); };
    CModuleEntry module;
    module.path = String(field("path"), at("path"));
    if (module.path.empty())
        Bad(at("path"), "empty");
    module.size = static_cast<uint64_t>(Integer(field("size"), 0, std::numeric_limits<int64_t>::max(), at("size")));
    module.modified = String(field("modified"), at("modified"));
    module.scanned = String(field("scanned"), at("scanned"));
    module.outcome = Outcome(field("outcome"), at("outcome"));
    module.message = String(field("message"), at("message"));
    ReadFailure(object, where, &module.failure);
    if (const Json *plugins = Find(object, "plugins")) {
        Expect(plugins->is_array(), *plugins, "a list", at("plugins"));
        for (size_t i = 0; i < plugins->size(); ++i)
            module.plugins.push_back(ReadPlugin((*plugins)[i], at("plugins") + "[" + std::to_string(i) + "]"));
    }
    return module;
}

// The entries of a document; throws CBadDocument. *newer is set when the
// document is a catalogue of a later version.
std::vector<CSlot> ReadDocument(std::string_view text, bool *newer)
{
    Json document;
    try {
        document = Json::parse(text.begin(), text.end());
    } catch (const Json::parse_error &e) {
        std::string what = e.what();
        size_t bracket = what.find("] ");
        throw CBadDocument{"not JSON: " + (bracket == std::string::npos ? what : what.substr(bracket + 2))};
    }
    if (!document.is_object())
        throw CBadDocument{std::string("not a catalogue: the document is ") + document.type_name() +
                           ", not an object"};
    const Json *format = Find(document, "format");
    if (!format)
        throw CBadDocument{"not a catalogue: no \"format\""};
    if (!format->is_string() || format->get<std::string>() != kCatalogueFormat)
        throw CBadDocument{"not a catalogue: the format is " + format->dump() + ", not \"" + kCatalogueFormat + "\""};
    int64_t version = Integer(Require(document, "version", ""), std::numeric_limits<int64_t>::min(),
                              std::numeric_limits<int64_t>::max(), "version");
    if (version > kCatalogueVersion) {
        *newer = true;
        throw CBadDocument{"catalogue version " + std::to_string(version) + " is newer than this client's (" +
                           std::to_string(kCatalogueVersion) + ")"};
    }
    if (version != kCatalogueVersion)
        throw CBadDocument{"version: " + std::to_string(version) + " is not a catalogue version"};
    const Json &modules = Require(document, "modules", "");
    Expect(modules.is_array(), modules, "a list", "modules");
    std::vector<CSlot> slots;
    for (size_t i = 0; i < modules.size(); ++i)
        slots.push_back(MakeSlot(ReadModule(modules[i], "modules[" + std::to_string(i) + "]")));
    SortSlots(&slots);
    for (size_t i = 1; i < slots.size(); ++i)
        if (PathsEqual(slots[i - 1].key, slots[i].key))
            throw CBadDocument{"modules: two entries for " + slots[i].entry.path};
    return slots;
}

// ---------------------------------------------------------------- files

std::string PathText(const std::wstring &path)
{
    return "\"" + ToUtf8(path) + "\"";
}

std::string Failed(const std::string &what, DWORD error)
{
    return what + ": " + WindowsErrorText(error);
}

bool IsNotFound(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

std::wstring FolderOf(const std::wstring &path)
{
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// Creates folder and the folders it is in; false with the error code in
// *error when one of them cannot be made.
bool CreateFolders(const std::wstring &folder, DWORD *error)
{
    DWORD attributes = GetFileAttributesW(ExtendedPath(folder).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            return true;
        *error = ERROR_DIRECTORY;
        return false;
    }
    std::wstring parent = FolderOf(folder);
    if (parent.size() < folder.size() && !parent.empty() && parent.back() != L':' && !CreateFolders(parent, error))
        return false;
    if (CreateDirectoryW(ExtendedPath(folder).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
        return true;
    *error = GetLastError();
    return false;
}

// A whole file; false with the error code in *error.
bool ReadWholeFile(const std::wstring &path, std::string *bytes, DWORD *error)
{
    HANDLE file = CreateFileW(ExtendedPath(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    bytes->clear();
    char buffer[65536];
    DWORD got = 0;
    bool ok;
    while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr)) && got > 0)
        bytes->append(buffer, got);
    *error = ok ? ERROR_SUCCESS : GetLastError();
    CloseHandle(file);
    return ok;
}

bool Transient(DWORD error)
{
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// Replaces the file at path with text: the text goes to "<path>.tmp", is
// flushed to the disk, and the temporary file is moved over path, so that
// path holds the old document or the new one, never part of one. Another
// program that holds path open for a moment (an indexer, a virus scanner) is
// waited for briefly.
bool ReplaceFile(const std::wstring &path, const std::string &text, std::string *error)
{
    const std::wstring temporary = ExtendedPath(path + L".tmp");
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = Failed("the catalogue " + PathText(path) + " cannot be written", GetLastError());
        return false;
    }
    size_t done = 0;
    DWORD failure = ERROR_SUCCESS;
    while (done < text.size()) {
        DWORD written = 0;
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 24));
        if (!WriteFile(file, text.data() + done, chunk, &written, nullptr)) {
            failure = GetLastError();
            break;
        }
        done += written;
    }
    if (failure == ERROR_SUCCESS && !FlushFileBuffers(file))
        failure = GetLastError();
    CloseHandle(file);
    if (failure == ERROR_SUCCESS) {
        const std::wstring target = ExtendedPath(path);
        for (int attempt = 0;; ++attempt) {
            if (MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
                return true;
            failure = GetLastError();
            if (!Transient(failure) || attempt == 4)
                break;
            Sleep(20);
        }
    }
    DeleteFileW(temporary.c_str());
    *error = Failed("the catalogue " + PathText(path) + " cannot be written", failure);
    return false;
}

// A free name for a catalogue moved aside: "<path>.<UTC time>.bad", with a
// number added when that is taken.
std::wstring AsideName(const std::wstring &path)
{
    std::wstring stamp = FromUtf8(CurrentUtcTime());
    std::replace(stamp.begin(), stamp.end(), L':', L'-');
    std::wstring name = path + L"." + stamp + L".bad";
    for (int n = 2; GetFileAttributesW(ExtendedPath(name).c_str()) != INVALID_FILE_ATTRIBUTES; ++n)
        name = path + L"." + stamp + L"-" + std::to_wstring(n) + L".bad";
    return name;
}

}  // namespace

// ---------------------------------------------------------------- public

std::string FormatUtcTime(uint64_t fileTime, bool fraction)
{
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(fileTime);
    time.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
    SYSTEMTIME utc;
    if (!FileTimeToSystemTime(&time, &utc))
        return std::string();
    char text[40];
    int length = snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", utc.wYear, utc.wMonth, utc.wDay,
                          utc.wHour, utc.wMinute, utc.wSecond);
    if (fraction)
        length += snprintf(text + length, sizeof text - length, ".%07u",
                           static_cast<unsigned>(fileTime % kFileTimeUnitsPerSecond));
    snprintf(text + length, sizeof text - length, "Z");
    return text;
}

std::string CurrentUtcTime()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return FormatUtcTime((uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime, false);
}

std::optional<CFingerprint> ReadFingerprint(const std::wstring &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(ExtendedPath(FullPath(path)).c_str(), GetFileExInfoStandard, &data))
        return std::nullopt;
    CFingerprint fingerprint;
    fingerprint.size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    fingerprint.modified = FormatUtcTime(
        (uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime, true);
    return fingerprint;
}

std::string CatalogueText(const std::vector<CModuleEntry> &modules)
{
    std::vector<CSlot> slots;
    for (const CModuleEntry &module : modules)
        slots.push_back(MakeSlot(module));
    SortSlots(&slots);
    return Assemble(slots);
}

ECatalogueRead ParseCatalogue(std::string_view text, std::vector<CModuleEntry> *modules, std::string *reason)
{
    modules->clear();
    bool newer = false;
    try {
        for (CSlot &slot : ReadDocument(text, &newer))
            modules->push_back(std::move(slot.entry));
        return ECatalogueRead::Read;
    } catch (const CBadDocument &bad) {
        *reason = bad.reason;
        return newer ? ECatalogueRead::Newer : ECatalogueRead::Unreadable;
    }
}

CScanPlan PlanScan(const std::vector<CModuleEntry> &entries, const std::vector<CDiscoveredModule> &found,
                   const CPlanOptions &options, const std::function<bool(const std::string &path)> &exists)
{
    auto less = [](const std::wstring &a, const std::wstring &b) { return KeyLess(a, b); };
    std::map<std::wstring, size_t, decltype(less)> byPath(less);
    for (size_t i = 0; i < entries.size(); ++i)
        byPath.emplace(FromUtf8(entries[i].path), i);

    std::vector<const CDiscoveredModule *> ordered;
    for (const CDiscoveredModule &module : found)
        ordered.push_back(&module);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const CDiscoveredModule *a, const CDiscoveredModule *b) { return PathLess(a->path, b->path); });

    CScanPlan plan;
    std::vector<bool> matched(entries.size(), false);
    const std::wstring *previous = nullptr;
    for (const CDiscoveredModule *module : ordered) {
        if (previous && PathsEqual(*previous, module->path))
            continue;
        previous = &module->path;
        auto entry = byPath.find(module->path);
        if (entry != byPath.end()) {
            matched[entry->second] = true;
            const CModuleEntry &old = entries[entry->second];
            bool unchanged = module->fingerprint && module->fingerprint->size == old.size &&
                             module->fingerprint->modified == old.modified;
            if (unchanged && !options.rescan && !(options.retryFailed && HasFailure(old))) {
                plan.kept.push_back(old);
                continue;
            }
        }
        plan.scan.push_back(*module);
    }
    for (size_t i = 0; i < entries.size(); ++i)
        if (!matched[i] && !exists(entries[i].path))
            plan.dropped.push_back(entries[i].path);
    return plan;
}

bool FileExists(const std::string &path)
{
    if (GetFileAttributesW(ExtendedPath(FullPath(FromUtf8(path))).c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    return !IsNotFound(GetLastError());
}

struct CCatalogue::CState {
    HANDLE lock = INVALID_HANDLE_VALUE;
    std::vector<CSlot> slots;  // in path order, paths differing in more than letter case
    std::string document;
};

CCatalogue::CCatalogue() : m_state(std::make_unique<CState>()) {}

CCatalogue::~CCatalogue()
{
    Close();
}

void CCatalogue::Close()
{
    if (m_state->lock != INVALID_HANDLE_VALUE)
        CloseHandle(m_state->lock);
    *m_state = CState();
}

bool CCatalogue::Open(const std::wstring &path, std::string *warning, std::string *error)
{
    Close();
    warning->clear();
    m_path = FullPath(path);
    if (m_path.empty()) {
        *error = "the catalogue path " + PathText(path) + " is not a valid path";
        return false;
    }
    const std::wstring folder = FolderOf(m_path);
    DWORD code = ERROR_SUCCESS;
    if (!CreateFolders(folder, &code)) {
        *error = Failed("the catalogue folder " + PathText(folder) + " cannot be created", code);
        return false;
    }

    // The lock file is deleted when its one handle is closed, which the
    // system does for a process that ends in any way; a lock file left by a
    // machine that lost power is opened again without trouble, since nobody
    // holds it.
    const std::wstring lockPath = m_path + L".lock";
    HANDLE lock = CreateFileW(ExtendedPath(lockPath).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (lock == INVALID_HANDLE_VALUE) {
        code = GetLastError();
        if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION)
            *error = "the catalogue " + PathText(m_path) + " is in use by another scan (it holds " +
                     PathText(lockPath) + ")";
        else
            *error = Failed("the catalogue folder " + PathText(folder) + " is not writable", code);
        return false;
    }
    m_state->lock = lock;

    std::string bytes;
    if (!ReadWholeFile(m_path, &bytes, &code)) {
        if (IsNotFound(code)) {
            m_state->document = Assemble(m_state->slots);
            return true;
        }
        *error = Failed("the catalogue " + PathText(m_path) + " cannot be read", code);
        Close();
        return false;
    }
    bool newer = false;
    try {
        m_state->slots = ReadDocument(bytes, &newer);
    } catch (const CBadDocument &bad) {
        if (newer) {
            *error = "the catalogue " + PathText(m_path) + " was written by a newer client: " + bad.reason;
            Close();
            return false;
        }
        std::wstring aside = AsideName(m_path);
        if (!MoveFileExW(ExtendedPath(m_path).c_str(), ExtendedPath(aside).c_str(), MOVEFILE_WRITE_THROUGH)) {
            *error = Failed("the catalogue " + PathText(m_path) + " cannot be read (" + bad.reason +
                                ") and cannot be moved aside",
                            GetLastError());
            Close();
            return false;
        }
        *warning = "the catalogue " + PathText(m_path) + " could not be read (" + bad.reason + "); it was moved to " +
                   PathText(aside) + " and a new catalogue is started";
    }
    m_state->document = Assemble(m_state->slots);
    return true;
}

std::vector<CModuleEntry> CCatalogue::Modules() const
{
    std::vector<CModuleEntry> modules;
    modules.reserve(m_state->slots.size());
    for (const CSlot &slot : m_state->slots)
        modules.push_back(slot.entry);
    return modules;
}

std::string CCatalogue::Text() const
{
    return m_state->document;
}

bool CCatalogue::Update(const CModuleEntry &entry, std::string *error)
{
    return Update(std::vector<CModuleEntry>{entry}, error);
}

bool CCatalogue::Update(const std::vector<CModuleEntry> &entries, std::string *error)
{
    std::vector<CSlot> &slots = m_state->slots;
    for (const CModuleEntry &entry : entries) {
        CSlot slot = MakeSlot(entry);
        auto place = std::lower_bound(slots.begin(), slots.end(), slot.key,
                                      [](const CSlot &a, const std::wstring &key) { return KeyLess(a.key, key); });
        if (place != slots.end() && PathsEqual(place->key, slot.key))
            *place = std::move(slot);
        else
            slots.insert(place, std::move(slot));
    }
    return Write(error);
}

bool CCatalogue::Remove(const std::vector<std::string> &paths, std::string *error)
{
    std::vector<std::wstring> keys;
    for (const std::string &path : paths)
        keys.push_back(FromUtf8(path));
    std::vector<CSlot> &slots = m_state->slots;
    slots.erase(std::remove_if(slots.begin(), slots.end(),
                               [&](const CSlot &slot) {
                                   return std::any_of(keys.begin(), keys.end(), [&](const std::wstring &key) {
                                       return PathsEqual(slot.key, key);
                                   });
                               }),
                slots.end());
    return Write(error);
}

bool CCatalogue::Write(std::string *error)
{
    if (m_state->lock == INVALID_HANDLE_VALUE) {
        *error = "the catalogue is not open";
        return false;
    }
    std::string document = Assemble(m_state->slots);
    if (!ReplaceFile(m_path, document, error))
        return false;
    m_state->document = std::move(document);
    return true;
}

}  // namespace ScanHost
