// Splits captured output into its lines, each with its line feed, so that
// tests can compare the order of lines and find one among many.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

inline std::vector<std::string> SplitLines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t feed = text.find('\n', start);
        size_t end = feed == std::string::npos ? text.size() : feed + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

// The lines that begin with prefix, in order.
inline std::vector<std::string> LinesStartingWith(const std::string &text, const std::string &prefix)
{
    std::vector<std::string> found;
    for (const std::string &line : SplitLines(text)) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            found.push_back(line);
    }
    return found;
}

inline int CountLines(const std::string &text, const std::string &line)
{
    std::vector<std::string> lines = SplitLines(text);
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}
