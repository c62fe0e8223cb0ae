// The program's integer width: 64 bits in stationclock.exe, 32 bits in
// stationclock32.exe. The native tests are built once with each width.
#pragma once

#include <cstdint>

#ifndef STATIONCLOCK_INTEGER_BITS
#if INTPTR_MAX == INT64_MAX
#define STATIONCLOCK_INTEGER_BITS 64
#else
#define STATIONCLOCK_INTEGER_BITS 32
#endif
#endif

#if STATIONCLOCK_INTEGER_BITS == 64
using Integer = std::int64_t;
#elif STATIONCLOCK_INTEGER_BITS == 32
using Integer = std::int32_t;
#else
#error "STATIONCLOCK_INTEGER_BITS must be 32 or 64"
#endif
