/* A heap that fails on demand, for the memory-exhaustion tests (loaded with LD_PRELOAD).
 *
 * fail_from_native_allocation(count), called from Python through ctypes just before a call, lets
 * the calling thread make `count` more C++ allocations (operator new) and then refuses every heap
 * allocation of that thread (malloc, calloc, realloc, aligned allocations, and so operator new)
 * until stop_failing(), which returns how many it refused. Other threads are never refused.
 *
 * It is C, not C++, so that loading it does not load the C++ runtime at start-up: the runtime must
 * arrive with the module, as it does in real use, for its per-thread state to be made lazily. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stddef.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);

enum { idle, counting, failing };
static _Atomic int state = idle;
static pthread_t armed_thread;
static atomic_long native_left;
static atomic_long failures;
static void* (*runtime_new)(size_t);
static void* (*runtime_new_array)(size_t);

static int in_armed_thread(void) { return pthread_equal(pthread_self(), armed_thread); }

static int refuse(void) {
    if (atomic_load(&state) == failing && in_armed_thread()) {
        atomic_fetch_add(&failures, 1);
        return 1;
    }
    return 0;
}

void* malloc(size_t size) { return refuse() ? NULL : __libc_malloc(size); }
void* calloc(size_t count, size_t size) { return refuse() ? NULL : __libc_calloc(count, size); }
void* realloc(void* block, size_t size) { return refuse() ? NULL : __libc_realloc(block, size); }
void* aligned_alloc(size_t alignment, size_t size) { return refuse() ? NULL : __libc_memalign(alignment, size); }
void* memalign(size_t alignment, size_t size) { return refuse() ? NULL : __libc_memalign(alignment, size); }
int posix_memalign(void** out, size_t alignment, size_t size) {
    void* block = refuse() ? NULL : __libc_memalign(alignment, size);
    if (block == NULL) return ENOMEM;
    *out = block;
    return 0;
}

/* The runtime's own operator new. The runtime is loaded by the module into the module's scope, so
 * it is looked up through its handle, once it is there. */
static int find_runtime_new(void) {
    if (runtime_new == NULL) {
        void* runtime = dlopen("libstdc++.so.6", RTLD_NOW | RTLD_NOLOAD);
        if (runtime == NULL) return -1;
        runtime_new_array = (void* (*)(size_t))dlsym(runtime, "_Znam");
        runtime_new = (void* (*)(size_t))dlsym(runtime, "_Znwm");
    }
    return runtime_new != NULL && runtime_new_array != NULL ? 0 : -1;
}

static void count_native_allocation(void) {
    if (atomic_load(&state) == counting && in_armed_thread() && atomic_fetch_sub(&native_left, 1) <= 0) {
        atomic_store(&state, failing);
    }
}

/* operator new and operator new[]: counted, then passed to the runtime, whose malloc refuses once
 * failing, so that the runtime throws std::bad_alloc as it does on an exhausted heap. */
void* _Znwm(size_t size) {
    find_runtime_new();
    count_native_allocation();
    return runtime_new(size);
}

void* _Znam(size_t size) {
    find_runtime_new();
    count_native_allocation();
    return runtime_new_array(size);
}

int fail_from_native_allocation(long count) {
    if (find_runtime_new() < 0) return -1;
    armed_thread = pthread_self();
    atomic_store(&native_left, count);
    atomic_store(&state, counting);
    return 0;
}

long stop_failing(void) {
    atomic_store(&state, idle);
    return atomic_exchange(&failures, 0);
}
