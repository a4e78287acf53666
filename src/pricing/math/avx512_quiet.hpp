// First include of a file that compiles AVX-512 lanes, ahead of
// <immintrin.h>: GCC 12 warns of the deliberately undefined first operand
// most AVX-512 intrinsics start from, and nothing reads it. The warnings are
// switched off for the rest of that file only.
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
