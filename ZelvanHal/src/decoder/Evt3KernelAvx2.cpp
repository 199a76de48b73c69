#if defined(__x86_64__)
#define EVT3_KERNEL_NAME evt3FastLoopAvx2
#define EVT3_KERNEL_NS avx2
#define EVT3_KERNEL_AVX2 1
#include "Evt3KernelBody.inl"
#endif
