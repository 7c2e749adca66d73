// Version texts of a plug-in: its own vendor version number turned into a
// dotted text, and the fallback read from the version block of the module
// file. Every text is a new string that the caller owns.
#pragma once

#include <windows.h>

#include "simple/simplestring.h"

// Turns the number a plug-in answers to effGetVendorVersion into a four-part
// dotted text by the range the number falls in: 0 gives the empty string, a
// number below 10 (every negative one included) "v.0.0.0", below 10000 its
// four decimal digits, below 65536 its four leading digits, below 0x650000 its
// three low bytes and 0, and anything larger groups of its decimal digits.
// Null only when memory runs out.
Simple::CWideString FormatVendorVersion(int version);

// Reads the fixed version record of the file at path into record. Returns
// false when the file has no version block or it cannot be read, or when
// memory runs out.
bool GetFixedFileVersion(const wchar_t *path, VS_FIXEDFILEINFO &record);

// The record's product version as "a.b.c.d", or its file version when the
// product version is all zero; the null string when both are zero (or memory
// runs out).
Simple::CWideString FormatFileVersion(const VS_FIXEDFILEINFO &record);
