/*
 * Preloaded into programs run under valgrind. Where valgrind's virtual CPU
 * does not offer RDTSCP, the instruction raises SIGILL; Debian's libhwy (pulled
 * in by libavcodec through libjxl) executes it in a static initialiser, so
 * every program linking libavcodec would die before main. This module
 * emulates exactly that instruction (0F 01 F9): EDX:EAX get a monotonic
 * nanosecond count, ECX (the processor id) gets 0, and execution continues
 * after it. Any other SIGILL takes its default action.
 *
 * The handler has to be in place before libhwy's initialiser runs, and the
 * dynamic loader runs a preloaded module's constructors after those of the
 * libraries it loads. Relocation comes before any initialiser, though, so the
 * handler is installed from the resolver of an indirect function this module
 * refers to itself. Libc may not be ready at that point, so everything here
 * is raw system calls and no library code.
 */
#define _GNU_SOURCE
#include <signal.h>
#include <stdint.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>

/* The kernel's struct sigaction for rt_sigaction on x86-64. */
struct kernel_sigaction {
    unsigned long handler;
    unsigned long flags;
    void (*restorer)(void);
    uint64_t mask;
};

#define KERNEL_SA_RESTORER 0x04000000UL

static long raw_syscall(long number, long a, long b, long c, long d) {
    long result;
    register long r10 __asm__("r10") = d;
    __asm__ volatile("syscall"
                     : "=a"(result)
                     : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10)
                     : "rcx", "r11", "memory");
    return result;
}

/* Returns from a signal handler; the kernel requires one on x86-64. */
void rdtscp_emulator_restorer(void);
__asm__(
    ".text\n"
    ".type rdtscp_emulator_restorer, @function\n"
    "rdtscp_emulator_restorer:\n"
    "    mov $15, %rax\n" /* rt_sigreturn */
    "    syscall\n");

static void set_action(unsigned long handler, unsigned long flags) {
    struct kernel_sigaction action = {handler, flags | KERNEL_SA_RESTORER, rdtscp_emulator_restorer,
                                      0};
    raw_syscall(SYS_rt_sigaction, SIGILL, (long)&action, 0, sizeof action.mask);
}

static void on_sigill(int signo, siginfo_t *info, void *context) {
    greg_t *regs = ((ucontext_t *)context)->uc_mcontext.gregs;
    const unsigned char *ip = (const unsigned char *)regs[REG_RIP];
    if (info->si_code > 0 && ip[0] == 0x0F && ip[1] == 0x01 && ip[2] == 0xF9) {
        struct timespec now;
        raw_syscall(SYS_clock_gettime, CLOCK_MONOTONIC, (long)&now, 0, 0);
        uint64_t ticks = (uint64_t)now.tv_sec * 1000000000u + (uint64_t)now.tv_nsec;
        regs[REG_RAX] = (greg_t)(ticks & 0xFFFFFFFFu);
        regs[REG_RDX] = (greg_t)(ticks >> 32);
        regs[REG_RCX] = 0;
        regs[REG_RIP] += 3;
        return;
    }
    /* Not ours: fall back to the default action. A faulting instruction
     * raises again when the handler returns; a sent signal is sent again. */
    set_action((unsigned long)SIG_DFL, 0);
    if (info->si_code <= 0) {
        raw_syscall(SYS_kill, raw_syscall(SYS_getpid, 0, 0, 0, 0), signo, 0, 0);
    }
}

static void install_marker(void) {}

static void (*resolve_install(void))(void) {
    set_action((unsigned long)on_sigill, SA_SIGINFO);
    return install_marker;
}

/* An indirect function and a reference to it that the loader relocates. */
void rdtscp_emulator_install(void) __attribute__((ifunc("resolve_install")));
void (*volatile rdtscp_emulator_installed)(void) = rdtscp_emulator_install;
