// The report reader: a small parser for the one object shape the server
// writes (string, integer, boolean and hexadecimal-id values and one nested
// object of shell entries), strict about everything but the comma before a
// closing brace.
#include "host/report/report.h"

#include <variant>

namespace ScanHost {

namespace {

// The value of the "id" key: eight hexadecimal digits in quotation marks,
// kept as written and as a number.
struct SHexId {};
// The value of the "shells" key: an object of id and name pairs.
struct SShellList {};

// One key of the report and the field its value goes to. Every key but
// "shells" is required.
struct SKey {
    const char *name;
    std::variant<SHexId, std::string CReport::*, int32_t CReport::*, bool CReport::*, SShellList> field;
};

const SKey kKeys[] = {
    {"id", SHexId{}},
    {"name", &CReport::name},
    {"vendor", &CReport::vendor},
    {"product", &CReport::product},
    {"version", &CReport::version},
    {"error", &CReport::error},
    {"numInputs", &CReport::numInputs},
    {"numOutputs", &CReport::numOutputs},
    {"wantsMidi", &CReport::wantsMidi},
    {"sendsMidi", &CReport::sendsMidi},
    {"platform", &CReport::platform},
    {"audio64", &CReport::audio64},
    {"category", &CReport::category},
    {"synthEdit", &CReport::synthEdit},
    {"shells", SShellList{}},
};
const size_t kKeyCount = sizeof kKeys / sizeof kKeys[0];

bool IsShellList(const SKey &key)
{
    return std::holds_alternative<SShellList>(key.field);
}

template <class... T>
struct SOverloaded : T... {
    using T::operator()...;
};
template <class... T>
SOverloaded(T...) -> SOverloaded<T...>;

void AppendUtf8(std::string *out, uint32_t code)
{
    if (code < 0x80) {
        *out += static_cast<char>(code);
    } else if (code < 0x800) {
        *out += static_cast<char>(0xC0 | (code >> 6));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        *out += static_cast<char>(0xE0 | (code >> 12));
        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (code >> 18));
        *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Eight hexadecimal digits, as the server writes every id.
bool ParseHexId(const std::string &text, int32_t *id)
{
    if (text.size() != 8)
        return false;
    uint32_t value = 0;
    for (char c : text) {
        int digit = HexDigit(c);
        if (digit < 0)
            return false;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    *id = static_cast<int32_t>(value);
    return true;
}

class CParser {
public:
    explicit CParser(const std::string &text) : m_text(text) {}

    bool Parse(CReport *report, std::string *error)
    {
        bool ok = ParseReport(report);
        if (!ok)
            *error = m_error;
        return ok;
    }

private:
    bool ParseReport(CReport *report)
    {
        bool seen[kKeyCount] = {};
        if (!Expect('{', "'{' opening the report"))
            return false;
        for (;;) {
            SkipSpace();
            if (Peek() == '}') {
                ++m_at;
                break;
            }
            size_t keyAt = m_at;
            std::string key;
            if (!ParseString(&key, "a key or '}'"))
                return false;
            size_t index = 0;
            while (index < kKeyCount && key != kKeys[index].name)
                ++index;
            if (index == kKeyCount)
                return FailAt(keyAt, "unknown key \"" + key + "\"");
            if (seen[index])
                return FailAt(keyAt, "key \"" + key + "\" appears twice");
            seen[index] = true;
            if (!Expect(':', "':' after the key"))
                return false;
            if (!ParseValue(kKeys[index], report))
                return false;
            if (!EndMember())
                return false;
        }
        SkipSpace();
        if (m_at != m_text.size())
            return Fail("text after the report's closing '}'");
        for (size_t index = 0; index < kKeyCount; ++index) {
            if (IsShellList(kKeys[index]))
                report->hasShells = seen[index];
            else if (!seen[index])
                return Fail(std::string("the report has no \"") + kKeys[index].name + "\" key");
        }
        return true;
    }

    bool ParseValue(const SKey &key, CReport *report)
    {
        return std::visit(SOverloaded{
                              [&](SHexId) { return ParseIdValue(&report->idText, &report->id); },
                              [&](std::string CReport::*text) { return ParseString(&(report->*text), "a text value"); },
                              [&](int32_t CReport::*integer) { return ParseInteger(&(report->*integer)); },
                              [&](bool CReport::*boolean) { return ParseBoolean(&(report->*boolean)); },
                              [&](SShellList) { return ParseShells(&report->shells); },
                          },
                          key.field);
    }

    // A member ends with a comma or with the closing brace that follows it;
    // the comma may also stand right before the closing brace.
    bool EndMember()
    {
        SkipSpace();
        if (Peek() == ',') {
            ++m_at;
            return true;
        }
        if (Peek() == '}')
            return true;
        return Fail("expected ',' or '}' after a value");
    }

    bool ParseIdValue(std::string *text, int32_t *id)
    {
        size_t at = (SkipSpace(), m_at);
        if (!ParseString(text, "an id in quotation marks"))
            return false;
        if (!ParseHexId(*text, id))
            return FailAt(at, "an id must be eight hexadecimal digits, not \"" + *text + "\"");
        return true;
    }

    bool ParseShells(std::vector<CShellEntry> *shells)
    {
        if (!Expect('{', "'{' opening the shells"))
            return false;
        for (;;) {
            SkipSpace();
            if (Peek() == '}') {
                ++m_at;
                return true;
            }
            CShellEntry entry;
            if (!ParseIdValue(&entry.idText, &entry.id))
                return false;
            if (!Expect(':', "':' after the shell id"))
                return false;
            if (!ParseString(&entry.name, "the shell's name"))
                return false;
            shells->push_back(std::move(entry));
            if (!EndMember())
                return false;
        }
    }

    bool ParseString(std::string *out, const char *what)
    {
        if (!Expect('"', what))
            return false;
        out->clear();
        for (;;) {
            if (m_at == m_text.size())
                return Fail("a text runs to the end of the report");
            char c = m_text[m_at];
            if (c == '"') {
                ++m_at;
                return true;
            }
            if (c == '\n')
                return Fail("a text runs past the end of its line");
            if (static_cast<unsigned char>(c) < 0x20)
                return Fail("a control character inside a text");
            if (c != '\\') {
                *out += c;
                ++m_at;
                continue;
            }
            if (++m_at == m_text.size())
                return Fail("a text runs to the end of the report");
            char escape = m_text[m_at++];
            switch (escape) {
            case '"': *out += '"'; break;
            case '\\': *out += '\\'; break;
            case '/': *out += '/'; break;
            case 'b': *out += '\b'; break;
            case 'f': *out += '\f'; break;
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            case 'u': {
                uint32_t unit;
                if (!ParseUnit(&unit))
                    return false;
                AppendUtf8(out, CombineSurrogates(unit));
                break;
            }
            default:
                return FailAt(m_at - 2, "unknown escape in a text");
            }
        }
    }

    // Four hexadecimal digits after "\u".
    bool ParseUnit(uint32_t *unit)
    {
        *unit = 0;
        for (int i = 0; i < 4; ++i) {
            int digit = m_at < m_text.size() ? HexDigit(m_text[m_at]) : -1;
            if (digit < 0)
                return Fail("\\u must be followed by four hexadecimal digits");
            *unit = *unit << 4 | static_cast<uint32_t>(digit);
            ++m_at;
        }
        return true;
    }

    // A high surrogate followed by an escaped low one is one character; a
    // surrogate on its own becomes U+FFFD, as when the server writes one.
    uint32_t CombineSurrogates(uint32_t unit)
    {
        if (unit >= 0xDC00 && unit <= 0xDFFF)
            return 0xFFFD;
        if (unit < 0xD800 || unit > 0xDBFF)
            return unit;
        if (m_text.compare(m_at, 2, "\\u") != 0)
            return 0xFFFD;
        size_t at = m_at;
        m_at += 2;
        uint32_t low;
        if (!ParseUnit(&low) || low < 0xDC00 || low > 0xDFFF) {
            m_at = at;  // not a pair: the next escape is read on its own
            m_error.clear();
            return 0xFFFD;
        }
        return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }

    // A decimal integer that fits 32 bits: an optional minus, no leading zero.
    bool ParseInteger(int32_t *out)
    {
        SkipSpace();
        size_t at = m_at;
        bool negative = Peek() == '-';
        if (negative)
            ++m_at;
        size_t digitsAt = m_at;
        int64_t value = 0;
        while (m_at < m_text.size() && m_text[m_at] >= '0' && m_text[m_at] <= '9') {
            value = value * 10 + (m_text[m_at] - '0');
            if (value > 0x80000000LL)
                return FailAt(at, "an integer out of the 32-bit range");
            ++m_at;
        }
        size_t digits = m_at - digitsAt;
        if (digits == 0)
            return FailAt(at, "expected an integer");
        if (digits > 1 && m_text[digitsAt] == '0')
            return FailAt(at, "an integer with a leading zero");
        if (Peek() == '.' || Peek() == 'e' || Peek() == 'E')
            return FailAt(at, "expected an integer, not a fraction");
        if (negative)
            value = -value;
        if (value > 0x7FFFFFFFLL)
            return FailAt(at, "an integer out of the 32-bit range");
        *out = static_cast<int32_t>(value);
        return true;
    }

    bool ParseBoolean(bool *out)
    {
        SkipSpace();
        if (m_text.compare(m_at, 4, "true") == 0) {
            m_at += 4;
            *out = true;
        } else if (m_text.compare(m_at, 5, "false") == 0) {
            m_at += 5;
            *out = false;
        } else {
            return Fail("expected true or false");
        }
        return true;
    }

    void SkipSpace()
    {
        while (Peek() == ' ' || Peek() == '\t' || Peek() == '\r' || Peek() == '\n')
            ++m_at;
    }

    char Peek() const { return m_at < m_text.size() ? m_text[m_at] : '\0'; }

    bool Expect(char c, const char *what)
    {
        SkipSpace();
        if (Peek() != c)
            return Fail(std::string("expected ") + what);
        ++m_at;
        return true;
    }

    bool Fail(const std::string &message) { return FailAt(m_at, message); }

    // Records the message with the line and column of offset (both from 1).
    bool FailAt(size_t offset, const std::string &message)
    {
        size_t line = 1, column = 1;
        for (size_t i = 0; i < offset && i < m_text.size(); ++i) {
            if (m_text[i] == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        m_error = "report line " + std::to_string(line) + ", column " + std::to_string(column) +
                  ": " + message;
        return false;
    }

    const std::string &m_text;
    size_t m_at = 0;
    std::string m_error;
};

}  // namespace

bool ParseReport(const std::vector<std::string> &lines, CReport *report, std::string *error)
{
    std::string text;
    for (const std::string &line : lines) {
        // A line feed inside a line would make two lines of one.
        if (line.find('\n') != std::string::npos) {
            *error = "a report line holds a line feed";
            return false;
        }
        text += line;
        text += '\n';
    }
    CReport parsed;
    if (!CParser(text).Parse(&parsed, error))
        return false;
    *report = std::move(parsed);
    return true;
}

}  // namespace ScanHost
