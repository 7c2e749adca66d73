// The command line's raw mode: relays one server's lines for the requests
// given, for debugging the protocol. Lines of the client's own start with
// "# "; everything else is the server's output as it was written.
#pragma once

#include <string>
#include <vector>

// Starts the server, sends the requests (UTF-8) one at a time, each once the
// server is ready, then closes its request pipe. Returns the server's exit
// code, or 3 when it cannot be started.
int RelayRequests(const std::wstring &serverPath, const std::wstring &dumpFolder,
                  const std::vector<std::string> &requests);
