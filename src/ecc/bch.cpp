// Linux's software BCH (lib/bch.c with nand's ecc-sw-bch.c) for 512-byte
// steps: a binary BCH code over GF(2^13) (primitive polynomial
// x^13 + x^4 + x^3 + x + 1), generator the product of the minimal polynomials
// of alpha^1, alpha^3, ..., alpha^(2t-1), degree 13 t. The data bits enter
// most significant bit of byte 0 first; the remainder is stored from its
// highest coefficient down, padded with zero bits to whole bytes, then XORed
// with the complement of an all-0xFF step's remainder so that an erased step
// has all-0xFF ECC bytes.
//
// Encoding runs a byte-wise LFSR on a table; decoding (syndromes,
// Berlekamp-Massey, a Chien search) only happens for a step whose ECC does
// not match.
#include <array>
#include <bit>
#include <cassert>

#include "ecc/ecc.h"

namespace jtagnand {

namespace {

constexpr uint32_t kFieldBits = 13;
constexpr uint32_t kFieldOrder = (1u << kFieldBits) - 1;  // non-zero elements: 8191
constexpr uint32_t kPrimitive = 0x201B;
constexpr uint32_t kStepBytes = 512;
constexpr uint32_t kMaxT = 8;

struct Field {
  std::array<uint16_t, 2 * kFieldOrder> exp{};  // doubled: log sums need no reduction
  std::array<uint16_t, kFieldOrder + 1> log{};
};

constexpr Field make_field() {
  Field f{};
  uint32_t x = 1;
  for (uint32_t i = 0; i < kFieldOrder; ++i) {
    f.exp[i] = static_cast<uint16_t>(x);
    f.exp[i + kFieldOrder] = static_cast<uint16_t>(x);
    f.log[x] = static_cast<uint16_t>(i);
    x <<= 1;
    if ((x & (1u << kFieldBits)) != 0) x ^= kPrimitive;
  }
  return f;
}

constexpr Field kField = make_field();

constexpr uint32_t gf_mul(uint32_t a, uint32_t b) {
  if (a == 0 || b == 0) return 0;
  return kField.exp[kField.log[a] + kField.log[b]];
}

constexpr uint32_t gf_div(uint32_t a, uint32_t b) {
  if (a == 0) return 0;
  return kField.exp[kField.log[a] + kFieldOrder - kField.log[b]];
}

// alpha^power for any power (reduced modulo the field's order).
constexpr uint32_t gf_pow(uint64_t power) {
  return kField.exp[static_cast<std::size_t>(power % kFieldOrder)];
}

// Up to 104 remainder bits, left aligned in 128: the coefficient of x^(n-1)
// is bit 63 of hi.
struct Wide {
  uint64_t hi = 0;
  uint64_t lo = 0;
};

constexpr Wide shifted(Wide w, uint32_t bits) {
  return {(w.hi << bits) | (w.lo >> (64 - bits)), w.lo << bits};
}

struct Code {
  uint32_t ecc_bits = 0;   // 13 t
  uint32_t ecc_bytes = 0;  // ceil(13 t / 8)
  Wide generator{};        // the generator without its leading x^n, left aligned
  std::array<Wide, 256> table{};
  std::array<uint8_t, 16> erased_mask{};  // complement of an erased step's remainder
};

constexpr Wide remainder_of(const Code& code, std::span<const uint8_t> data) {
  Wide r{};
  for (const uint8_t byte : data) {
    const Wide& t = code.table[static_cast<std::size_t>((r.hi >> 56) ^ byte)];
    r = shifted(r, 8);
    r.hi ^= t.hi;
    r.lo ^= t.lo;
  }
  return r;
}

constexpr uint8_t wide_byte(Wide w, uint32_t index) {
  return static_cast<uint8_t>(index < 8 ? w.hi >> (56 - 8 * index) : w.lo >> (120 - 8 * index));
}

constexpr Code make_code(uint32_t t) {
  Code code{};
  code.ecc_bits = kFieldBits * t;
  code.ecc_bytes = (code.ecc_bits + 7) / 8;
  // g(x) = product of (x + alpha^c) over the cyclotomic cosets of 1, 3, ...,
  // 2t-1; its coefficients end up in GF(2).
  std::array<uint32_t, kFieldBits * kMaxT + 1> g{};
  g[0] = 1;
  uint32_t degree = 0;
  for (uint32_t j = 1; j < 2 * t; j += 2) {
    uint32_t c = j;
    do {
      // g *= (x + alpha^c)
      const uint32_t root = kField.exp[c];
      for (uint32_t k = degree + 1; k > 0; --k) g[k] = g[k - 1] ^ gf_mul(g[k], root);
      g[0] = gf_mul(g[0], root);
      ++degree;
      c = (2 * c) % kFieldOrder;
    } while (c != j);
  }
  for (uint32_t k = 0; k < degree; ++k) {
    if (g[k] > 1) throw "generator coefficient outside GF(2)";
    if (g[k] != 0) {
      const uint32_t bit = 127 - (code.ecc_bits - 1 - k);  // x^k, left aligned
      if (bit >= 64) {
        code.generator.hi |= uint64_t{1} << (bit - 64);
      } else {
        code.generator.lo |= uint64_t{1} << bit;
      }
    }
  }
  for (uint32_t v = 0; v < 256; ++v) {
    Wide r{};
    for (uint32_t bit = 8; bit > 0; --bit) {
      const bool feedback = ((r.hi >> 63) ^ ((v >> (bit - 1)) & 1u)) != 0;
      r = shifted(r, 1);
      if (feedback) {
        r.hi ^= code.generator.hi;
        r.lo ^= code.generator.lo;
      }
    }
    code.table[v] = r;
  }
  std::array<uint8_t, kStepBytes> erased{};
  for (auto& b : erased) b = 0xFF;
  const Wide r = remainder_of(code, erased);
  for (uint32_t i = 0; i < code.ecc_bytes; ++i) {
    code.erased_mask[i] = static_cast<uint8_t>(~wide_byte(r, i));
  }
  return code;
}

constexpr Code kBch4 = make_code(4);
constexpr Code kBch8 = make_code(8);

const Code& code_for(uint32_t t) {
  return t == 4 ? kBch4 : kBch8;
}

}  // namespace

void bch_encode_step(uint32_t t, std::span<const uint8_t, 512> data, std::span<uint8_t> code) {
  const Code& c = code_for(t);
  assert(code.size() >= c.ecc_bytes);
  const Wide r = remainder_of(c, data);
  for (uint32_t i = 0; i < c.ecc_bytes; ++i) {
    code[i] = static_cast<uint8_t>(wide_byte(r, i) ^ c.erased_mask[i]);
  }
}

int32_t bch_decode_step(uint32_t t, std::span<uint8_t, 512> data, std::span<const uint8_t> stored) {
  const Code& c = code_for(t);
  assert(stored.size() >= c.ecc_bytes);
  // The received word modulo g: the remainder of the data as read against the
  // remainder as stored. Padding bits below the code's last bit carry nothing.
  Wide diff = remainder_of(c, data);
  for (uint32_t i = 0; i < c.ecc_bytes; ++i) {
    const auto received = static_cast<uint64_t>(stored[i] ^ c.erased_mask[i]);
    if (i < 8) {
      diff.hi ^= received << (56 - 8 * i);
    } else {
      diff.lo ^= received << (120 - 8 * i);
    }
  }
  const uint64_t all = ~uint64_t{0};
  diff.hi &= c.ecc_bits >= 64 ? all : all << (64 - c.ecc_bits);
  diff.lo &= c.ecc_bits > 64 ? all << (128 - c.ecc_bits) : 0;
  if (diff.hi == 0 && diff.lo == 0) return 0;

  // Syndromes S_1 .. S_2t of the remainder polynomial.
  std::array<uint32_t, 2 * kMaxT> syndrome{};
  for (uint32_t p = 0; p < c.ecc_bits; ++p) {
    const bool set =
        p < 64 ? ((diff.hi >> (63 - p)) & 1u) != 0 : ((diff.lo >> (127 - p)) & 1u) != 0;
    if (!set) continue;
    const uint32_t degree = c.ecc_bits - 1 - p;
    for (uint32_t j = 0; j < 2 * t; ++j) syndrome[j] ^= gf_pow(uint64_t{degree} * (j + 1));
  }

  // Berlekamp-Massey: the error locator polynomial.
  constexpr std::size_t kPoly = 4 * kMaxT + 2;
  std::array<uint32_t, kPoly> locator{};
  std::array<uint32_t, kPoly> previous{};
  locator[0] = 1;
  previous[0] = 1;
  uint32_t errors = 0;
  uint32_t gap = 1;
  uint32_t last_discrepancy = 1;
  for (uint32_t n = 0; n < 2 * t; ++n) {
    uint32_t d = syndrome[n];
    for (uint32_t i = 1; i <= errors; ++i) d ^= gf_mul(locator[i], syndrome[n - i]);
    if (d == 0) {
      ++gap;
      continue;
    }
    const uint32_t factor = gf_div(d, last_discrepancy);
    const auto before = locator;
    for (std::size_t i = 0; i + gap < kPoly; ++i) locator[i + gap] ^= gf_mul(factor, previous[i]);
    if (2 * errors <= n) {
      errors = n + 1 - errors;
      previous = before;
      last_discrepancy = d;
      gap = 1;
    } else {
      ++gap;
    }
  }
  if (errors > t) return -1;

  // Chien search over the shortened code's positions: a root alpha^-p of the
  // locator is an error at x^p.
  const uint32_t length = 8 * kStepBytes + c.ecc_bits;
  std::array<uint32_t, kMaxT> found{};
  uint32_t roots = 0;
  for (uint32_t p = 0; p < length && roots <= errors; ++p) {
    uint32_t sum = locator[0];
    const uint64_t inverse = kFieldOrder - p % kFieldOrder;
    for (uint32_t k = 1; k <= errors; ++k) {
      if (locator[k] != 0) sum ^= gf_mul(locator[k], gf_pow(inverse * k));
    }
    if (sum != 0) continue;
    if (roots < kMaxT) found[roots] = p;
    ++roots;
  }
  if (roots != errors) return -1;
  for (uint32_t i = 0; i < roots; ++i) {
    if (found[i] < c.ecc_bits) continue;       // in the ECC bytes: the data is right
    const uint32_t q = length - 1 - found[i];  // data bit, most significant of byte 0 first
    data[q / 8] = static_cast<uint8_t>(data[q / 8] ^ (0x80u >> (q % 8)));
  }
  return static_cast<int32_t>(errors);
}

}  // namespace jtagnand
