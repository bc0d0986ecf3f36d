#pragma once
// Marks a function that runs only on failure paths (message building,
// exception translation): kept out of line and laid out away from the hot
// code so that the success path stays compact. A macro because MSVC does not
// know the gnu:: attributes and /W4 /WX would reject them.

#if defined(__GNUC__)
#define VELMORA_COLD [[gnu::cold, gnu::noinline]]
#elif defined(_MSC_VER)
#define VELMORA_COLD __declspec(noinline)
#else
#define VELMORA_COLD
#endif

// Starts a function on a 64-byte boundary, so that its hot path keeps the same
// layout in the instruction cache whatever code around it grows or shrinks.
// MSVC has no alignment for functions.
#if defined(__GNUC__)
#define VELMORA_ENTRY_ALIGNED [[gnu::aligned(64)]]
#else
#define VELMORA_ENTRY_ALIGNED
#endif
