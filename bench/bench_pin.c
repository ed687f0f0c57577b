/* Thread placement for the bench programs, chosen by VLK_BENCH_PIN:
 *   same   every thread of the process on CPU 0 (the whole process is pinned
 *          before main, and threads inherit it)
 *   cross  the main thread on CPU 0, then every thread any library starts on
 *          the CPUs in turn (1, 0, 1, ...), in the order they are created
 * Unset: the scheduler places threads as it likes.  pthread_create is
 * interposed so that threads started inside Qt, ACE, CAF or the library are
 * placed alike. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>

typedef int (*create_fn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

static int g_mode;            /* 0 free, 1 same, 2 cross */
static unsigned int g_next;   /* threads placed so far; atomic */

static void pin_self(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);
}

__attribute__((constructor)) static void vlk_bench_pin_init(void) {
  const char* mode = getenv("VLK_BENCH_PIN");
  if (mode == NULL) return;
  if (strcmp(mode, "same") == 0) {
    g_mode = 1;
    pin_self(0);
  } else if (strcmp(mode, "cross") == 0) {
    g_mode = 2;
    pin_self(0);
  }
}

struct start {
  void* (*fn)(void*);
  void* arg;
  int cpu;
};

static void* trampoline(void* p) {
  struct start s = *(struct start*)p;
  free(p);
  pin_self(s.cpu);
  return s.fn(s.arg);
}

int pthread_create(pthread_t* t, const pthread_attr_t* attr, void* (*fn)(void*), void* arg) {
  static create_fn real;
  if (real == NULL) real = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
  if (g_mode != 2) return real(t, attr, fn, arg);
  struct start* s = malloc(sizeof *s);
  if (s == NULL) return real(t, attr, fn, arg);
  s->fn = fn;
  s->arg = arg;
  s->cpu = (int)((__atomic_fetch_add(&g_next, 1, __ATOMIC_RELAXED) + 1) % 2);
  int rc = real(t, attr, trampoline, s);
  if (rc != 0) free(s);
  return rc;
}
