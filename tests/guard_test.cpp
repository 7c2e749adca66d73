// The exception guard around one plug-in call: faults of every kind inside
// the call are caught and the program goes on; handlers the plug-in installs
// inside the call are asked first and told of the unwind; the handler chain is
// restored; faults outside the call, or on another thread during it, still
// reach the process's unhandled-exception filter.
#include <gtest/gtest.h>
#include <float.h>
#include <windows.h>

#include <vector>

#include "probe/guard.h"

namespace {

// The head of this thread's handler chain, fs:[0].
EXCEPTION_REGISTRATION_RECORD *ChainHead()
{
    EXCEPTION_REGISTRATION_RECORD *head;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
    return head;
}

void SetChainHead(EXCEPTION_REGISTRATION_RECORD *head)
{
    __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}

void __cdecl WriteToNull(void *)
{
    volatile int *volatile target = nullptr;
    *target = 1;
}

void __cdecl Breakpoint(void *)
{
    __asm__ volatile("int3");
}

void __cdecl IllegalInstruction(void *)
{
    __asm__ volatile("ud2");
}

void __cdecl DivideByZero(void *)
{
    // Written out, as the compiler may turn a division by a known zero into
    // anything.
    __asm__ volatile("xorl %%ecx, %%ecx\n movl $1, %%eax\n cltd\n idivl %%ecx" : : : "eax", "ecx", "edx");
}

void __cdecl RaiseCustom(void *)
{
    RaiseException(0xE0001234, 0, 0, nullptr);
}

void __cdecl RaiseNoncontinuable(void *)
{
    RaiseException(0xE0005678, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

void __cdecl Returns(void *argument)
{
    *static_cast<int *>(argument) = 42;
}

TEST(Guard, CatchesEveryKindOfFaultInsideTheCall)
{
    struct {
        const char *what;
        void(__cdecl *call)(void *);
    } cases[] = {
        {"null write", WriteToNull},
        {"int3", Breakpoint},
        {"illegal instruction", IllegalInstruction},
        {"division by zero", DivideByZero},
        {"custom exception", RaiseCustom},
        {"non-continuable exception", RaiseNoncontinuable},
    };
    for (const auto &c : cases) {
        EXCEPTION_REGISTRATION_RECORD *before = ChainHead();
        // Values the caller keeps across the call, in registers or not.
        volatile int kept = 12345;
        EXPECT_FALSE(CallGuarded(c.call, nullptr)) << c.what;
        EXPECT_EQ(kept, 12345) << c.what;
        EXPECT_EQ(ChainHead(), before) << c.what;
    }
}

TEST(Guard, ACallThatReturnsReturnsTrue)
{
    EXCEPTION_REGISTRATION_RECORD *before = ChainHead();
    int result = 0;
    EXPECT_TRUE(CallGuarded(Returns, &result));
    EXPECT_EQ(result, 42);
    EXPECT_EQ(ChainHead(), before);
}

TEST(Guard, CatchesAgainAfterACatch)
{
    for (int i = 0; i < 100; ++i)
        ASSERT_FALSE(CallGuarded(WriteToNull, nullptr)) << i;
    int result = 0;
    EXPECT_TRUE(CallGuarded(Returns, &result));
}

// A handler of the plug-in's own, installed inside the guarded call.
struct SPluginFrame {
    EXCEPTION_REGISTRATION_RECORD record;
    bool handles;                  // answers "continue execution" to a raise
    std::vector<DWORD> *calls;     // flags of every call it gets
};

EXCEPTION_DISPOSITION __cdecl PluginHandler(EXCEPTION_RECORD *exception, void *frame, CONTEXT *, void *)
{
    SPluginFrame *plugin = static_cast<SPluginFrame *>(frame);
    plugin->calls->push_back(exception->ExceptionFlags);
    if (plugin->handles && !(exception->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)))
        return ExceptionContinueExecution;
    return ExceptionContinueSearch;
}

struct SPluginCall {
    bool handles;
    std::vector<DWORD> calls;
    bool returned = false;
};

void __cdecl RaiseUnderOwnHandler(void *argument)
{
    SPluginCall *call = static_cast<SPluginCall *>(argument);
    SPluginFrame frame;
    frame.record.Next = ChainHead();
    // The system calls handlers so that either calling convention works.
    frame.record.Handler = reinterpret_cast<PEXCEPTION_ROUTINE>(reinterpret_cast<void *>(PluginHandler));
    frame.handles = call->handles;
    frame.calls = &call->calls;
    SetChainHead(&frame.record);
    RaiseException(0xE0009ABC, 0, 0, nullptr);
    SetChainHead(frame.record.Next);
    call->returned = true;
}

TEST(Guard, ThePluginsOwnHandlersAreAskedFirst)
{
    SPluginCall call;
    call.handles = true;
    EXCEPTION_REGISTRATION_RECORD *before = ChainHead();
    EXPECT_TRUE(CallGuarded(RaiseUnderOwnHandler, &call));
    EXPECT_TRUE(call.returned);
    ASSERT_EQ(call.calls.size(), 1u);
    EXPECT_EQ(call.calls[0], 0u);
    EXPECT_EQ(ChainHead(), before);
}

TEST(Guard, ThePluginsOwnHandlersAreToldOfTheUnwind)
{
    SPluginCall call;
    call.handles = false;
    EXCEPTION_REGISTRATION_RECORD *before = ChainHead();
    EXPECT_FALSE(CallGuarded(RaiseUnderOwnHandler, &call));
    EXPECT_FALSE(call.returned);
    ASSERT_EQ(call.calls.size(), 2u);
    EXPECT_EQ(call.calls[0], 0u);
    EXPECT_TRUE(call.calls[1] & EXCEPTION_UNWINDING);
    EXPECT_EQ(ChainHead(), before);
}

void __cdecl FaultWithFloatingPointUnitInDisarray(void *)
{
    // Round toward zero at single precision, and values left on the x87
    // register stack.
    _control87(_RC_CHOP | _PC_24, _MCW_RC | _MCW_PC);
    __asm__ volatile("fld1\n fld1\n fld1\n fld1\n fld1\n fld1\n fld1\n fld1\n");
    WriteToNull(nullptr);
}

TEST(Guard, TheFloatingPointUnitIsGivenBackAsItWasAfterACatch)
{
    _fpreset();
    // Not the start-up state, to see that it is the caller's that comes back.
    _control87(_RC_UP, _MCW_RC);
    unsigned int control = _control87(0, 0);
    EXPECT_FALSE(CallGuarded(FaultWithFloatingPointUnitInDisarray, nullptr));
    EXPECT_EQ(_control87(0, 0), control);
    volatile double third = 1.0;
    third /= 3.0;
    EXPECT_DOUBLE_EQ(third * 3.0, 1.0);
    EXPECT_EQ(third, third);  // not a NaN from an overflowing register stack
    _fpreset();
}

const int kFilterExitCode = 77;

LONG WINAPI ExitFilter(EXCEPTION_POINTERS *)
{
    TerminateProcess(GetCurrentProcess(), kFilterExitCode);
    return EXCEPTION_CONTINUE_SEARCH;
}

TEST(GuardDeathTest, AFaultAfterTheCallIsNotSwallowed)
{
    EXPECT_EXIT(
        {
            SetUnhandledExceptionFilter(ExitFilter);
            CallGuarded(WriteToNull, nullptr);
            WriteToNull(nullptr);
        },
        ::testing::ExitedWithCode(kFilterExitCode), "");
}

DWORD WINAPI FaultingThread(void *)
{
    WriteToNull(nullptr);
    return 0;
}

void __cdecl FaultOnAnotherThread(void *)
{
    HANDLE thread = CreateThread(nullptr, 0, FaultingThread, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

TEST(GuardDeathTest, AFaultOnAnotherThreadDuringTheCallIsNotSwallowed)
{
    EXPECT_EXIT(
        {
            SetUnhandledExceptionFilter(ExitFilter);
            CallGuarded(FaultOnAnotherThread, nullptr);
        },
        ::testing::ExitedWithCode(kFilterExitCode), "");
}

}  // namespace
