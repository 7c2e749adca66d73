// Reading and loading the floating-point control words.
#include "probe/fpucontrol.h"

#include <windows.h>

namespace {

bool HasSse()
{
    return IsProcessorFeaturePresent(PF_XMMI_INSTRUCTIONS_AVAILABLE) != FALSE;
}

}  // namespace

CFpuControl GetFpuControl()
{
    CFpuControl control = {0, 0};
    __asm__ volatile("fnstcw %0" : "=m"(control.x87));
    if (HasSse())
        __asm__ volatile("stmxcsr %0" : "=m"(control.mxcsr));
    return control;
}

void ResetFpu(const CFpuControl &control)
{
    __asm__ volatile("fninit\n fldcw %0" : : "m"(control.x87));
    if (HasSse())
        __asm__ volatile("ldmxcsr %0" : : "m"(control.mxcsr));
}
