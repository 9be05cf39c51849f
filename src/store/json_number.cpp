#include "store/json_number.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#if defined(_WIN32)
#include <locale.h>
typedef _locale_t CLocale;
static CLocale c_locale_create() {
  return _create_locale(LC_ALL, "C");
}
static void c_locale_free(CLocale l) {
  _free_locale(l);
}
static double c_strtod(const char* s, CLocale l) {
  return _strtod_l(s, nullptr, l);
}
static float c_strtof(const char* s, CLocale l) {
  return _strtof_l(s, nullptr, l);
}
#else
#include <locale.h>
typedef locale_t CLocale;
static CLocale c_locale_create() {
  return newlocale(LC_ALL_MASK, "C", (locale_t)0);
}
static void c_locale_free(CLocale l) {
  freelocale(l);
}
static double c_strtod(const char* s, CLocale l) {
  return strtod_l(s, nullptr, l);
}
static float c_strtof(const char* s, CLocale l) {
  return strtof_l(s, nullptr, l);
}
#endif

// ---------------------------------------------------------------------------------------------
// Number conversion. Decimal text is converted with the exact, locale-free std::from_chars; the
// rare texts it refuses (results that overflow to infinity or underflow to zero) go through the
// C locale's own conversion, so the outcome is always that of the C locale's strtod/strtof.

static std::atomic<CLocale> g_c_locale{(CLocale)0};

static CLocale c_locale() {
  CLocale l = g_c_locale.load(std::memory_order_acquire);
  if (l) return l;
  CLocale mine = c_locale_create();
  if (!mine) return (CLocale)0;
  CLocale expected = (CLocale)0;
  if (g_c_locale.compare_exchange_strong(expected, mine, std::memory_order_acq_rel)) return mine;
  c_locale_free(mine);  // another thread published first
  return expected;
}

// Whether a valid number text names a magnitude above 1 (used only for out-of-range results).
static bool text_is_large(const char* s, size_t n) {
  size_t i = 0;
  if (i < n && s[i] == '-') i++;
  long lead = 0;  // decimal exponent of the first non-zero digit
  bool seen = false, point = false;
  long exp10 = 0;
  for (; i < n; i++) {
    char c = s[i];
    if (c == '.') {
      point = true;
    } else if (c >= '0' && c <= '9') {
      if (!seen && c != '0') {
        seen = true;
      } else if (!seen && point) {
        lead--;
      }
      if (seen && !point) lead++;
    } else {
      break;
    }
  }
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    i++;
    bool neg = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    for (; i < n && s[i] >= '0' && s[i] <= '9'; i++)
      if (exp10 < 100000000) exp10 = exp10 * 10 + (s[i] - '0');
    if (neg) exp10 = -exp10;
  }
  return seen && lead + exp10 > 0;
}

template <typename T>
static T convert_text(const char* s, size_t n) {
  T v = 0;
  std::from_chars_result r = std::from_chars(s, s + n, v);
  if (r.ec == std::errc() && r.ptr == s + n) return v;
  CLocale loc = c_locale();
  if (loc) {
    char small[128];
    char* buf = n < sizeof small ? small : (char*)malloc(n + 1);
    if (buf) {
      memcpy(buf, s, n);
      buf[n] = 0;
      if constexpr (sizeof(T) == sizeof(float)) {
        v = c_strtof(buf, loc);
      } else {
        v = c_strtod(buf, loc);
      }
      if (buf != small) free(buf);
      return v;
    }
  }
  // No locale to ask: an out-of-range result is infinity or zero.
  bool neg = n > 0 && s[0] == '-';
  T mag = text_is_large(s, n) ? (T)INFINITY : (T)0;
  return neg ? -mag : mag;
}

const double kJsonPow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                  1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                  1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
const float kJsonPow10f[11] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                  1e6f, 1e7f, 1e8f, 1e9f, 1e10f};

// Lays out a decimal the way printf's %.{precision}g does: digits holds the significant digits
// (no trailing zeros), exp10 the decimal exponent of the first one.
static size_t layout_g(char* out, bool neg, const char* digits, int nd, int exp10, int precision) {
  char* o = out;
  if (neg) *o++ = '-';
  if (exp10 >= -4 && exp10 < precision) {
    if (exp10 >= 0) {
      for (int i = 0; i <= exp10; i++) *o++ = i < nd ? digits[i] : '0';
      if (nd > exp10 + 1) {
        *o++ = '.';
        for (int i = exp10 + 1; i < nd; i++) *o++ = digits[i];
      }
    } else {
      *o++ = '0';
      *o++ = '.';
      for (int i = 0; i < -exp10 - 1; i++) *o++ = '0';
      for (int i = 0; i < nd; i++) *o++ = digits[i];
    }
  } else {
    *o++ = digits[0];
    if (nd > 1) {
      *o++ = '.';
      for (int i = 1; i < nd; i++) *o++ = digits[i];
    }
    *o++ = 'e';
    int a = exp10;
    if (a < 0) {
      *o++ = '-';
      a = -a;
    } else {
      *o++ = '+';
    }
    if (a >= 100) *o++ = (char)('0' + a / 100);
    *o++ = (char)('0' + (a / 10) % 10);
    *o++ = (char)('0' + a % 10);
  }
  return (size_t)(o - out);
}

