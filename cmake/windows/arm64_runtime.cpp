// The little a DLL linked without any C run-time needs on 64-bit ARM Windows:
// its entry point and the stack probe the compiler calls. memcpy and memset
// come from ntdll.dll (arm64_crt.def).

// The loader calls this on process and thread attach and detach. The encoder
// keeps no state that needs setting up or tearing down, so every call agrees.
extern "C" int DllMainCRTStartup(void*, unsigned long, void*) { return 1; }

// __chkstk: the compiler calls it before it lowers sp by a frame larger than a
// page, with the frame size in 16-byte units in x15, and then subtracts
// x15 * 16 itself. Windows commits the stack one guard page at a time, so every
// page of the new frame is touched here in order, from the current sp down,
// the last probe exactly at the frame's bottom. Only x16 and x17 (the
// intra-procedure-call scratch registers) and the flags may change.
asm(R"(
    .text
    .globl __chkstk
    .p2align 2
__chkstk:
    lsl     x16, x15, #4            // bytes still to probe
    mov     x17, sp
1:
    cmp     x16, #4096
    b.ls    2f
    sub     x17, x17, #4096
    ldr     xzr, [x17]
    sub     x16, x16, #4096
    b       1b
2:
    sub     x17, x17, x16
    ldr     xzr, [x17]
    ret
)");
