/* Which copy of libargon2's block-filling code (opt.c) Argon2id runs: the
 * library is built with one copy at the x86-64 baseline (SSE2), one for AVX2
 * and one for AVX-512F (cmake/Argon2.cmake). C, because libargon2 calls the
 * dispatcher. */
#ifndef QUARN_CORE_CRYPTO_ARGON2_FILL_H
#define QUARN_CORE_CRYPTO_ARGON2_FILL_H

#ifdef __cplusplus
extern "C" {
#endif

enum { QUARN_ARGON2_FILL_SSE2 = 1, QUARN_ARGON2_FILL_AVX2 = 2, QUARN_ARGON2_FILL_AVX512 = 3 };

/* The copy in use. On first use, the widest the processor has and the system
 * saves the registers of (AVX-512F, AVX2, SSE2); decided once per process. */
int quarn_argon2_fill_in_use(void);

/* Makes `fill` (QUARN_ARGON2_FILL_*) the copy every later call runs; 1 on
 * success, 0 (nothing changes) for a copy this processor cannot run. Meant
 * for tests and benchmarks, which compare the copies; not to be called while
 * another thread computes Argon2id. */
int quarn_argon2_fill_select(int fill);

#ifdef __cplusplus
}
#endif

#endif
