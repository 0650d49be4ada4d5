// Opens the instruction-set path of a per-ISA unit.
//
// Every kernel unit is compiled once per path and precision (see
// CMakeLists.txt) with VELT_ISA_NAME (sse2, avx2, avx512f), VELT_ISA_NS (the
// name, with _c64 appended in the complex64 compilation) and VELT_ISA_WIDTH
// (doubles per vector register: 2, 4, 8).  A unit includes this header after
// its baseline headers and before its per-ISA ones, and defines everything
// in namespace velt::VELT_ISA_NS.
//
// The wider instruction set is switched on here, by a pragma, not by a
// compiler flag for the whole file: functions defined before the pragma (the
// standard library's templates, the helpers of src/common, the parallel
// frame) keep baseline code in every unit, so no AVX copy of a shared inline
// or template function can be the one the linker keeps.  Hence the list of
// headers below: a standard header first included after the pragma would be
// compiled for the wider path; add it here instead.
//
// No path turns on FMA, and the build keeps -ffp-contract=off, so every
// multiplication and addition stays a separately rounded operation.
#pragma once

#if !defined(VELT_ISA_NS) || !defined(VELT_ISA_NAME) || !defined(VELT_ISA_WIDTH)
#error "isa/target.hpp belongs to the per-ISA units (VELT_ISA_NS, _NAME or _WIDTH unset)"
#endif

#include <algorithm>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/amplitude.hpp"
#include "common/bits.hpp"
#include "parallel/parallel_for.hpp"

#if VELT_ISA_WIDTH == 2
// sse2 is part of x86-64: nothing to switch on.
#elif VELT_ISA_WIDTH == 4
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC target("avx2")
#endif
#elif VELT_ISA_WIDTH == 8
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC target("avx512f")
#endif
#else
#error "VELT_ISA_WIDTH must be 2, 4 or 8"
#endif
