// The sketch's title and date as the user reads them.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "store/json.h"
#include "store/meta.h"
#include "store/meta_internal.h"
#include "base/text.h"

#ifndef _WIN32
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <strings.h>
#endif

namespace {

bool local_time(double createdAt, struct tm* out) {
  int64_t unixSeconds;
  if (!meta_unix_time(createdAt, &unixSeconds)) return false;
  time_t t = (time_t)unixSeconds;
#ifdef _WIN32
  return localtime_s(out, &t) == 0;
#else
  return localtime_r(&t, out) != nullptr;
#endif
}

// Appends text with invalid UTF-8 bytes as U+FFFD.
void append_repaired(std::string* out, const char* s, size_t n) {
  for (size_t i = 0; i < n;) {
    int k = text_utf8_sequence(s + i, n - i);
    if (k > 0) {
      out->append(s + i, (size_t)k);
      i += (size_t)k;
    } else {
      out->append("\xEF\xBF\xBD");
      i++;
    }
  }
}

int finish(const std::string& text, char* buffer, size_t size) {
  return (int)meta_copy_text(buffer, size, text.c_str());
}

#ifndef _WIN32

// The user's time locale (LC_ALL, LC_TIME, LANG), made once; the process's own locale never
// changes what it gives.
locale_t user_locale() {
  static std::atomic<locale_t> cached{(locale_t)0};
  locale_t l = cached.load(std::memory_order_acquire);
  if (l) return l;
  locale_t mine = newlocale(LC_TIME_MASK | LC_CTYPE_MASK, "", (locale_t)0);
  if (!mine) mine = newlocale(LC_TIME_MASK, "", (locale_t)0);
  if (!mine) mine = newlocale(LC_ALL_MASK, "C", (locale_t)0);
  if (!mine) return (locale_t)0;
  locale_t expected = (locale_t)0;
  if (cached.compare_exchange_strong(expected, mine, std::memory_order_acq_rel)) return mine;
  freelocale(mine);
  return expected;
}

// A time format with its seconds taken out: "%H:%M:%S" gives "%H:%M", "%I:%M:%S %p" gives
// "%I:%M %p", and a seconds field followed by its own unit word ("%S秒") loses the word too.
void strip_seconds(const char* fmt, locale_t loc, std::string* out, int depth) {
  size_t literalStart = out->size();  // where the literal text before the next field begins
  for (const char* p = fmt; *p; p++) {
    if (*p != '%') {
      out->push_back(*p);
      continue;
    }
    const char* field = p;
    p++;
    if (*p == 'E' || *p == 'O') p++;
    char c = *p;
    if (!c) break;
    if (c == 'T') {
      out->append("%H:%M");
    } else if ((c == 'r' || c == 'X') && depth < 2) {
      const char* inner = nl_langinfo_l(c == 'r' ? T_FMT_AMPM : T_FMT, loc);
      if (!inner || !*inner) inner = c == 'r' ? "%I:%M:%S %p" : "%H:%M:%S";
      strip_seconds(inner, loc, out, depth + 1);
    } else if (c == 'S') {
      std::string before = out->substr(literalStart);
      bool punctuation = !before.empty() && before.find_first_not_of(":., ") == std::string::npos;
      if (punctuation || before.empty()) {
        out->resize(literalStart);
      } else {
        while (p[1] && p[1] != '%') p++;  // the unit word after the seconds
      }
    } else {
      out->append(field, (size_t)(p - field + 1));
    }
    literalStart = out->size();
  }
}

// The locale's text converted to UTF-8.
void to_utf8(const char* s, locale_t loc, std::string* out) {
  const char* codeset = nl_langinfo_l(CODESET, loc);
  size_t n = strlen(s);
  bool utf8 = !codeset || strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "UTF8") == 0 ||
              strcmp(codeset, "ANSI_X3.4-1968") == 0;
  if (!utf8) {
    iconv_t cd = iconv_open("UTF-8", codeset);
    if (cd != (iconv_t)-1) {
      std::string converted(n * 4 + 4, '\0');
      char* in = const_cast<char*>(s);
      size_t inLeft = n;
      char* o = &converted[0];
      size_t outLeft = converted.size();
      size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
      iconv_close(cd);
      if (r != (size_t)-1) {
        append_repaired(out, converted.data(), converted.size() - outLeft);
        return;
      }
    }
  }
  append_repaired(out, s, n);
}

bool format_time(const char* fmt, const struct tm* t, locale_t loc, std::string* out) {
  char buf[256];
  size_t n = strftime_l(buf, sizeof buf, fmt, t, loc);
  if (n == 0) return false;
  to_utf8(buf, loc, out);
  return true;
}

#endif

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

int meta_title(const SketchMeta* meta, char* buffer, size_t size) {
  if (!buffer || size == 0) return 0;
  if (meta && meta->name[0]) return (int)meta_copy_text(buffer, size, meta->name);
  struct tm t;
  if (!meta || !local_time(meta->createdAt, &t))
    return (int)meta_copy_text(buffer, size, "Recording");
  int hour = t.tm_hour % 12;
  char text[96];
  snprintf(text, sizeof text, "Recording \xC2\xB7 %s %d \xC2\xB7 %d:%02d%s", kMonths[t.tm_mon % 12],
           t.tm_mday, hour == 0 ? 12 : hour, t.tm_min, t.tm_hour < 12 ? "AM" : "PM");
  return (int)meta_copy_text(buffer, size, text);
}

int meta_date_text(const SketchMeta* meta, char* buffer, size_t size) {
  if (!buffer || size == 0) return 0;
  buffer[0] = 0;
  struct tm t;
  if (!meta || !local_time(meta->createdAt, &t)) return 0;
  std::string date, time;
#ifndef _WIN32
  locale_t loc = user_locale();
  if (!loc) return 0;
  // "MMM d, yyyy": the locale's month abbreviation, the day without padding, the full year.
  if (!format_time("%b", &t, loc, &date)) return 0;
  date += ' ';
  date += std::to_string(t.tm_mday);
  date += ", ";
  date += std::to_string(t.tm_year + 1900);
  const char* tfmt = nl_langinfo_l(T_FMT, loc);
  std::string noSeconds;
  strip_seconds(tfmt && *tfmt ? tfmt : "%H:%M:%S", loc, &noSeconds, 0);
  if (noSeconds.empty() || !format_time(noSeconds.c_str(), &t, loc, &time)) time.clear();
#else
  char buf[64];
  snprintf(buf, sizeof buf, "%s %d, %d", kMonths[t.tm_mon % 12], t.tm_mday, t.tm_year + 1900);
  date = buf;
  snprintf(buf, sizeof buf, "%02d:%02d", t.tm_hour, t.tm_min);
  time = buf;
#endif
  std::string text = date;
  if (!time.empty()) text += ", " + time;
  return finish(text, buffer, size);
}
