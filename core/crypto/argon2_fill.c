/* The fill_segment that libargon2's core.c calls. opt.c is compiled three
 * times with its fill_segment renamed (cmake/Argon2.cmake); this picks one
 * copy from the processor's features, once, and passes every call on to it. */
#include "core/crypto/argon2_fill.h"

#include <stdatomic.h>
#include <stddef.h>

#include "core.h"

typedef void (*fill_function)(const argon2_instance_t *instance, argon2_position_t position);

void quarn_argon2_fill_segment_sse2(const argon2_instance_t *instance, argon2_position_t position);
void quarn_argon2_fill_segment_avx2(const argon2_instance_t *instance, argon2_position_t position);
void quarn_argon2_fill_segment_avx512(const argon2_instance_t *instance, argon2_position_t position);

static const struct {
  int id;
  fill_function fill;
} copies[] = {
    {QUARN_ARGON2_FILL_SSE2, quarn_argon2_fill_segment_sse2},
    {QUARN_ARGON2_FILL_AVX2, quarn_argon2_fill_segment_avx2},
    {QUARN_ARGON2_FILL_AVX512, quarn_argon2_fill_segment_avx512},
};

/* libgcc's feature bits count AVX2 and AVX-512F only when the system also
 * saves their registers (XCR0), so this is the whole check. */
static int runnable(int id) {
  __builtin_cpu_init();
  switch (id) {
    case QUARN_ARGON2_FILL_SSE2: return 1; /* part of x86-64 */
    case QUARN_ARGON2_FILL_AVX2: return __builtin_cpu_supports("avx2");
    case QUARN_ARGON2_FILL_AVX512: return __builtin_cpu_supports("avx512f");
    default: return 0;
  }
}

static _Atomic(fill_function) chosen; /* null until the first call decides */

static fill_function fill_in_use(void) {
  fill_function fill = atomic_load_explicit(&chosen, memory_order_acquire);
  if (fill == NULL) {
    fill_function widest = quarn_argon2_fill_segment_sse2;
    for (size_t i = 0; i < sizeof copies / sizeof copies[0]; ++i)
      if (runnable(copies[i].id)) widest = copies[i].fill;
    /* The first caller decides; later ones (or a racing one) take its answer. */
    fill_function expected = NULL;
    fill = atomic_compare_exchange_strong(&chosen, &expected, widest) ? widest : expected;
  }
  return fill;
}

void fill_segment(const argon2_instance_t *instance, argon2_position_t position) {
  fill_in_use()(instance, position);
}

int quarn_argon2_fill_in_use(void) {
  const fill_function fill = fill_in_use();
  for (size_t i = 0; i < sizeof copies / sizeof copies[0]; ++i)
    if (copies[i].fill == fill) return copies[i].id;
  return 0; /* not reached */
}

int quarn_argon2_fill_select(int id) {
  for (size_t i = 0; i < sizeof copies / sizeof copies[0]; ++i) {
    if (copies[i].id == id) {
      if (!runnable(id)) return 0;
      atomic_store(&chosen, copies[i].fill);
      return 1;
    }
  }
  return 0;
}
