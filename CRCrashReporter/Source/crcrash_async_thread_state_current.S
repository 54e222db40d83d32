// crcrash_async_thread_state_current(callback, context): captures the caller's registers into a 64-bit
// machine context on this routine's stack and hands it to crcrash_async_thread_state_current_finish,
// which builds the thread state and calls callback(state, context).
//
// Machine context layout: exception block (16 bytes), thread block (21 x 8 bytes from offset 16:
// rax rbx rcx rdx rdi rsi rbp rsp r8-r15 rip rflags cs fs gs), float block (512 bytes from 184).

    .text
    .globl crcrash_async_thread_state_current
    .type crcrash_async_thread_state_current, @function
    .p2align 4
crcrash_async_thread_state_current:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    subq $704, %rsp

    movq %rax, 16(%rsp)
    movq %rbx, 24(%rsp)
    movq %rcx, 32(%rsp)
    movq %rdx, 40(%rsp)
    movq %rdi, 48(%rsp)
    movq %rsi, 56(%rsp)
    movq 0(%rbp), %rax          // the caller's frame pointer, saved at this frame's base
    movq %rax, 64(%rsp)
    leaq 16(%rbp), %rax         // the caller's stack pointer once this routine has returned
    movq %rax, 72(%rsp)
    movq %r8, 80(%rsp)
    movq %r9, 88(%rsp)
    movq %r10, 96(%rsp)
    movq %r11, 104(%rsp)
    movq %r12, 112(%rsp)
    movq %r13, 120(%rsp)
    movq %r14, 128(%rsp)
    movq %r15, 136(%rsp)
    movq 8(%rbp), %rax          // the return address into the caller
    movq %rax, 144(%rsp)
    pushfq
    popq %rax
    movq %rax, 152(%rsp)
    xorl %eax, %eax
    movw %cs, %ax
    movq %rax, 160(%rsp)
    movw %fs, %ax
    movq %rax, 168(%rsp)
    movw %gs, %ax
    movq %rax, 176(%rsp)

    // Zero the exception block and the float block.
    movq $0, 0(%rsp)
    movq $0, 8(%rsp)
    leaq 184(%rsp), %rdi
    movl $64, %ecx
    xorl %eax, %eax
    cld
    rep stosq

    movq 56(%rsp), %rdx         // context
    movq 48(%rsp), %rsi         // callback
    movq %rsp, %rdi             // machine context
    call crcrash_async_thread_state_current_finish@PLT

    leave
    .cfi_def_cfa %rsp, 8
    ret
    .cfi_endproc
    .size crcrash_async_thread_state_current, .-crcrash_async_thread_state_current

    .section .note.GNU-stack,"",@progbits
