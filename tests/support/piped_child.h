// A program driven by hand through a channel of its own, for the tests and
// benchmarks that speak the pipe protocol byte by byte: "{in}" and "{out}" in
// its arguments stand for the child's ends of the channel in lower-case
// hexadecimal ("{IN}" and "{OUT}" in upper case), or the channel is its
// standard input, output and error. The child ends with the CPipedChild.
#pragma once

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "host/channel/channel.h"
#include "host/process/childprocess.h"
#include "host/server/scanserver.h"
#include "protocol/protocol.h"

struct CPipedChild {
    // Starts program. Returns false with the reason in *error; nothing is
    // left running then.
    bool Start(const std::wstring &program, std::wstring arguments, bool standardHandles, std::string *error)
    {
        ScanHost::CError failure;
        if (!channel.Open(&failure)) {
            *error = failure.Text();
            return false;
        }
        uintptr_t in = reinterpret_cast<uintptr_t>(channel.ChildInput());
        uintptr_t out = reinterpret_cast<uintptr_t>(channel.ChildOutput());
        const struct {
            const wchar_t *name;
            std::wstring value;
        } names[] = {{L"{in}", ScanHost::HexArgument(in)},
                     {L"{out}", ScanHost::HexArgument(out)},
                     {L"{IN}", ScanHost::HexArgument(in, true)},
                     {L"{OUT}", ScanHost::HexArgument(out, true)}};
        for (const auto &name : names) {
            std::wstring key = name.name;
            for (size_t at = arguments.find(key); at != std::wstring::npos;
                 at = arguments.find(key, at + name.value.size()))
                arguments.replace(at, key.size(), name.value);
        }
        ScanHost::CChildLaunch launch;
        launch.program = program;
        launch.arguments = arguments;
        launch.inherit = {channel.ChildInput(), channel.ChildOutput()};
        if (standardHandles) {
            launch.standardInput = channel.ChildInput();
            launch.standardOutput = channel.ChildOutput();
            launch.standardError = channel.ChildOutput();
        }
        bool started = process.Start(launch, &failure);
        channel.CloseChildEnds();
        if (!started)
            *error = failure.Text();
        return started;
    }

    ScanHost::CChannel channel;
    ScanHost::CChildProcess process;
};

// Everything a child wrote up to its next "ready:" line or the end.
struct CResponse {
    std::string raw;                              // the lines, each ended by a line feed
    std::vector<ScanHost::CServerLine> lines;     // raw split into lines
    std::vector<std::string> report;              // the texts of the ">" lines
    ScanHost::EExchangeEnd end = ScanHost::EExchangeEnd::Silent;
};

// Takes lines up to and including the next "ready:", or up to the end of the
// output, waiting at most timeout in all.
inline CResponse ReadUntilReady(ScanHost::CChannel &channel, std::chrono::milliseconds timeout)
{
    using Clock = std::chrono::steady_clock;
    const std::string ready(Protocol::kReadyLine, sizeof Protocol::kReadyLine - 2);
    CResponse response;
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        std::string line;
        ScanHost::ERead read = channel.ReadLine(&line, std::max(left, std::chrono::milliseconds(0)));
        if (read != ScanHost::ERead::Line) {
            response.end = read == ScanHost::ERead::Closed ? ScanHost::EExchangeEnd::Closed
                                                           : ScanHost::EExchangeEnd::Silent;
            return response;
        }
        if (line == ready) {
            response.end = ScanHost::EExchangeEnd::Ready;
            return response;
        }
        response.raw += line + "\n";
        ScanHost::CServerLine split = ScanHost::SplitServerLine(line);
        if (split.level == Protocol::kLevelReport)
            response.report.push_back(split.text);
        response.lines.push_back(std::move(split));
    }
}
