#include "readout/pauli.hpp"
#include "readout/readout.hpp"

namespace velt {
inline namespace VELT_PRECISION_NS {

// The one-string case of expectation_paulis (readout/pauli.hpp): a string
// gives the same bits alone as among others.
double expectation_pauli(const amp* psi, std::int64_t n, const int* qubits, const char* letters,
                         int k) {
    pauli_string s;
    for (int d = 0; d < k; ++d) {
        const std::int64_t b = bit(qubits[d]);
        switch (letters[d]) {
            case 'I': break;
            case 'X': s.x |= b; break;
            case 'Y':
                s.x |= b;
                s.z |= b;
                ++s.y;
                break;
            case 'Z': s.z |= b; break;
            default: return 0.0;  // the binding refuses any other letter before this is called
        }
    }
    double value = 0.0;
    expectation_paulis(psi, n, &s, 1, &value);
    return value;
}

}  // namespace VELT_PRECISION_NS
}  // namespace velt
