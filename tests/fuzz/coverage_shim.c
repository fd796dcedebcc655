/* Lets atheris's Python coverage reach its libFuzzer when GCC's AddressSanitizer
 * runtime is preloaded.
 *
 * That runtime exports empty weak definitions of libFuzzer's coverage entry
 * points (__sanitizer_cov_*). Coming first in the lookup order, they win over
 * the real ones inside atheris's core_with_libfuzzer module, so the counters
 * that atheris's bytecode instrumentation registers never reach libFuzzer and
 * the fuzzer runs blind. Preloaded ahead of the sanitizer runtime (with
 * ASAN_OPTIONS=verify_asan_link_order=0), this library defines the two entry
 * points that register counters and their code locations, and forwards each
 * call to the definition in the module named by TORVELIN_FUZZ_CORE, once that
 * module is loaded; before that, calls are dropped, as the sanitizer runtime
 * would drop them. The comparison hooks (__sanitizer_cov_trace_cmp*) are left
 * to the runtime's empty ones: forwarded, they made every input about three
 * times slower for little gain.
 *
 * Build: gcc -shared -fPIC -O2 -o coverage_shim.so coverage_shim.c -ldl
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdlib.h>

static void *core_symbol(const char *name) {
    static void *core;
    if (core == NULL) {
        const char *path = getenv("TORVELIN_FUZZ_CORE");
        if (path == NULL) return NULL;
        core = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
        if (core == NULL) return NULL;
    }
    return dlsym(core, name);
}

#define FORWARD(name, params, args)                                     \
    void name params {                                                  \
        static void (*target) params;                                   \
        if (target == NULL) target = (void (*) params)core_symbol(#name); \
        if (target != NULL) target args;                                \
    }

FORWARD(__sanitizer_cov_8bit_counters_init, (uint8_t * start, uint8_t *stop), (start, stop))
FORWARD(__sanitizer_cov_pcs_init, (const uintptr_t *start, const uintptr_t *stop), (start, stop))
