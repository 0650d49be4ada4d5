// Fast entries for the common forms of argument.
//
// Through pybind11 a call converts every argument into an object (an array_t
// reference and a buffer request per array, a std::vector per qubit list, a
// list of arrays for the Kraus operators) before the row's function runs; on
// a state of a few amplitudes that conversion is most of the call.  So each
// row also gets a plain METH_FASTCALL entry that reads the common forms where
// they lie:
//   state, rho    an exact numpy.ndarray of native complex128 (velt_core.single:
//                 complex64), C-contiguous, aligned, writable, with at least
//                 one dimension
//   u, Kraus ops, diag
//                 an exact numpy.ndarray of native complex128, C-contiguous and
//                 aligned (u, diag: sharing no memory with the state); in
//                 velt_core.single one of native complex64, or of complex128
//                 (a matrix or diag of at most 256 elements, an operator of
//                 apply_kraus_1q of 4, of apply_kraus and apply_kraus_sampled
//                 of any size), rounded to complex64 as the conversion of the
//                 ordinary entry rounds it (one with a finite part beyond
//                 float's range is left to that conversion, which reports
//                 the overflow)
//   qubits        an exact int within the int32 range
//   entries       an exact complex, float or int
//   qubit lists   an exact list or tuple of such ints (at most 64)
//   kraus_ops     an exact list or tuple of such arrays (at most 16)
//   paulis        an exact str (its UTF-8 bytes)
//   theta         an exact float, or an exact int that a double holds
//   kraus_ops     an exact list or tuple of such arrays (at most 16; 64 for
//                 apply_kraus and apply_kraus_sampled)
//   u (uniform)   an exact float
// and runs the row's own checks and kernel (bindings.hpp).  Any other form, a
// keyword argument or another number of arguments hands the call, untouched,
// to the function pybind11 generated, so everything else (conversions,
// refusals, messages and their order) is exactly what it was.  Recognising a
// form runs no Python code and changes nothing, so which entry ran shows only
// in the time taken.
#pragma once

#include <pybind11/pybind11.h>

#include "common/amplitude.hpp"

namespace velt {
inline namespace VELT_PRECISION_NS {
namespace bind {

// Replaces the function object of each kernel row registered so far in `m`,
// and not replaced yet, by its fast entry.  The
// new object keeps the row's name, docstring (and so its signature line and
// __text_signature__), __module__ and bound record (__self__, hence help()
// and repr), and the row's place in the module's namespace.  Rows not yet
// registered, and rows already replaced, are left alone: called again after
// later registrations, it replaces those.
void install_fast_paths(pybind11::module_& m);

}  // namespace bind
}  // namespace VELT_PRECISION_NS
}  // namespace velt
