// The switch for loops that are also compiled for wider vector units: on x86-64 the loader picks the widest
// clone the processor has; elsewhere, and in the portable build, the one portable version is built. A clone
// runs the same IEEE operations element by element, so it cannot change a result.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(KEZ_PORTABLE_ONLY)
#define KEZ_WIDE_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define KEZ_WIDE_CLONES
#endif
