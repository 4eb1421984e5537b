// Marks a function whose loops gain from AVX2: GCC builds it twice, for AVX2
// and for baseline x86-64, and the loader picks the version the processor
// runs. The versions compute the same values: the library is built without
// fused multiply-add. Only where the loader can choose (GCC on x86-64 Linux);
// elsewhere the function is built once.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__)
#define ORVANE_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define ORVANE_AVX2_CLONES
#endif
