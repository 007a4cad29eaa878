/* Runs a program with the system calls that proot 5.1 does not know to
 * translate failing with ENOSYS, as on a kernel without them:
 *
 *     old-syscalls PROGRAM [ARGS...]
 *
 * An unknown call would go to this machine's files instead of the image's.
 * qemu-user and the guest's C library take the older calls then: statx
 * becomes fstatat, faccessat2 faccessat; renameat2 and openat2 have
 * fallbacks in their callers. The filter holds for every descendant. */
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

/* A call refused by the filter below: a jump over the REFUSE lines after it
 * (`later` of them) and the ALLOW to the final ERRNO. */
#define REFUSE(nr, later) BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (nr), (later) + 1, 0)

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s PROGRAM [ARGS...]\n", argv[0]);
        return 2;
    }
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        REFUSE(__NR_statx, 3),
        REFUSE(__NR_faccessat2, 2),
        REFUSE(__NR_renameat2, 1),
        REFUSE(__NR_openat2, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
    };
    struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        perror("seccomp");
        return 1;
    }
    execvp(argv[1], argv + 1);
    perror(argv[1]);
    return 127;
}
