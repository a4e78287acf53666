// Compiling part of a file for a wider instruction set than the build's
// baseline, so that one library runs everywhere and uses AVX2 or AVX-512
// where the processor has them (vector_path.hpp decides at run time).
//
//     #include ... every header the code needs, std ones included ...
//     VARNELLE_TARGET_PUSH("avx2,fma")
//     #include "pricing/math/lanes_avx2.hpp"  // and the lane algorithms
//     ... code for that instruction set ...
//     VARNELLE_TARGET_POP()
//
// Functions defined between the two marks are compiled for the named
// features; functions of headers included before them keep the baseline, so
// no inline function that other files share is ever emitted with
// instructions an older processor lacks. The lane algorithms are templates
// over the lane type, so each instruction set instantiates its own copies.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VARNELLE_HAVE_LANES 1
#define VARNELLE_PRAGMA(text) _Pragma(#text)
#if defined(__clang__)
#define VARNELLE_TARGET_PUSH(features) \
    VARNELLE_PRAGMA(clang attribute push(__attribute__((target(features))), apply_to = function))
#define VARNELLE_TARGET_POP() VARNELLE_PRAGMA(clang attribute pop)
#else
#define VARNELLE_TARGET_PUSH(features) VARNELLE_PRAGMA(GCC push_options) VARNELLE_PRAGMA(GCC target(features))
#define VARNELLE_TARGET_POP() VARNELLE_PRAGMA(GCC pop_options)
#endif
#else
#define VARNELLE_HAVE_LANES 0
#endif

// The features each lane width is compiled for.
#define VARNELLE_AVX2_FEATURES "avx2,fma"
#define VARNELLE_AVX512_FEATURES "avx512f,avx512dq,avx512vl,avx2,fma"