// Splits to_chars' scientific text "[-]d[.ddd]e(+|-)xx" into digits (trailing zeros dropped) and
// the exponent. Returns the digit count.
static int split_scientific(const char* s, const char* end, char* digits, int* exp10) {
  int nd = 0;
  if (s < end && *s == '-') s++;
  for (; s < end && *s != 'e'; s++)
    if (*s != '.') digits[nd++] = *s;
  while (nd > 1 && digits[nd - 1] == '0') nd--;
  int e = 0;
  bool neg = false;
  if (s < end) s++;  // 'e'
  if (s < end && (*s == '+' || *s == '-')) neg = *s++ == '-';
  for (; s < end; s++) e = e * 10 + (*s - '0');
  *exp10 = neg ? -e : e;
  return nd;
}

// 1e-8 .. 1e15, for placing a value between powers of ten.
static const double kPow10From8[24] = {1e-8, 1e-7, 1e-6, 1e-5, 1e-4, 1e-3, 1e-2, 1e-1,
                                       1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// Fast path for values that are the nearest double (float) to a decimal of at most base
// significant digits, like 0.4837: scales a to base digits, rounds, and keeps the digits only if
// they convert back to exactly a. For a normal value at most one decimal of base digits converts
// to it, so those digits are what the printf loop prints at precision base. a > 0.
template <typename T>
static bool short_decimal(T a, int base, char* digits, int* nd, int* exp10) {
  double d = (double)a;
  if (!(d >= 1e-8 && d < 1e15)) return false;
  uint64_t u;
  memcpy(&u, &d, sizeof u);
  int e2 = (int)((u >> 52) & 0x7FF) - 1023;
  int x = (e2 * 78913) >> 18;  // floor(e2 * log10(2)): the decimal exponent or one below
  if (d >= kPow10From8[x + 9]) x++;
  int k = base - 1 - x;  // scale so that the first digit lands at 10^(base-1)
  uint64_t m;
  if constexpr (sizeof(T) == sizeof(float)) {
    if (k < 0 || k > 10) return false;
    m = (uint64_t)(d * kJsonPow10[k] + 0.5);
    if ((float)m / kJsonPow10f[k] != a) return false;  // both exact: one correctly rounded division
  } else {
    if (k < 0 || k > 22) return false;
    m = (uint64_t)(d * kJsonPow10[k] + 0.5);
    if ((double)m / kJsonPow10[k] != a) return false;
  }
  // m has base digits, or is 10^base when rounding carried into the next power
  int n = base;
  if (m >= (uint64_t)kJsonPow10[base]) {
    m /= 10;
    x++;
  }
  // drop trailing zeros in big steps first: most values have only a few digits
  if (n > 8 && m % 100000000 == 0) {
    m /= 100000000;
    n -= 8;
  }
  if (n > 4 && m % 10000 == 0) {
    m /= 10000;
    n -= 4;
  }
  if (n > 2 && m % 100 == 0) {
    m /= 100;
    n -= 2;
  }
  if (n > 1 && m % 10 == 0) {
    m /= 10;
    n -= 1;
  }
  for (int i = n - 1; i >= 0; i--) {
    digits[i] = (char)('0' + m % 10);
    m /= 10;
  }
  *nd = n;
  *exp10 = x;
  return true;
}

// Shortest text among precisions base..max that converts back to exactly v (as %.*g would
// choose), for double or float.
template <typename T>
static size_t format_shortest(char* out, T v, int base, int max) {
  if (v == 0) {
    if (std::signbit(v)) {
      memcpy(out, "-0", 2);
      return 2;
    }
    out[0] = '0';
    return 1;
  }
  bool neg = std::signbit(v);
  char tmp[48], digits[40];
  int exp10;
  int nd;
  if (short_decimal(std::fabs(v), base, digits, &nd, &exp10))
    return layout_g(out, neg, digits, nd, exp10, base);
  std::to_chars_result r = std::to_chars(tmp, tmp + sizeof tmp, v, std::chars_format::scientific);
  nd = split_scientific(tmp, r.ptr, digits, &exp10);
  // For a normal value the nearest decimal of base digits is the shortest one padded with zeros.
  bool normal = std::fabs(v) >= std::numeric_limits<T>::min();
  if (nd <= base && normal) return layout_g(out, neg, digits, nd, exp10, base);
  // Otherwise the nearest decimal at a precision may still miss (next to a power of two), or a
  // subnormal's coarse spacing lets base digits read back: check each precision like the printf
  // loop would. Fewer digits than the shortest never read back.
  for (int precision = nd > base ? nd : base; precision <= max; precision++) {
    r = std::to_chars(tmp, tmp + sizeof tmp, v, std::chars_format::scientific, precision - 1);
    T back = convert_text<T>(tmp, (size_t)(r.ptr - tmp));
    if (back == v || precision == max) {
      nd = split_scientific(tmp, r.ptr, digits, &exp10);
      return layout_g(out, neg, digits, nd, exp10, precision);
    }
  }
  return 0;  // not reached: the loop ends at max
}

double json_text_to_double(const char* s, size_t n) {
  return convert_text<double>(s, n);
}

float json_text_to_float(const char* s, size_t n) {
  return convert_text<float>(s, n);
}

size_t json_format_double(char* out, double v) {
  return format_shortest<double>(out, v, 15, 17);
}

size_t json_format_float(char* out, float v) {
  return format_shortest<float>(out, v, 6, 9);
}
