// cos(theta/2) and sin(theta/2), the same bits on every machine.
//
// The rotation kernels' coefficients must not depend on the platform's math
// library, whose last bits differ between versions and vendors, so they are
// computed here from IEEE-754 additions, multiplications and integer
// operations in one fixed sequence (compiled once, for the baseline, without
// contraction into fused multiply-adds):
//
//   x = theta * 0.5 (exact, except that a subnormal theta loses its last bit).
//   |x| <= pi/4: r = |x|, quadrant 0.
//   otherwise:   |x| = M 2^E (M a 53-bit integer) times 2/pi is formed
//                exactly modulo 4 from a 256-bit window of the binary digits
//                of 2/pi (integer products, 64-bit limbs), which gives the
//                quadrant and a 192-bit fraction f in [-1/2, 1/2); r = f pi/2
//                as a double-double (hi, lo).  The window reaches every
//                digit that matters for any finite double, so the reduction
//                is as accurate for 1e300 as for 1.
//   sin(r) = r + r^3 S(r^2) and cos(r) = 1 - r^2/2 + r^4 C(r^2), S and C
//   polynomials of degrees 6 and 5 (Chebyshev fits on [0, (pi/4)^2]), with
//   the correction of the reduction's low part and the rounding error of
//   1 - r^2/2 carried separately.
//   The quadrant then swaps and negates the pair, and a negative x negates
//   the sine: sin(-x) is exactly -sin(x) and cos(-x) exactly cos(x).
//
// Both results lie within one unit in the last place of the exact values
// (measured by tests/test_rotations.py against 300-bit arithmetic); the
// sequence is spelled out in the README and mirrored operation for
// operation by tests/reference.py.
#pragma once

namespace velt {

struct cos_sin {
    double c;
    double s;
};

// theta finite (the bindings refuse anything else).
cos_sin cos_sin_half(double theta);

}  // namespace velt
