// The server without any display (run with DISPLAY unset under Wine): no
// status window and nothing about it in the output; requests are served as
// with a window.
#include <gtest/gtest.h>

#include <string>

#include "server_process.h"

namespace {

TEST(ServerWithoutDisplay, ServesRequestsAsBefore)
{
    wchar_t display[256];
    ASSERT_EQ(0u, GetEnvironmentVariableW(L"DISPLAY", display, 256))
        << "meant to run without a display: CTest starts it with DISPLAY unset";

    ServerProcess server(ServerProcess::kServing, nullptr);
    EXPECT_EQ("info:Quenmoor Plugin Scan Server (x86)\nready:\n", server.ReadUntil("ready:\n"));
    EXPECT_TRUE(server.StatusWindows().empty());

    const wchar_t request[] = L"C:\\no such folder\\plugin.dll";
    server.Send("C:\\no such folder\\plugin.dll\n");
    std::string answer = server.ReadUntil("ready:\n");
    EXPECT_NE(std::string::npos, answer.find("\n>")) << "a report: " << answer;
    EXPECT_EQ(AnswerInProcess(request) + "ready:\n", answer);
    server.Send("C:\\no such folder\\other.dll\n");
    EXPECT_EQ(AnswerInProcess(L"C:\\no such folder\\other.dll") + "ready:\n", server.ReadUntil("ready:\n"));
    EXPECT_EQ(0u, server.Finish());
}

}  // namespace
