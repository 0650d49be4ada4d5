// The kernels of one instruction-set path, and the choice of path.
//
// Each kernel is compiled once per path and precision into
// velt::<path>::<kernel> (complex128: velt::sse2, velt::avx2, velt::avx512f)
// or velt::<path>_c64::<kernel> (complex64), with the signature of its
// baseline declaration velt::<kernel> of the same precision
// (statevector/kernels.hpp, density/kraus.hpp, readout/pauli.hpp).  That
// baseline function forwards to the path chosen once per process
// (dispatch.cpp), so callers never name a path.  Each precision has its table; both precisions run
// the same path.
#pragma once

#include <string>

#include "density/kraus.hpp"
#include "readout/pauli.hpp"
#include "sequence/block.hpp"
#include "statevector/kernels.hpp"

// Every dispatched entry, in one list; a new one is added here, declared in
// the baseline namespace and forwarded in dispatch.cpp.
#define VELT_ISA_KERNELS(X) \
    X(apply_1q)             \
    X(apply_cnot_fast)      \
    X(apply_controlled_1q)  \
    X(apply_swap)           \
    X(apply_gate_fast)      \
    X(apply_gate)           \
    X(apply_kraus_1q)       \
    X(apply_diagonal)       \
    X(apply_pauli_rotation) \
    X(pauli_block)          \
    X(overlap_block)        \
    X(apply_superop)        \
    X(apply_unitary_rho)    \
    X(apply_gate_scratch)   \
    X(apply_block_run)

namespace velt {
inline namespace VELT_PRECISION_NS {
namespace isa {

struct kernel_table {
    const char* name;
#define VELT_ISA_FIELD(f) decltype(&velt::f) f;
    VELT_ISA_KERNELS(VELT_ISA_FIELD)
#undef VELT_ISA_FIELD
};

// Chooses the path once: the widest this CPU runs, capped by `requested`
// (the value of VELT_ISA; null or empty: no cap).  Returns an empty string,
// or the reason the request cannot be met; the path is then unchanged.
std::string select(const char* requested);

// The chosen path's name: "sse2", "avx2" or "avx512f".
const char* name();

// The chosen path's kernels (sse2 until select succeeds).
const kernel_table& active();

}  // namespace isa
}  // namespace VELT_PRECISION_NS
}  // namespace velt

// The namespace of a path's kernels in this precision: velt::VELT_PATH(sse2)
// is velt::sse2 (complex128) or velt::sse2_c64 (complex64).
#if VELT_SINGLE
#define VELT_PATH(path) path##_c64
#else
#define VELT_PATH(path) path
#endif

#if defined(VELT_ISA_NS)
// In a per-ISA unit: this path's kernels, with the baseline signatures.
namespace velt::VELT_ISA_NS {
#define VELT_ISA_DECLARE(f) decltype(velt::f) f;
VELT_ISA_KERNELS(VELT_ISA_DECLARE)
#undef VELT_ISA_DECLARE
}  // namespace velt::VELT_ISA_NS
#endif
