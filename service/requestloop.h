// The request channel: "ready:" before every request, then one request line
// from g_hInput, handed to HandleRequest. The input is read as a stream of
// lines, so requests written together or split across writes are each served
// once, in order, with one report and one "ready:" each. A host may also
// write a request without its line feed and wait: input that ends without one,
// with nothing more waiting in the pipe, is a whole request when it is short
// enough for a single read, and a line feed that comes right after it belongs
// to it.
#pragma once

#include <windows.h>

#include "protocol/protocol.h"

// The request channel: the host's pipe, or standard input.
extern HANDLE g_hInput;

// Longest request line served, in bytes without the line feed. A longer line
// is answered with the error "Request too long" and skipped.
const int kMaxRequestBytes = Protocol::kMaxRequestBytes;

// Longest request served without its line feed, in bytes. Longer input
// without a line feed waits for the rest of its line.
const int kMaxUnendedRequestBytes = 1023;

// Reads hexadecimal digits from the start of text (no prefix, no sign) until
// the first other character; more than eight digits keep the last eight.
// Returns 0 for a null text or one without a leading digit.
unsigned int ParseHex(const wchar_t *text);

// Dispatches every message waiting in this thread's queue.
void PumpMessages();

// Serves requests until the input ends or fails.
void RunRequestLoop();

// Services this thread's windows until a quit message, which the server never
// posts: the mode without a request channel.
void RunMessageLoop();
