#include "simple/simplestring.h"
#include <gtest/gtest.h>
TEST(Smoke, Format) { auto s = Simple::CWideString::Format(L"%i.%i", 1, 2); EXPECT_STREQ(s.text, L"1.2"); }
