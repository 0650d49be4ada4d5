// The choice of instruction-set path, and the baseline entries that forward
// to it.  Compiled once per precision, for the baseline: each precision
// chooses from its own tables, by the same rule from the same inputs, so
// both run the same path.
#include <cstring>
#include <string>

#include "isa/kernel_table.hpp"

// glibc 2.33 and later report the features it considers usable, which the
// GLIBC_TUNABLES setting glibc.cpu.hwcaps can switch off (e.g. =-AVX512F):
// the module honours that too, so a machine can be made to look narrower.
#if defined(__has_include)
#if __has_include(<sys/platform/x86.h>)
#include <sys/platform/x86.h>
#define VELT_HAVE_GLIBC_CPU_FEATURES 1
#endif
#endif

namespace velt {
namespace VELT_PATH(sse2) {
extern const isa::kernel_table table;
}
namespace VELT_PATH(avx2) {
extern const isa::kernel_table table;
}
namespace VELT_PATH(avx512f) {
extern const isa::kernel_table table;
}
}  // namespace velt

namespace velt {
// No pair of a state is this far apart: the halves always alternate.
constexpr std::int64_t far_never = std::int64_t{1} << 62;
#if !VELT_SINGLE
std::int64_t far_apart_bytes = far_never;  // shared by both precisions
#endif
}  // namespace velt

namespace velt::isa {

namespace {

// Written once, at import, before any kernel runs (under the interpreter
// lock); only read afterwards.
const kernel_table* chosen = &VELT_PATH(sse2)::table;

// __builtin_cpu_supports also checks that the operating system saves the
// wide registers (XGETBV), not only what CPUID reports.
bool runs_avx2() {
    bool ok = __builtin_cpu_supports("avx2") != 0;
#if defined(VELT_HAVE_GLIBC_CPU_FEATURES)
    ok = ok && CPU_FEATURE_ACTIVE(AVX2);
#endif
    return ok;
}

bool runs_avx512f() {
    bool ok = runs_avx2() && __builtin_cpu_supports("avx512f") != 0;
#if defined(VELT_HAVE_GLIBC_CPU_FEATURES)
    ok = ok && CPU_FEATURE_ACTIVE(AVX512F);
#endif
    return ok;
}

struct path {
    const kernel_table* table;
    bool runs;  // this CPU (and its operating system) runs the path
};

}  // namespace

std::string select(const char* requested) {
    __builtin_cpu_init();
    // Grouped accesses to far-apart halves pay off on AMD's memory
    // controllers only (see far_apart in common/amplitude.hpp).
    // 256 MiB apart: 2^24 complex128 amplitudes.
    far_apart_bytes = __builtin_cpu_is("amd") != 0 ? std::int64_t{1} << 28 : far_never;
    const path paths[] = {
        {&VELT_PATH(sse2)::table, true},
        {&VELT_PATH(avx2)::table, runs_avx2()},
        {&VELT_PATH(avx512f)::table, runs_avx512f()},
    };
    std::string runnable;
    const path* widest = &paths[0];
    for (const path& p : paths) {
        if (p.runs) {
            runnable += runnable.empty() ? "" : ", ";
            runnable += p.table->name;
            widest = &p;
        }
    }
    if (requested == nullptr || *requested == '\0') {
        chosen = widest->table;
        return {};
    }
    for (const path& p : paths) {
        if (std::strcmp(requested, p.table->name) == 0) {
            if (!p.runs) {
                return "VELT_ISA='" + std::string(requested) +
                       "' is an instruction set this CPU cannot run (choices here: " + runnable +
                       ")";
            }
            chosen = p.table;
            return {};
        }
    }
    return "VELT_ISA='" + std::string(requested) + "' is not one of sse2, avx2, avx512f";
}

const char* name() { return chosen->name; }

const kernel_table& active() { return *chosen; }

}  // namespace velt::isa

namespace velt {
inline namespace VELT_PRECISION_NS {

void apply_1q(amp* psi, std::int64_t n, int q, const mat2& m) {
    isa::chosen->apply_1q(psi, n, q, m);
}

void apply_cnot_fast(amp* psi, std::int64_t n, int c, int t) {
    isa::chosen->apply_cnot_fast(psi, n, c, t);
}

void apply_controlled_1q(amp* psi, std::int64_t n, int c, int t, const mat2& m) {
    isa::chosen->apply_controlled_1q(psi, n, c, t, m);
}

void apply_swap(amp* psi, std::int64_t n, int a, int b) { isa::chosen->apply_swap(psi, n, a, b); }

void apply_gate_fast(amp* psi, std::int64_t n, const int* targets, int k, const amp* u) {
    isa::chosen->apply_gate_fast(psi, n, targets, k, u);
}

void apply_gate(amp* psi, std::int64_t n, const int* targets, int k, const int* controls,
                int n_controls, const amp* u) {
    isa::chosen->apply_gate(psi, n, targets, k, controls, n_controls, u);
}

void apply_kraus_1q(amp* rho, std::int64_t dim, int qubit, const mat2* ops, std::size_t count) {
    isa::chosen->apply_kraus_1q(rho, dim, qubit, ops, count);
}

void apply_diagonal(amp* psi, std::int64_t n, const int* targets, int k, const int* controls,
                    int n_controls, const amp* diag) {
    isa::chosen->apply_diagonal(psi, n, targets, k, controls, n_controls, diag);
}

void apply_pauli_rotation(amp* psi, std::int64_t n, const int* qubits, const char* letters, int k,
                          const int* controls, int n_controls, real c, real s) {
    isa::chosen->apply_pauli_rotation(psi, n, qubits, letters, k, controls, n_controls, c, s);
}

void pauli_block(const amp* psi, const pauli_chunk& chunk, std::int64_t first, std::int64_t length,
                 double* work, double* totals, std::int64_t stride) {
    isa::chosen->pauli_block(psi, chunk, first, length, work, totals, stride);
}

void overlap_block(const amp* a, const amp* b, std::int64_t first, std::int64_t length,
                   double* totals) {
    isa::chosen->overlap_block(a, b, first, length, totals);
}

void apply_superop(amp* rho, std::int64_t dim, const int* qubits, int k, const amp* s) {
    isa::chosen->apply_superop(rho, dim, qubits, k, s);
}

void apply_unitary_rho(amp* rho, std::int64_t dim, const int* targets, int k, const int* controls,
                       int n_controls, const amp* u) {
    isa::chosen->apply_unitary_rho(rho, dim, targets, k, controls, n_controls, u);
}

void apply_gate_scratch(amp* psi, std::int64_t n, const int* targets, int k, const int* controls,
                        int n_controls, const amp* u, void* scratch) {
    isa::chosen->apply_gate_scratch(psi, n, targets, k, controls, n_controls, u, scratch);
}

void apply_block_run(amp* psi, const block_run& run, real* buffers) {
    isa::chosen->apply_block_run(psi, run, buffers);
}

}  // namespace VELT_PRECISION_NS
}  // namespace velt
