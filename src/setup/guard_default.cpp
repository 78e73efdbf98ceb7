// The Control Flow Guard pointers of the shipped executable. Every indirect
// call of the guarded code goes through __guard_dispatch_icall_fptr with the
// target in RAX. On a Windows that enforces the guard, the loader replaces
// both pointers with its own checking functions (they live in .00cfg, where
// it expects them); elsewhere these defaults run: the dispatch jumps to the
// target, and the check accepts every target.
__asm__(
    "    .text\n"
    "    .p2align 4\n"
    "guard_dispatch_default:\n"
    "    jmp *%rax\n"
    "    .p2align 4\n"
    "guard_check_default:\n"
    "    ret\n"
    "    .section .00cfg,\"dr\"\n"
    "    .p2align 3\n"
    "    .globl __guard_check_icall_fptr\n"
    "__guard_check_icall_fptr:\n"
    "    .quad guard_check_default\n"
    "    .globl __guard_dispatch_icall_fptr\n"
    "__guard_dispatch_icall_fptr:\n"
    "    .quad guard_dispatch_default\n"
    "    .text\n");
