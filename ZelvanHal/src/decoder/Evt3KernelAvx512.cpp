#if defined(__x86_64__)
// GCC 12's AVX-512 intrinsics start some results from a deliberately undefined vector, which its
// flow analysis reports as possibly uninitialized once they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#define EVT3_KERNEL_NAME evt3FastLoopAvx512
#define EVT3_KERNEL_NS avx512
#define EVT3_KERNEL_AVX2 1
#define EVT3_KERNEL_AVX512 1
#include "Evt3KernelBody.inl"
#endif
