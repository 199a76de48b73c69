#define EVT3_KERNEL_NAME evt3FastLoopPortable
#define EVT3_KERNEL_NS portable
#define EVT3_KERNEL_AVX2 0
#include "Evt3KernelBody.inl"

namespace zelvan::detail {

Evt3FastLoop selectEvt3FastLoop(int most) {
#if defined(__x86_64__)
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
    const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
                        __builtin_cpu_supports("avx512cd");
    if (most >= 2 && avx512) return evt3FastLoopAvx512;
    if (most >= 1 && avx2) return evt3FastLoopAvx2;
#else
    (void)most;
#endif
    return evt3FastLoopPortable;
}

}  // namespace zelvan::detail
