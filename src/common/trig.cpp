#include "common/trig.hpp"

#include <cstdint>
#include <cstring>

namespace velt {

namespace {

using u64 = std::uint64_t;
__extension__ typedef unsigned __int128 u128;

// The binary digits of 2/pi after the point, 64 to a limb, most significant
// first, behind two limbs of zeros: digit i (weight 2^-i, i >= 1) is bit
// i + 127 of the table counted from the top of the first limb.  The zeros
// stand for the digits before the point and let a window start there.  A
// window starts at digit e - 1 for x = M 2^e and spans 5 limbs, so the
// largest double (e = 971) reads up to limb 21.
constexpr u64 digits_2_over_pi[] = {
    0,
    0,
    0xa2f9836e4e441529,
    0xfc2757d1f534ddc0,
    0xdb6295993c439041,
    0xfe5163abdebbc561,
    0xb7246e3a424dd2e0,
    0x06492eea09d1921c,
    0xfe1deb1cb129a73e,
    0xe88235f52ebb4484,
    0xe99c7026b45f7e41,
    0x3991d639835339f4,
    0x9c845f8bbdf9283b,
    0x1ff897ffde05980f,
    0xef2f118b5a0a6d1f,
    0x6d367ecf27cb09b7,
    0x4f463f669e5fea2d,
    0x7527bac7ebe5f17b,
    0x3d0739f78a5292ea,
    0x6bfb5fb11f8d5d08,
    0x56033046fc7b6bab,
    0xf0cfbc209af4361d,
    0xa9e391615ee61b08,
};

// pi/2 = pio2_hi + pio2_lo to about 2^-107; pio2_hi/2 is just below pi/4.
constexpr double pio2_hi = 0x1.921fb54442d18p+0;
constexpr double pio2_lo = 0x1.1a62633145c07p-54;
constexpr double pio4_below = 0x1.921fb54442d18p-1;

// sin(r) = r + r^3 (s1 + s2 z + ... + s7 z^6) and
// cos(r) = 1 - z/2 + z^2 (c1 + c2 z + ... + c6 z^5), z = r^2, |r| <= pi/4:
// Chebyshev fits to (sin r - r)/r^3 and (cos r - 1 + z/2)/z^2 on
// [0, (pi/4)^2], errors 1e-20 and 1.3e-18 before the coefficients' rounding.
constexpr double s1 = -0x1.5555555555555p-3;
constexpr double s2 = 0x1.1111111111110p-7;
constexpr double s3 = -0x1.a01a01a019938p-13;
constexpr double s4 = 0x1.71de3a546095bp-19;
constexpr double s5 = -0x1.ae645412c560cp-26;
constexpr double s6 = 0x1.61217f0b800d5p-33;
constexpr double s7 = -0x1.ab17d404de57cp-41;
constexpr double c1 = 0x1.5555555555555p-5;
constexpr double c2 = -0x1.6c16c16c16967p-10;
constexpr double c3 = 0x1.a01a019f4eb01p-16;
constexpr double c4 = -0x1.27e4fa17da09ep-22;
constexpr double c5 = 0x1.1eeb68e93b64bp-29;
constexpr double c6 = -0x1.907da367a379ap-37;

u64 bits_of(double x) {
    u64 b = 0;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

double from_bits(u64 b) {
    double x = 0;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// 2^e for -1022 <= e <= 1023, exactly.
double power_of_two(int e) { return from_bits(static_cast<u64>(e + 1023) << 52); }

// A 64-bit integer below 2^63 as the nearest double.
double to_double(u64 v) { return static_cast<double>(static_cast<std::int64_t>(v)); }

// a * b = p + the returned error, exactly (Dekker's product: both operands
// split into halves of 26 bits, whose products are exact).
double product_error(double a, double b, double p) {
    const double ta = 134217729.0 * a;  // 2^27 + 1
    const double a_hi = ta - (ta - a);
    const double a_lo = a - a_hi;
    const double tb = 134217729.0 * b;
    const double b_hi = tb - (tb - b);
    const double b_lo = b - b_hi;
    return ((a_hi * b_hi - p) + a_hi * b_lo + a_lo * b_hi) + a_lo * b_lo;
}

struct reduced {
    double hi;
    double lo;
    int quadrant;
};

// x > pi/4, finite: x = (quadrant + f) pi/2 modulo 2 pi with |f| <= 1/2,
// returned as r = f pi/2 = hi + lo.
reduced reduce(double x) {
    const u64 b = bits_of(x);
    const u64 m = (b & ((u64{1} << 52) - 1)) | (u64{1} << 52);
    const int e = static_cast<int>(b >> 52) - 1075;  // x = m 2^e, e >= -53
    // Digits of 2/pi of weight 2^(e-2) and more contribute multiples of 4 to
    // x 2/pi and are dropped: the window w starts at digit e - 1 and holds
    // 256 digits, so x 2/pi = m w 2^-254 modulo 4, up to 2^-200.
    const int first = e - 1 + 127;
    const int limb = first / 64;
    const int shift = first % 64;
    u64 w[4];
    for (int k = 0; k < 4; ++k) {
        const u64 upper = digits_2_over_pi[limb + k];
        const u64 lower = digits_2_over_pi[limb + k + 1];
        w[k] = shift == 0 ? upper : (upper << shift) | (lower >> (64 - shift));
    }
    // p = m w, five limbs, p[0] the most significant.
    u64 p[5];
    u128 carry = 0;
    for (int k = 3; k >= 0; --k) {
        const u128 t = static_cast<u128>(m) * w[k] + carry;
        p[k + 1] = static_cast<u64>(t);
        carry = t >> 64;
    }
    p[0] = static_cast<u64>(carry);
    // Bits 254 and 255 of p are the quadrant, the 192 bits below them the
    // fraction f = f[0] 2^-64 + f[1] 2^-128 + f[2] 2^-192.
    int quadrant = static_cast<int>(p[1] >> 62);
    u64 f[3] = {(p[1] << 2) | (p[2] >> 62), (p[2] << 2) | (p[3] >> 62), (p[3] << 2) | (p[4] >> 62)};
    const bool negative = (f[0] >> 63) != 0;
    if (negative) {
        // f >= 1/2: the next quadrant, and f - 1, of magnitude 2^192 - f.
        quadrant = (quadrant + 1) & 3;
        f[2] = ~f[2] + 1;
        u64 c = f[2] == 0 ? 1 : 0;
        f[1] = ~f[1] + c;
        c = (c != 0 && f[1] == 0) ? 1 : 0;
        f[0] = ~f[0] + c;
    }
    // Normalise: the magnitude is (f[0] 2^-64 + f[1] 2^-128 + f[2] 2^-192) 2^-scale
    // with the top bit of f[0] set.
    int scale = 0;
    while (f[0] == 0) {
        if (scale >= 128) {
            return {0.0, 0.0, quadrant};  // no finite double lies this close to a multiple of pi/2
        }
        f[0] = f[1];
        f[1] = f[2];
        f[2] = 0;
        scale += 64;
    }
    const int lz = __builtin_clzll(f[0]);
    if (lz != 0) {
        f[0] = (f[0] << lz) | (f[1] >> (64 - lz));
        f[1] = (f[1] << lz) | (f[2] >> (64 - lz));
        scale += lz;
    }
    // The top 53 bits exactly, the next 63 rounded.
    const double hi = to_double(f[0] >> 11) * power_of_two(-53 - scale);
    const double lo = to_double(((f[0] & 0x7ff) << 52) | (f[1] >> 12)) * power_of_two(-116 - scale);
    // r = (hi + lo)(pio2_hi + pio2_lo) as a double-double; lo pio2_lo is
    // below 2^-160 of r and left out.
    const double product = hi * pio2_hi;
    const double tail = product_error(hi, pio2_hi, product) + (hi * pio2_lo + lo * pio2_hi);
    const double r_hi = product + tail;
    const double r_lo = tail - (r_hi - product);
    if (negative) {
        return {-r_hi, -r_lo, quadrant};
    }
    return {r_hi, r_lo, quadrant};
}

// sin(r + lo) for |r| <= pi/4, |lo| below an ulp of r: sin r + lo cos r,
// with cos r taken as 1 - z/2.
double sin_kernel(double r, double lo) {
    const double z = r * r;
    const double v = z * r;
    const double tail = s2 + z * (s3 + z * (s4 + z * (s5 + z * (s6 + z * s7))));
    const double cubic = v * (s1 + z * tail);
    const double correction = lo - (0.5 * z) * lo;
    return r + (cubic + correction);
}

// cos(r + lo) = cos r - lo sin r, with sin r taken as r.  w = 1 - z/2 is
// rounded; ((1 - w) - z/2) is its rounding error, exactly (both
// subtractions are of numbers within a factor of two of each other).
double cos_kernel(double r, double lo) {
    const double z = r * r;
    const double hz = 0.5 * z;
    const double w = 1.0 - hz;
    const double quartic = (z * z) * (c1 + z * (c2 + z * (c3 + z * (c4 + z * (c5 + z * c6)))));
    return w + (((1.0 - w) - hz) + (quartic - r * lo));
}

}  // namespace

cos_sin cos_sin_half(double theta) {
    const double x = theta * 0.5;
    const u64 b = bits_of(x);
    const bool negative = (b >> 63) != 0;
    const double ax = from_bits(b & ~(u64{1} << 63));
    reduced r{ax, 0.0, 0};
    if (ax > pio4_below) {
        r = reduce(ax);
    }
    const double sn = sin_kernel(r.hi, r.lo);
    const double cs = cos_kernel(r.hi, r.lo);
    cos_sin out{};
    switch (r.quadrant) {
        case 0: out = {cs, sn}; break;
        case 1: out = {-sn, cs}; break;
        case 2: out = {-cs, -sn}; break;
        default: out = {sn, -cs}; break;  // 3
    }
    if (negative) {
        out.s = -out.s;
    }
    return out;
}

}  // namespace velt
