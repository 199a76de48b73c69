#define EVT3_KERNEL_NAME evt3FastLoopPortable
#define EVT3_KERNEL_NS portable
#define EVT3_KERNEL_AVX2 0
#include "Evt3KernelBody.inl"

namespace zelvan::detail {

Evt3FastLoop selectEvt3FastLoop() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2")) return evt3FastLoopAvx2;
#endif
    return evt3FastLoopPortable;
}

}  // namespace zelvan::detail
