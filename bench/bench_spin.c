/* The load of bench/compare.py --load: one process that keeps one CPU busy.
 *
 * It writes one byte to stdout once it is about to spin, so that the driver
 * starts a measured run only when every spinner is running, then spins in
 * user space until it is killed: no system call, no memory traffic beyond a
 * register, nothing that depends on the machine's state. It dies with the
 * driver (PR_SET_PDEATHSIG), so a driver stopped by a signal leaves no
 * spinner behind. */
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    (void)argc;
    (void)argv;
    pid_t parent = getppid();
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
        return 1; /* the driver is already gone */
    if (write(STDOUT_FILENO, "s", 1) != 1)
        return 1;
    close(STDOUT_FILENO);
    unsigned long n = 0;
    for (;;) {
        ++n;
        __asm__ volatile("" : "+r"(n)); /* the compiler may not drop the loop */
    }
}
