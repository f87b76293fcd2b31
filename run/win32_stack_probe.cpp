// The stack probe that clang calls, on ARM64 Windows, before taking a stack frame larger than a page:
// it touches each page of the new frame in turn, from the top down, so that the stack's guard page is
// never skipped. The programs have no C runtime to take it from (on i386 and x86-64 it comes from
// libgcc, see cipher/CMakeLists.txt). Its convention: x15 holds the frame's size in units of 16
// bytes; only x16 and x17 may change; the caller then moves the stack pointer itself. It is linked
// only into a program that calls it.
#if defined(__aarch64__)
__asm__(
    ".text\n"
    ".globl __chkstk\n"
    ".p2align 2\n"
    "__chkstk:\n"
    "    lsl x16, x15, #4\n"         // the frame's size in bytes
    "    mov x17, sp\n"
    "1:  sub x17, x17, #4096\n"      // the next page down
    "    subs x16, x16, #4096\n"
    "    ldr xzr, [x17]\n"           // touched: the guard page, if this is it, moves down
    "    b.gt 1b\n"
    "    ret\n");
#endif
