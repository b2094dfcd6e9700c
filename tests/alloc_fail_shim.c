/* LD_PRELOAD shim for the tests: once main() has started, every allocation
 * after the first ZOR_ALLOC_BUDGET ones fails, as when memory runs out for
 * good. Without ZOR_ALLOC_BUDGET nothing fails. Allocations before main
 * (the C++ runtime's own set-up) are not counted. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <malloc.h>
#include <stdlib.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* ptr, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);
extern void __libc_free(void* ptr);

static int armed = 0;
static long budget = 0;

static int out_of_memory(void) {
  if (!armed) return 0;
  if (budget == 0) {
    errno = ENOMEM;
    return 1;
  }
  --budget;
  return 0;
}

void* malloc(size_t size) { return out_of_memory() ? NULL : __libc_malloc(size); }
void* calloc(size_t count, size_t size) { return out_of_memory() ? NULL : __libc_calloc(count, size); }
/* Shrinking never fails in glibc, and Lua relies on that. */
void* realloc(void* ptr, size_t size) {
  int grows = ptr == NULL || size > malloc_usable_size(ptr);
  return size != 0 && grows && out_of_memory() ? NULL : __libc_realloc(ptr, size);
}
void free(void* ptr) { __libc_free(ptr); }
void* memalign(size_t alignment, size_t size) {
  return out_of_memory() ? NULL : __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }
int posix_memalign(void** out, size_t alignment, size_t size) {
  void* p = memalign(alignment, size);
  if (p == NULL) return ENOMEM;
  *out = p;
  return 0;
}

typedef int (*main_fn)(int, char**, char**);
typedef int (*start_fn)(main_fn, int, char**, void (*)(void), void (*)(void), void (*)(void), void*);
static main_fn real_main;

static int counted_main(int argc, char** argv, char** envp) {
  const char* text = getenv("ZOR_ALLOC_BUDGET");
  if (text != NULL) {
    budget = strtol(text, NULL, 10);
    armed = 1;
  }
  return real_main(argc, argv, envp);
}

int __libc_start_main(main_fn main, int argc, char** argv, void (*init)(void), void (*fini)(void),
                      void (*rtld_fini)(void), void* stack_end) {
  start_fn real = (start_fn)dlsym(RTLD_NEXT, "__libc_start_main");
  real_main = main;
  return real(counted_main, argc, argv, init, fini, rtld_fini, stack_end);
}
