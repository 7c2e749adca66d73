// The guard's two pieces of machine code, for 32-bit x86 structured
// exception handling, and the unwind they ask the system for.
//
// RunGuardedCall builds this registration record on its own stack and links
// it at the head of the chain in fs:[0]:
//
//   record + 0   next record (the chain as it was)
//   record + 4   GuardHandler
//   record + 8   address at which a caught exception resumes
//   record + 12  edi, esi, ebx, ebp of the caller (ebp = record + 24)
//
// When GuardHandler is asked about an exception (every handler above it
// declined), it has the system unwind the frames above the record, then
// makes the record's address the stack again and jumps to the resume
// address, as a compiler's own exception block would. It never returns
// "continue execution", so exceptions raised as non-continuable are caught
// too.
#include "probe/guard.h"

#include <windows.h>

#include "probe/fpucontrol.h"

extern "C" {

// Runs the unwind handlers of every frame above the guard's record and
// leaves the record at the head of the chain.
void __cdecl UnwindToGuard(void *frame, EXCEPTION_RECORD *record)
{
    RtlUnwind(frame, nullptr, record, nullptr);
}

}  // extern "C"

#define GUARD_STRING2(x) #x
#define GUARD_STRING(x) GUARD_STRING2(x)
#define GUARD_SYMBOL(name) GUARD_STRING(__USER_LABEL_PREFIX__) #name

namespace {

typedef EXCEPTION_DISPOSITION(__cdecl *ExceptionHandler)(EXCEPTION_RECORD *, void *, CONTEXT *, void *);

// Returns 0 when the call returned, 1 when an exception was caught.
__attribute__((naked)) int __cdecl RunGuardedCall(void(__cdecl *)(void *), void *, ExceptionHandler)
{
    __asm__(
        "    pushl %ebp\n"
        "    movl %esp, %ebp\n"
        "    pushl %ebx\n"
        "    pushl %esi\n"
        "    pushl %edi\n"
        "    pushl $1f\n"              // resume address
        "    pushl 16(%ebp)\n"         // handler
        "    pushl %fs:0\n"            // next record
        "    movl %esp, %fs:0\n"
        "    pushl 12(%ebp)\n"
        "    call *8(%ebp)\n"
        "    xorl %eax, %eax\n"
        "1:\n"
        "    leal -24(%ebp), %esp\n"   // the record, whatever the callee left
        "    popl %ecx\n"
        "    movl %ecx, %fs:0\n"
        "    addl $8, %esp\n"
        "    popl %edi\n"
        "    popl %esi\n"
        "    popl %ebx\n"
        "    popl %ebp\n"
        "    ret\n");
}

// The handler in the guard's record (an exception routine: record, frame,
// context, dispatcher context).
__attribute__((naked)) EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD *, void *, CONTEXT *, void *)
{
    __asm__(
        "    movl 4(%esp), %eax\n"      // exception record
        "    testl $6, 4(%eax)\n"       // EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND
        "    jz 2f\n"
        "    movl $1, %eax\n"           // ExceptionContinueSearch: nothing to undo here
        "    ret\n"
        "2:\n"
        "    movl 8(%esp), %ecx\n"      // the guard's registration record
        "    pushl %ecx\n"              // kept on the stack across the unwind,
        "    pushl %eax\n"              // which need not preserve registers
        "    pushl %ecx\n"
        "    call " GUARD_SYMBOL(UnwindToGuard) "\n"
        "    addl $8, %esp\n"
        "    popl %ecx\n"
        "    movl %ecx, %esp\n"
        "    leal 24(%ecx), %ebp\n"
        "    cld\n"
        "    movl $1, %eax\n"
        "    jmp *8(%ecx)\n");
}

}  // namespace

bool CallGuarded(void(__cdecl *call)(void *argument), void *argument)
{
    // A call stopped halfway may leave the floating-point unit in any state:
    // values on the x87 register stack, another rounding or precision. The
    // caller's control words are kept to be given back after a catch.
    CFpuControl control = GetFpuControl();
    if (RunGuardedCall(call, argument, GuardHandler) == 0)
        return true;
    ResetFpu(control);
    return false;
}
