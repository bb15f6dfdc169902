// <immintrin.h> for the files built with -mavx512f. GCC 12 warns inside the
// header's AVX-512 part that the undefined sources it hands to the masked
// forms (the upper half of a 256-to-512-bit cast, the pass-through of a
// permute or shuffle that writes every lane) are read; no lane of them
// reaches a result.
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
