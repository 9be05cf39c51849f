#include "store/settings.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <type_traits>

#include "store/files.h"
#include "base/log.h"

static_assert(std::is_trivially_copyable<Settings>::value, "Settings is copied as bytes");

namespace {

enum FieldType { F_INT, F_FLOAT, F_TEXT };

struct Field {
  const char* key;
  int type;
  size_t offset;
  size_t size;
};

#define KELP_FIELD(name, type) \
  { #name, type, offsetof(Settings, name), sizeof(Settings::name) }

// File order.
const Field kFields[] = {
    KELP_FIELD(win_x, F_INT),
    KELP_FIELD(win_y, F_INT),
    KELP_FIELD(win_w, F_INT),
    KELP_FIELD(win_h, F_INT),
    KELP_FIELD(win_max, F_INT),
    KELP_FIELD(fullscreen, F_INT),
    KELP_FIELD(last_opened, F_TEXT),
    KELP_FIELD(cursors, F_TEXT),
    KELP_FIELD(triangle_stride, F_INT),
    KELP_FIELD(raw_playback, F_INT),
    KELP_FIELD(full_ui, F_INT),
    KELP_FIELD(paint_mode, F_INT),
    KELP_FIELD(input_pan, F_FLOAT),
    KELP_FIELD(input_distance, F_FLOAT),
    KELP_FIELD(device, F_TEXT),
    KELP_FIELD(buffer_frames, F_INT),
    KELP_FIELD(sample_rate, F_INT),
    KELP_FIELD(exclusive, F_INT),
    KELP_FIELD(broadcast, F_INT),
    KELP_FIELD(midi_off, F_INT),
    KELP_FIELD(export_normalize, F_INT),
    KELP_FIELD(canvas_2x, F_INT),
    KELP_FIELD(lib_tab, F_INT),
    KELP_FIELD(library_dir, F_TEXT),
    KELP_FIELD(whatsnew_seen, F_TEXT),
    KELP_FIELD(training_done, F_TEXT),
    KELP_FIELD(training_unseen, F_TEXT),
    KELP_FIELD(training_found, F_TEXT),
    KELP_FIELD(rig_open, F_INT),
    KELP_FIELD(rig_scroll, F_FLOAT),
    KELP_FIELD(rig_sel, F_INT),
};

#undef KELP_FIELD

constexpr size_t kLineMax = 2047;
constexpr size_t kCursorEntryMax = 95;
constexpr double kCursorSecondsMax = 86400.0;
constexpr char kHeader[] = "; kelp settings - written live, on change. Unknown keys are ignored.\n";

bool blank(char c) {
  return c == ' ' || c == '\t';
}
bool digit(char c) {
  return c >= '0' && c <= '9';
}
bool hex(char c) {
  return digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
char upper(char c) {
  return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
}

// 36 characters at p form an id: dashes at 8, 13, 18 and 23, hexadecimal elsewhere.
bool id_at(const char* p) {
  for (int i = 0; i < SETTINGS_ID_BYTES; i++) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? p[i] != '-' : !hex(p[i])) return false;
  }
  return true;
}

bool valid_id(const char* s) {
  return s && strlen(s) == SETTINGS_ID_BYTES && id_at(s);
}

void upper_id(const char* in, char* out) {
  for (int i = 0; i < SETTINGS_ID_BYTES; i++) out[i] = upper(in[i]);
  out[SETTINGS_ID_BYTES] = 0;
}

bool same_id(const char* a, const char* b) {
  for (int i = 0; i < SETTINGS_ID_BYTES; i++) {
    if (upper(a[i]) != upper(b[i])) return false;
  }
  return true;
}

// Copies len bytes of in as valid UTF-8 (each bad byte becomes U+FFFD), cut at a character
// boundary to fit size, and zero-fills the rest of out.
void put_text(char* out, size_t size, const char* in, size_t len) {
  std::string r;
  r.reserve(len);
  const unsigned char* p = (const unsigned char*)in;
  size_t i = 0;
  while (i < len) {
    unsigned c = p[i];
    size_t need = 0;
    unsigned cp = 0;
    if (c < 0x80) {
      r += (char)c;
      i++;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      need = 1, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3, cp = c & 0x07;
    }
    bool ok = need > 0 && i + need < len;
    for (size_t k = 1; ok && k <= need; k++) {
      if ((p[i + k] & 0xC0) != 0x80)
        ok = false;
      else
        cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if (ok && ((need == 2 && cp < 0x800) || (need == 3 && cp < 0x10000) || cp > 0x10FFFF ||
               (cp >= 0xD800 && cp <= 0xDFFF))) {
      ok = false;
    }
    if (ok) {
      r.append(in + i, need + 1);
      i += need + 1;
    } else {
      r += "\xEF\xBF\xBD";
      i++;
    }
  }
  if (r.size() > size - 1) r.resize(text_utf8_cut(&r[0], size - 1));
  memcpy(out, r.c_str(), r.size());
  memset(out + r.size(), 0, size - r.size());
}

// Keeps a text field terminated, whole-charactered and zero-filled after its terminator.
void tidy_text(char* field, size_t size) {
  field[size - 1] = 0;
  size_t n = text_utf8_cut(field, size - 1);
  memset(field + n, 0, size - n);
}

void clamp(int* v, int lo, int hi) {
  if (*v < lo) *v = lo;
  if (*v > hi) *v = hi;
}

void flag(int* v) {
  *v = *v != 0 ? 1 : 0;
}

int to_int(double v) {
  if (v >= 2147483647.0) return 2147483647;
  if (v <= -2147483648.0) return (int)-2147483647 - 1;
  return (int)v;  // truncates toward zero
}

// ---- cursor list ----

struct CursorEntry {
  char id[SETTINGS_ID_BYTES + 1];  // upper case
  double seconds;
};

int cursors_read(const char* text, CursorEntry* out) {
  int n = 0;
  const char* p = text;
  for (;;) {
    const char* start = p;
    while (*p && *p != ',') p++;
    size_t len = (size_t)(p - start);
    if (len >= 1 && len <= kCursorEntryMax && n < SETTINGS_CURSORS_MAX) {
      char e[kCursorEntryMax + 1];
      memcpy(e, start, len);
      e[len] = 0;
      const char* q = e;
      while (blank(*q)) q++;
      double v;
      if (strlen(q) > SETTINGS_ID_BYTES && id_at(q) && q[SETTINGS_ID_BYTES] == ':' &&
          ini_number(q + SETTINGS_ID_BYTES + 1, &v) && v >= 0 && v <= kCursorSecondsMax) {
        bool seen = false;
        for (int i = 0; i < n && !seen; i++) seen = same_id(out[i].id, q);
        if (!seen) {
          upper_id(q, out[n].id);
          out[n].seconds = v;
          n++;
        }
      }
    }
    if (!*p) break;
    p++;
  }
  return n;
}

void cursors_write(const CursorEntry* e, int n, char* out) {
  std::string r;
  for (int i = 0; i < n; i++) {
    double s = e[i].seconds;
    if (!std::isfinite(s) || s < 0) s = 0;
    if (s > kCursorSecondsMax) s = kCursorSecondsMax;
    long long us = std::llround(s * 1e6);
    char item[96];
    int len = snprintf(item, sizeof item, "%s%s:%lld.%06lld", r.empty() ? "" : ",", e[i].id,
                       us / 1000000, us % 1000000);
    if (len < 0 || r.size() + (size_t)len > SETTINGS_CURSORS_BYTES) break;
    r += item;
  }
  memcpy(out, r.c_str(), r.size());
  memset(out + r.size(), 0, SETTINGS_CURSORS_BYTES + 1 - r.size());
}

// Rewrites s's list from entries; true when the stored text changed.
bool cursors_store(Settings* s, const CursorEntry* e, int n) {
  char before[SETTINGS_CURSORS_BYTES + 1];
  memcpy(before, s->cursors, sizeof before);
  cursors_write(e, n, s->cursors);
  return memcmp(before, s->cursors, sizeof before) != 0;
}

void cursors_current(const Settings* s, CursorEntry* e, int* n) {
  char text[SETTINGS_CURSORS_BYTES + 1];
  memcpy(text, s->cursors, sizeof text);
  text[SETTINGS_CURSORS_BYTES] = 0;
  *n = cursors_read(text, e);
}

void parse_line(Settings* s, const char* line) {
  const char* p = line;
  while (blank(*p)) p++;
  if (!*p || *p == ';' || *p == '#') return;
  char key[32];
  size_t k = 0;
  for (; (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || digit(*p) || *p == '_'; p++) {
    if (k + 1 >= sizeof key) return;  // longer than any key
    key[k++] = (*p >= 'A' && *p <= 'Z') ? (char)(*p - 'A' + 'a') : *p;
  }
  key[k] = 0;
  if (k == 0) return;
  while (blank(*p)) p++;
  if (*p != '=') return;
  p++;
  while (blank(*p)) p++;
  for (const Field& f : kFields) {
    if (strcmp(f.key, key) != 0) continue;
    char* at = (char*)s + f.offset;
    double v;
    if (f.type == F_TEXT) {
      put_text(at, f.size, p, strlen(p));
    } else if (ini_number(p, &v)) {
      if (f.type == F_INT) {
        int i = to_int(v);
        memcpy(at, &i, sizeof i);
      } else {
        float x = (float)v;
        memcpy(at, &x, sizeof x);
      }
    }
    return;
  }
}

}  // namespace

bool ini_number(const char* text, double* out) {
  if (!text) return false;
  const char* p = text;
  while (blank(*p)) p++;
  bool neg = false;
  if (*p == '+' || *p == '-') neg = *p++ == '-';
  // Up to 18 significant digits; later ones only move the decimal point.
  char digits[19];
  int nd = 0, seen = 0;
  long long exp10 = 0;
  for (; digit(*p); p++, seen++) {
    if (nd == 0 && *p == '0') continue;
    if (nd < 18)
      digits[nd++] = *p;
    else
      exp10++;
  }
  if (*p == '.') {
    for (p++; digit(*p); p++, seen++) {
      if (nd == 0 && *p == '0') {
        exp10--;
      } else if (nd < 18) {
        digits[nd++] = *p;
        exp10--;
      }
    }
  }
  if (seen == 0) return false;
  if (*p == 'e' || *p == 'E') {
    p++;
    bool eneg = false;
    if (*p == '+' || *p == '-') eneg = *p++ == '-';
    if (!digit(*p)) return false;
    long long e = 0;
    for (; digit(*p); p++) {
      if (e < 1000000) e = e * 10 + (*p - '0');
    }
    exp10 += eneg ? -e : e;
  }
  while (blank(*p)) p++;
  if (*p) return false;
  double v = 0;
  if (nd > 0) {
    // Digits and a power of ten only: no decimal point, so the locale plays no part.
    char buf[48];
    snprintf(buf, sizeof buf, "%.*se%lld", nd, digits, exp10);
    v = strtod(buf, nullptr);
  }
  if (neg) v = -v;
  if (!std::isfinite(v)) return false;
  *out = v;
  return true;
}

void settings_defaults(Settings* s) {
  memset(s, 0, sizeof *s);
  s->triangle_stride = 3;
  s->buffer_frames = 256;
  s->rig_sel = -1;
}

void settings_parse(Settings* s, const char* text) {
  if (!s || !text) return;
  const char* p = text;
  if ((unsigned char)p[0] == 0xEF && (unsigned char)p[1] == 0xBB && (unsigned char)p[2] == 0xBF) {
    p += 3;
  }
  char line[kLineMax + 1];
  while (*p) {
    const char* start = p;
    while (*p && *p != '\r' && *p != '\n') p++;
    size_t len = (size_t)(p - start);
    while (*p == '\r' || *p == '\n') p++;
    if (len == 0 || len > kLineMax) continue;
    memcpy(line, start, len);
    line[len] = 0;
    parse_line(s, line);
  }
}

void settings_sanitise(Settings* s) {
  clamp(&s->win_x, -100000, 100000);
  clamp(&s->win_y, -100000, 100000);
  if (s->win_w < 0 || s->win_w > 32768) s->win_w = 0;
  if (s->win_h < 0 || s->win_h > 32768) s->win_h = 0;
  flag(&s->win_max);
  flag(&s->fullscreen);
  if (s->triangle_stride < 1) s->triangle_stride = 1;
  if (s->triangle_stride > 8) s->triangle_stride = 8;
  flag(&s->raw_playback);
  flag(&s->full_ui);
  flag(&s->paint_mode);
  for (float* f : {&s->input_pan, &s->input_distance}) {
    if (!std::isfinite(*f)) *f = 0;
    if (*f < -1) *f = -1;
    if (*f > 1) *f = 1;
  }
  clamp(&s->buffer_frames, 32, 4096);
  if (s->sample_rate != 0 && (s->sample_rate < 8000 || s->sample_rate > 384000)) {
    s->sample_rate = 0;
  }
  for (int* b : {&s->exclusive, &s->broadcast, &s->midi_off, &s->export_normalize, &s->canvas_2x,
                 &s->rig_open}) {
    flag(b);
  }
  clamp(&s->lib_tab, 0, 1);
  if (!std::isfinite(s->rig_scroll) || s->rig_scroll < 0) s->rig_scroll = 0;
  if (s->rig_scroll > 64) s->rig_scroll = 64;
  if (s->rig_sel < -1 || s->rig_sel > 63) s->rig_sel = -1;

  for (const Field& f : kFields) {
    if (f.type == F_TEXT) tidy_text((char*)s + f.offset, f.size);
  }
  if (valid_id(s->last_opened)) {
    upper_id(s->last_opened, s->last_opened);
  } else {
    memset(s->last_opened, 0, sizeof s->last_opened);
  }
  CursorEntry e[SETTINGS_CURSORS_MAX];
  int n;
  cursors_current(s, e, &n);
  cursors_write(e, n, s->cursors);
}

int settings_serialise(const Settings* s, char* out, size_t size) {
  std::string r = kHeader;
  char num[64];
  for (const Field& f : kFields) {
    const char* at = (const char*)s + f.offset;
    if (f.type == F_INT) {
      int v;
      memcpy(&v, at, sizeof v);
      snprintf(num, sizeof num, "%d", v);
      r += f.key;
      r += " = ";
      r += num;
    } else if (f.type == F_FLOAT) {
      float x;
      memcpy(&x, at, sizeof x);
      double v = x;
      // Four decimals, rounded; a sign only when something non-zero is left.
      long long q = 0;
      if (std::isfinite(v) && std::fabs(v) < 1e12) q = std::llround(v * 10000.0);
      unsigned long long a = q < 0 ? (unsigned long long)-q : (unsigned long long)q;
      snprintf(num, sizeof num, "%s%llu.%04llu", q < 0 ? "-" : "", a / 10000, a % 10000);
      r += f.key;
      r += " = ";
      r += num;
    } else {
      size_t cut = 0;
      while (cut < f.size && at[cut] && at[cut] != '\r' && at[cut] != '\n') cut++;
      if (cut == 0) continue;
      r += f.key;
      r += " = ";
      r.append(at, cut);
    }
    r += '\n';
  }
  if (!out || r.size() + 1 > size) return -1;
  memcpy(out, r.c_str(), r.size() + 1);
  return (int)r.size();
}

int settings_load(Settings* s, const char* path) {
  settings_defaults(s);
  if (!path || !*path) return 1;
  size_t n = 0;
  char* text = file_read_all(path, &n);
  if (!text) {
    if (path_exists(path)) log_line("settings: can't read %s - using defaults", path);
    return 1;
  }
  settings_parse(s, text);
  free(text);
  settings_sanitise(s);
  return 0;
}

int settings_save(const Settings* s, const char* path) {
  char buf[SETTINGS_SAVE_BYTES];
  int n = settings_serialise(s, buf, sizeof buf);
  if (n < 0) {
    log_line("settings: not saved (%s)", "too long");
    return -1;
  }
  if (!path || !*path) {
    log_line("settings: not saved (%s)", "no ini path");
    return -1;
  }
  char folder[PATH_UTF8_MAX + 1];
  // A path too long to write is refused below; its cut form must not make a stray folder.
  bool fits = strlen(path) < sizeof folder;
  snprintf(folder, sizeof folder, "%s", path);
  char* slash = fits ? strrchr(folder, '/') : nullptr;
  if (slash && slash != folder) {
    *slash = 0;
    if (!path_is_dir(folder)) fsys_make_folders(folder);
  }
  if (file_write_atomic(path, buf, (size_t)n) != 0) {
    log_line("settings: couldn't write %s", path);
    return -1;
  }
  return 0;
}

bool settings_changed(const Settings* s, Settings* saved) {
  bool differ = false;
  for (const Field& f : kFields) {
    if (memcmp((const char*)s + f.offset, (const char*)saved + f.offset, f.size) != 0) {
      differ = true;
      break;
    }
  }
  if (differ) *saved = *s;
  return differ;
}

bool cursors_get(const Settings* s, const char* id, double* seconds) {
  if (!valid_id(id)) return false;
  CursorEntry e[SETTINGS_CURSORS_MAX];
  int n;
  cursors_current(s, e, &n);
  for (int i = 0; i < n; i++) {
    if (same_id(e[i].id, id)) {
      if (seconds) *seconds = e[i].seconds;
      return true;
    }
  }
  return false;
}

bool cursors_set(Settings* s, const char* id, double seconds) {
  CursorEntry e[SETTINGS_CURSORS_MAX];
  int n;
  cursors_current(s, e, &n);
  if (!valid_id(id)) return cursors_store(s, e, n);
  CursorEntry next[SETTINGS_CURSORS_MAX];
  upper_id(id, next[0].id);
  next[0].seconds = seconds;
  int m = 1;
  for (int i = 0; i < n && m < SETTINGS_CURSORS_MAX; i++) {
    if (!same_id(e[i].id, id)) next[m++] = e[i];
  }
  return cursors_store(s, next, m);
}

bool cursors_remove(Settings* s, const char* id) {
  CursorEntry e[SETTINGS_CURSORS_MAX];
  int n;
  cursors_current(s, e, &n);
  bool removed = false;
  int m = 0;
  for (int i = 0; i < n; i++) {
    if (valid_id(id) && same_id(e[i].id, id)) {
      removed = true;
    } else {
      e[m++] = e[i];
    }
  }
  cursors_store(s, e, m);
  return removed;
}
