// The result record of one request and the report object written from it.
// A record starts with every default (id 0, null texts, category -1, no shell
// entries); whatever the scan could fill in is reported, failed or not.
#pragma once

#include "simple/simplestring.h"
#include "simple/vector.h"
#include "simple/semantics.h"

// One plug-in found inside a shell module.
class CShellInfo {
public:
    int id = 0;
    Simple::CWideString name;
};

class CPluginInfo {
public:
    int id = 0;
    Simple::CWideString name;
    Simple::CWideString vendor;
    Simple::CWideString product;
    Simple::CWideString version;
    Simple::CWideString error;
    int numInputs = 0;
    int numOutputs = 0;
    bool wantsMidi = false;
    bool sendsMidi = false;
    bool audio64 = false;
    bool synthEdit = false;
    int category = -1;
    // The record owns its entries and deletes them with itself.
    Simple::CVector<CShellInfo *, Simple::SOwnedPtr, CShellInfo *> shells;
};

// Category of a shell module, the one category whose report lists its shells.
const int kCategoryShell = 10;

// Escapes a text for a JSON string value. A null or empty text gives an empty
// string; the result is null only when memory runs out.
Simple::CWideString JsonEscape(const Simple::CWideString &text);

// Writes the report object of info as lines at level ">".
void ReportPluginInfo(const CPluginInfo &info);
