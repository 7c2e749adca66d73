// Level-tagged output lines: the level, a colon and the message, in UTF-8, on
// g_hOutput. Each line is one write followed by a flush, so the host has every
// line written before a crash. Writers are serialised, so lines written from a
// plug-in's own threads never interleave with the server's.
#pragma once

#include <stdarg.h>
#include <windows.h>

// The output channel: the host's pipe, or standard output.
extern HANDLE g_hOutput;

// Formats the message with the wide conventions of Simple::CWideString::Format
// and writes level ":" message. The message carries its own "\n". Write errors
// are ignored: a broken channel ends the server at its next read.
void LogWrite(const char *level, const wchar_t *format, ...);
void LogWriteV(const char *level, const wchar_t *format, va_list arguments);

void LogError(const wchar_t *format, ...);   // "error": why a scan failed
void LogWarn(const wchar_t *format, ...);    // "warn": requests the server does not handle
void LogInfo(const wchar_t *format, ...);    // "info": progress, the banner
void LogResult(const wchar_t *format, ...);  // ">": lines of a report object

// Writes count bytes as they are (the "ready:" handshake), with the same
// single write, flush and lock as every line.
void WriteOutput(const char *bytes, int count);
