#include "store/json.h"

#include <gtest/gtest.h>
#include <locale.h>
#include <unistd.h>

#include <atomic>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Doc {
  JsonDoc* doc = nullptr;
  std::string message;
  explicit Doc(const std::string& text) {
    char buf[256];
    strcpy(buf, "untouched");
    doc = json_parse(text.data(), text.size(), buf, sizeof buf);
    message = buf;
  }
  ~Doc() { json_free(doc); }
  const JsonValue* root() const { return json_root(doc); }
};

std::string parse_error(const std::string& text) {
  Doc d(text);
  EXPECT_EQ(d.doc, nullptr) << text;
  return d.message;
}

std::string write_value(const JsonValue* v) {
  JsonWriter w;
  jw_init(&w, 0);
  jw_value(&w, v);
  std::string s = w.failed ? "<failed>" : std::string(w.data, w.length);
  jw_free(&w);
  return s;
}

std::string written_double(double v, bool* nonFinite = nullptr) {
  JsonWriter w;
  jw_init(&w, 0);
  jw_double(&w, v);
  std::string s(w.data, w.length);
  if (nonFinite) *nonFinite = w.non_finite;
  jw_free(&w);
  return s;
}

std::string written_float(float v) {
  JsonWriter w;
  jw_init(&w, 0);
  jw_float(&w, v);
  std::string s(w.data, w.length);
  jw_free(&w);
  return s;
}

std::string written_string(const std::string& s) {
  JsonWriter w;
  jw_init(&w, 0);
  jw_string_n(&w, s.data(), s.size());
  std::string out(w.data, w.length);
  jw_free(&w);
  return out;
}

// The printf loop the writer must agree with: the first of the precisions that reads back exactly.
std::string reference_double(double v) {
  if (!std::isfinite(v) || (v == 0 && !std::signbit(v))) return "0";
  char buf[64];
  for (int p = 15; p <= 17; p++) {
    snprintf(buf, sizeof buf, "%.*g", p, v);
    if (strtod(buf, nullptr) == v) return buf;
  }
  snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

std::string reference_float(float v) {
  if (!std::isfinite(v) || (v == 0 && !std::signbit(v))) return "0";
  char buf[64];
  for (int p = 6; p <= 9; p++) {
    snprintf(buf, sizeof buf, "%.*g", p, (double)v);
    if (strtof(buf, nullptr) == v) return buf;
  }
  snprintf(buf, sizeof buf, "%.9g", (double)v);
  return buf;
}

uint64_t bits(double d) {
  uint64_t u;
  memcpy(&u, &d, 8);
  return u;
}

uint32_t bits(float f) {
  uint32_t u;
  memcpy(&u, &f, 4);
  return u;
}

const char* kFixtures[] = {"basic-pretty.json", "legacy-mono.json", "rich-layers.json",
                           "swift-floats.json"};

// The phone edition's sample files: $KELP_FIXTURES, the repository's copy, or the shared folder.
std::string fixture_dir() {
  std::vector<std::string> dirs;
  if (const char* env = getenv("KELP_FIXTURES")) dirs.push_back(env);
  dirs.push_back(std::string(KELP_SOURCE_DIR) + "/tests/fixtures/phone");
  dirs.push_back("/work/shared/fixtures/phone");
  for (const std::string& d : dirs) {
    std::ifstream f(d + "/basic-pretty.json");
    if (f) return d;
  }
  return "";
}

std::string read_fixture(const char* name) {
  std::ifstream f(fixture_dir() + "/" + name, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

#define REQUIRE_FIXTURES() \
  if (fixture_dir().empty()) GTEST_SKIP() << "phone fixtures not found; set KELP_FIXTURES"

}  // namespace

// ---------------------------------------------------------------------------------------------
// Reader errors

TEST(JsonParse, ErrorsNameTheirLineAndColumn) {
  struct Case {
    std::string text;
    const char* message;
  } cases[] = {
      {"", "line 1 col 1: empty document"},
      {"  \n\t ", "line 2 col 3: empty document"},
      {"\xEF\xBB\xBF", "line 1 col 4: empty document"},
      {"[1,]", "line 1 col 4: expected a value"},
      {"{\"a\":1 \"b\":2}", "line 1 col 8: expected ',' or '}'"},
      {"{1:2}", "line 1 col 2: expected a string key"},
      {"{\"a\",1}", "line 1 col 5: expected ':'"},
      {"{", "line 1 col 2: expected a string key"},
      {"[", "line 1 col 2: expected a value, found the end of the text"},
      {"[1", "line 1 col 3: expected ',' or ']'"},
      {"[1 2]", "line 1 col 4: expected ',' or ']'"},
      {"01", "line 1 col 2: unexpected text after the value"},
      {"truex", "line 1 col 5: unexpected text after the value"},
      {"[true1]", "line 1 col 6: expected ',' or ']'"},
      {"tru", "line 1 col 1: expected a value"},
      {"True", "line 1 col 1: expected a value"},
      {"+1", "line 1 col 1: expected a value"},
      {"-", "line 1 col 2: bad number"},
      {"1.", "line 1 col 3: bad number: a digit must follow '.'"},
      {"1.e5", "line 1 col 3: bad number: a digit must follow '.'"},
      {"1e", "line 1 col 3: bad number: a digit must follow the exponent"},
      {"1e+", "line 1 col 4: bad number: a digit must follow the exponent"},
      {"\"abc", "line 1 col 5: unterminated string"},
      {"\"abc\\", "line 1 col 6: unterminated string"},
      {"\"a\x01\"", "line 1 col 3: control character in a string"},
      {"\"\\x\"", "line 1 col 2: bad escape in a string"},
      {"\"ab\\u12G4\"", "line 1 col 4: bad \\u escape"},
      {"\"\\u12", "line 1 col 2: bad \\u escape"},
      {"\"\\ud83d\\u00zz\"", "line 1 col 8: bad \\u escape"},
      // the fifth byte of the third line
      {"[1,\n2,\n3,  x]", "line 3 col 5: expected a value"},
      {"{\r\n\"a\" :\r\n  1 ,\r\n\"b\":[}", "line 4 col 6: expected a value"},
      // zero bytes inside the text are not its end
      {std::string("[1]\0", 4), "line 1 col 4: unexpected text after the value"},
      {std::string("[\0]", 3), "line 1 col 2: expected a value"},
      // a broken mark is not skipped, and counts as columns when kept
      {"\xEF\xBB"
       "1",
       "line 1 col 1: expected a value"},
      {"\xEF\xBB\xBF[x]", "line 1 col 5: expected a value"},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_error(c.text), c.message) << c.text;
}

TEST(JsonParse, NullTextAndSmallMessageBuffers) {
  char msg[64] = "x";
  EXPECT_EQ(json_parse(nullptr, 5, msg, sizeof msg), nullptr);
  EXPECT_STREQ(msg, "no text");
  EXPECT_EQ(json_parse(nullptr, 0, msg, sizeof msg), nullptr);
  EXPECT_STREQ(msg, "line 1 col 1: empty document");
  // message is optional and cut to its buffer
  EXPECT_EQ(json_parse("[", 1, nullptr, 0), nullptr);
  char small[8];
  memset(small, 'z', sizeof small);
  EXPECT_EQ(json_parse("[", 1, small, 5), nullptr);
  EXPECT_STREQ(small, "line");
  EXPECT_EQ(small[5], 'z');
  // success clears it
  JsonDoc* d = json_parse("1", 1, msg, sizeof msg);
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(msg, "");
  json_free(d);
  json_free(nullptr);
}

TEST(JsonParse, NestingStopsAt64Containers) {
  std::string ok = std::string(64, '[') + std::string(64, ']');
  Doc d(ok);
  ASSERT_NE(d.doc, nullptr) << d.message;
  int depth = 0;
  for (const JsonValue* v = d.root(); v; v = json_first(v)) depth++;
  EXPECT_EQ(depth, 64);

  EXPECT_EQ(parse_error(std::string(65, '[') + std::string(65, ']')),
            "line 1 col 65: nesting deeper than 64");
  std::string mixed;
  for (int i = 0; i < 40; i++) mixed += "{\"k\":[";
  EXPECT_EQ(parse_error(mixed), "line 1 col 193: nesting deeper than 64");
  // a deep unterminated text fails without walking further down
  EXPECT_EQ(parse_error(std::string(100000, '[')), "line 1 col 65: nesting deeper than 64");
}

// ---------------------------------------------------------------------------------------------
// Reader values

TEST(JsonParse, ContainersKeepOrderDuplicatesAndSpans) {
  const std::string text =
      "\xEF\xBB\xBF { \"a\" : [ ] , \"b\":{}, \"a\": [1, \"x\" ,null,true,false] }  ";
  Doc d(text);
  ASSERT_NE(d.doc, nullptr) << d.message;
  const JsonValue* r = d.root();
  ASSERT_TRUE(json_is(r, JSON_OBJECT));
  EXPECT_EQ(json_count(r), 3u);
  EXPECT_EQ(json_key(r, nullptr), nullptr);
  EXPECT_EQ(json_source_offset(r), 4u);
  EXPECT_EQ(text.substr(json_source_offset(r), json_source_length(d.doc, r)),
            text.substr(4, text.size() - 6));

  // duplicates are kept in order; lookup finds the first
  const JsonValue* first = json_get(r, "a");
  ASSERT_TRUE(json_is(first, JSON_ARRAY));
  EXPECT_EQ(json_count(first), 0u);
  EXPECT_EQ(json_first(first), nullptr);
  EXPECT_TRUE(json_is(json_get(r, "b"), JSON_OBJECT));
  EXPECT_EQ(json_count(json_get(r, "b")), 0u);
  const JsonValue* second = json_next(r, json_next(r, first));
  EXPECT_EQ(second, json_at(r, 2));
  EXPECT_EQ(json_next(r, second), nullptr);
  ASSERT_STREQ(json_key(second, nullptr), "a");
  EXPECT_EQ(json_count(second), 5u);
  EXPECT_EQ(json_get(r, "A"), nullptr);
  EXPECT_EQ(json_get(r, ""), nullptr);
  EXPECT_EQ(json_get(second, "a"), nullptr);
  EXPECT_EQ(json_get(nullptr, "a"), nullptr);

  const char* spans[] = {"1", "\"x\"", "null", "true", "false"};
  JsonType types[] = {JSON_NUMBER, JSON_STRING, JSON_NULL, JSON_BOOL, JSON_BOOL};
  int i = 0;
  for (const JsonValue* c = json_first(second); c; c = json_next(second, c), i++) {
    EXPECT_EQ(json_type(c), types[i]);
    EXPECT_EQ(c, json_at(second, i));
    EXPECT_EQ(json_key(c, nullptr), nullptr);
    char* raw = json_raw_text(d.doc, c);
    EXPECT_STREQ(raw, spans[i]);
    free(raw);
  }
  EXPECT_EQ(i, 5);
  EXPECT_EQ(json_at(second, 5), nullptr);
  EXPECT_TRUE(json_bool(json_at(second, 3), false));
  EXPECT_FALSE(json_bool(json_at(second, 4), true));
  EXPECT_TRUE(json_bool(json_at(second, 0), true));  // not a bool: the fallback
  char* raw = json_raw_text(d.doc, second);
  EXPECT_STREQ(raw, "[1, \"x\" ,null,true,false]");
  free(raw);

  // a span that lies outside the input gives nothing
  JsonValue fake = *json_at(second, 1);
  fake.offset = (uint32_t)text.size() - 2;  // no closing quote after it
  EXPECT_EQ(json_raw_text(d.doc, &fake), nullptr);
  fake.offset = (uint32_t)text.size();
  EXPECT_EQ(json_raw_text(d.doc, &fake), nullptr);
  fake.offset = UINT32_MAX;
  EXPECT_EQ(json_raw_text(d.doc, &fake), nullptr);
  size_t n = 7;
  EXPECT_EQ(json_source(d.doc, &fake, &n), nullptr);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(json_raw_text(nullptr, second), nullptr);
}

TEST(JsonParse, IntegersAndNumberEdges) {
  struct Case {
    const char* text;
    bool is_integer;
    int64_t integer;
  } ints[] = {
      {"0", true, 0},
      {"-0", true, 0},
      {"9223372036854775807", true, INT64_MAX},
      {"-9223372036854775808", true, INT64_MIN},
      {"9223372036854775808", false, 0},
      {"-9223372036854775809", false, 0},
      {"18446744073709551616", false, 0},
      {"9007199254740993", true, 9007199254740993LL},
      {"1.0", false, 0},
      {"1e2", false, 0},
  };
  for (const Case& c : ints) {
    Doc d(c.text);
    ASSERT_NE(d.doc, nullptr) << c.text;
    EXPECT_EQ(json_is_integer(d.root()), c.is_integer) << c.text;
    if (c.is_integer) {
      EXPECT_EQ(json_int(d.root(), 7), c.integer) << c.text;
    }
    EXPECT_EQ(bits(json_number(d.root(), 7)), bits(strtod(c.text, nullptr))) << c.text;
  }
  auto number = [](const char* text) { return json_number(Doc(text).root(), 7); };
  EXPECT_TRUE(std::signbit(number("-0")));
  EXPECT_TRUE(std::signbit(number("-0.0e5")));
  EXPECT_EQ(number("1e400"), INFINITY);
  EXPECT_EQ(number("-1e400"), -INFINITY);
  EXPECT_EQ(bits(number("-1e-400")), bits(-0.0));
  EXPECT_EQ(number("4.9e-324"), 4.9406564584124654e-324);
  EXPECT_EQ(number("2.4e-324"), 0.0);
  EXPECT_EQ(number("1e99999999999999999999"), INFINITY);
  EXPECT_EQ(number("0.0000000000000000000000000000001e-99999999999"), 0.0);
  EXPECT_EQ(number("\"1\""), 7.0);
  EXPECT_EQ(json_number(nullptr, 7), 7.0);

  // json_int: exact integers, truncated doubles within +-2^63, else the fallback
  EXPECT_EQ(json_int(Doc("9223372036854775807").root(), 7), INT64_MAX);
  EXPECT_EQ(json_int(Doc("2.9").root(), 7), 2);
  EXPECT_EQ(json_int(Doc("-2.9").root(), 7), -2);
  EXPECT_EQ(json_int(Doc("-9.2233720368547758e18").root(), 7), INT64_MIN);
  EXPECT_EQ(json_int(Doc("9223372036854775808").root(), 7), 7);
  EXPECT_EQ(json_int(Doc("1e400").root(), 7), 7);
  EXPECT_EQ(json_int(Doc("\"5\"").root(), 7), 7);
  EXPECT_EQ(json_int(nullptr, 7), 7);
}

TEST(JsonParse, NumbersMatchTheCLibraryBitForBit) {
  std::mt19937_64 rng(42);
  std::string text = "[";
  std::vector<std::string> numbers;
  for (int i = 0; i < 20000; i++) {
    std::string s;
    if (rng() % 2) s += '-';
    int intDigits = 1 + (int)(rng() % 20);
    s += (char)('1' + rng() % 9);
    for (int k = 1; k < intDigits; k++) s += (char)('0' + rng() % 10);
    if (rng() % 4 == 0) s = s.substr(0, s[0] == '-' ? 1 : 0) + "0";
    if (rng() % 2) {
      s += '.';
      int frac = 1 + (int)(rng() % 22);
      for (int k = 0; k < frac; k++) s += (char)('0' + rng() % 10);
    }
    if (rng() % 3 == 0) {
      s += (rng() % 2) ? 'e' : 'E';
      int e = (int)(rng() % 700) - 350;
      s += std::to_string(e);
    }
    numbers.push_back(s);
    text += (i ? "," : "") + s;
  }
  text += "]";
  Doc d(text);
  ASSERT_NE(d.doc, nullptr) << d.message;
  int i = 0;
  for (const JsonValue* v = json_first(d.root()); v; v = json_next(d.root(), v), i++) {
    const std::string& s = numbers[i];
    ASSERT_EQ(bits(json_number(v, 0)), bits(strtod(s.c_str(), nullptr))) << s;
    ASSERT_EQ(bits(json_float(d.doc, v)), bits(strtof(s.c_str(), nullptr))) << s;
  }
  EXPECT_EQ(i, 20000);
}

TEST(JsonParse, FloatsReadFromTheirOwnText) {
  const char* texts[] = {"0.30000001", "1e-05",      "3.4028235e+38",  "1.17549435e-38", "-0",
                         "0.4837",     "1e-45",      "1e-46",          "3.5e38",         "-3.5e38",
                         "16777217",   "0.99999994", "0.000000000001", "123456789"};
  for (const char* t : texts) {
    Doc d(t);
    ASSERT_NE(d.doc, nullptr) << t;
    EXPECT_EQ(bits(json_float(d.doc, d.root())), bits(strtof(t, nullptr))) << t;
  }
  // next to the points halfway between two floats, where a double read first could round twice
  std::mt19937 rng(5);
  for (int i = 0; i < 20000; i++) {
    float f = std::ldexp(1.0f + (float)(rng() % (1 << 23)) / (1 << 23), (int)(rng() % 60) - 30);
    double half = ((double)std::nextafter(f, INFINITY) - (double)f) / 2;
    double mid = (double)f + half;  // exact: a float midpoint has 25 significant bits
    char text[40];
    snprintf(text, sizeof text, "%.*g", 8 + (int)(rng() % 10), i % 3 ? mid : mid + half * 1e-9);
    Doc m(text);
    ASSERT_NE(m.doc, nullptr) << text;
    ASSERT_EQ(bits(json_float(m.doc, m.root())), bits(strtof(text, nullptr))) << text;
  }
  for (const char* t : {"16777217", "33554434", "0.000030517578125", "1.00000005960464477539"}) {
    Doc m(t);
    EXPECT_EQ(bits(json_float(m.doc, m.root())), bits(strtof(t, nullptr))) << t;
  }
  // narrowing the double would round twice: 0.30000001 must stay the float it names
  Doc d("0.300000011920928955078125000001");
  EXPECT_EQ(json_float(d.doc, d.root()), 0.30000001f);

  // 80 characters or more: the double is narrowed
  std::string longText = "0." + std::string(70, '3') + "e-0000001";
  ASSERT_EQ(longText.size(), 81u);
  Doc l(longText);
  EXPECT_EQ(json_float(l.doc, l.root()), (float)strtod(longText.c_str(), nullptr));
  EXPECT_EQ(json_float(l.doc, Doc("\"1\"").root()), 0.0f);
  EXPECT_EQ(json_float(l.doc, nullptr), 0.0f);
}

TEST(JsonParse, StringEscapesAndSurrogates) {
  struct Case {
    const char* text;
    std::string decoded;
  } cases[] = {
      {R"("a\"b\\c\/d\b\f\n\r\t")", "a\"b\\c/d\b\f\n\r\t"},
      {R"("chorus idea 1\/2 \u00e9t\u00E9")", "chorus idea 1/2 \xC3\xA9t\xC3\xA9"},
      {R"("\u20AC\u0041")",
       "\xE2\x82\xAC"
       "A"},
      {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
      {R"("\uD83D\uDE00x")", "\xF0\x9F\x98\x80x"},
      {R"("\ud83d")", "\xEF\xBF\xBD"},
      {R"("\ude00\ud83d")", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {R"("\ud83d\u0041")",
       "\xEF\xBF\xBD"
       "A"},
      {R"("\ud83d\ud83d\ude00")", "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
      {R"("\ud83dx")", "\xEF\xBF\xBDx"},
      {R"("\udbff\udfff")", "\xF4\x8F\xBF\xBF"},
      {R"("")", ""},
      // invalid UTF-8 is the writer's to repair; the reader keeps it
      {"\"A\xFF\xC0\x80"
       "B\"",
       "A\xFF\xC0\x80"
       "B"},
      {"\"\x7F\"", "\x7F"},
  };
  for (const Case& c : cases) {
    Doc d(c.text);
    ASSERT_NE(d.doc, nullptr) << c.text << " " << d.message;
    ASSERT_TRUE(json_is(d.root(), JSON_STRING));
    EXPECT_EQ(std::string(json_string(d.root(), "?"), json_string_length(d.root())), c.decoded)
        << c.text;
    EXPECT_EQ(strlen(json_string(d.root(), "?")), c.decoded.size()) << c.text;
    EXPECT_EQ(std::string(json_string(d.root(), "?")), c.decoded);
    char* raw = json_raw_text(d.doc, d.root());
    EXPECT_STREQ(raw, c.text);
    free(raw);
  }
  // \u0000 decodes to a zero byte inside the string; the length keeps the rest
  Doc z(R"({"a\u0000b":"x\u0000y"})");
  ASSERT_NE(z.doc, nullptr);
  const JsonValue* m = json_first(z.root());
  EXPECT_EQ(std::string(json_string(m, ""), json_string_length(m)), std::string("x\0y", 3));
  size_t keyLength;
  const char* key = json_key(m, &keyLength);
  EXPECT_EQ(std::string(key, keyLength), std::string("a\0b", 3));
  EXPECT_EQ(json_get(z.root(), "a"), nullptr);  // keys compare byte for byte
  EXPECT_EQ(write_value(z.root()), "{\"a\\u0000b\":\"x\\u0000y\"}");
  EXPECT_STREQ(json_string(Doc("1").root(), "fb"), "fb");
  EXPECT_STREQ(json_string(nullptr, "fb"), "fb");
}

TEST(JsonParse, StringsDecodeInPlaceWithoutDisturbingNeighbours) {
  // Escaped and plain strings side by side: every decoded text ends where it should.
  std::string text =
      R"(["\u0041\u0042", "plain", "\ud83d\ude00\ud83d\ude00", "a\\b", {"k\n": "v"}])";
  Doc d(text);
  ASSERT_NE(d.doc, nullptr) << d.message;
  const JsonValue* r = d.root();
  EXPECT_STREQ(json_string(json_at(r, 0), ""), "AB");
  EXPECT_STREQ(json_string(json_at(r, 1), ""), "plain");
  EXPECT_STREQ(json_string(json_at(r, 2), ""), "\xF0\x9F\x98\x80\xF0\x9F\x98\x80");
  EXPECT_STREQ(json_string(json_at(r, 3), ""), "a\\b");
  const JsonValue* o = json_at(r, 4);
  EXPECT_STREQ(json_string(json_get(o, "k\n"), ""), "v");
  // the raw copy is untouched
  size_t length;
  const char* copy = json_text(d.doc, &length);
  EXPECT_EQ(std::string(copy, length), text);
}

// ---------------------------------------------------------------------------------------------
// Layout: values in text order, spans measured from the text

// A random document in loose spelling (white space, escapes, long forms of numbers), what the
// writer must make of it, and every value's expected kind, key, span and child count in text
// order, which is the order a walk of the parsed tree visits them.
struct Expected {
  JsonType type;
  bool member;
  std::string key;
  size_t offset, length;
  uint32_t count;
};

struct Generated {
  std::mt19937 rng;
  std::string text, compact;
  std::vector<Expected> values;

  explicit Generated(unsigned seed) : rng(seed) { value(0, nullptr); }

  void space() {
    static const char* const kSpace[] = {"", "", " ", "\n", "\t ", "\r\n  "};
    text += kSpace[rng() % 6];
  }
  void value(int depth, const std::string* key) {
    static const struct {
      const char* spelled;
      const char* written;
      JsonType type;
    } kScalars[] = {
        {"null", "null", JSON_NULL},
        {"true", "true", JSON_BOOL},
        {"false", "false", JSON_BOOL},
        {"0", "0", JSON_NUMBER},
        {"-0", "-0", JSON_NUMBER},
        {"12", "12", JSON_NUMBER},
        {"-3.5e-7", "-3.5e-07", JSON_NUMBER},
        {"1E+2", "100", JSON_NUMBER},
        {"0.250", "0.25", JSON_NUMBER},
        {"123456789012345678901234", "1.2345678901234569e+23", JSON_NUMBER},
        {"-9223372036854775808", "-9223372036854775808", JSON_NUMBER},
        {"\"\"", "\"\"", JSON_STRING},
        {"\"a\"", "\"a\"", JSON_STRING},
        {"\"\\u00e9\\/\"", "\"\xC3\xA9/\"", JSON_STRING},
        {"\"\\ud83d\\ude00\"", "\"\xF0\x9F\x98\x80\"", JSON_STRING},
        {"\"q\\\"\\\\\\n\"", "\"q\\\"\\\\\\n\"", JSON_STRING},
        {"\"\\u0000z\"", "\"\\u0000z\"", JSON_STRING},
    };
    // spelled, written, decoded (the last holds a zero byte)
    static const char* const kKeys[][3] = {{"\"k\"", "\"k\"", "k"},
                                           {"\"\"", "\"\"", ""},
                                           {"\"k\\u0041\"", "\"kA\"", "kA"},
                                           {"\"a\\u0000b\"", "\"a\\u0000b\"", nullptr}};
    size_t index = values.size();
    values.push_back({JSON_NULL, key != nullptr, key ? *key : "", text.size(), 0, 0});
    size_t start = text.size();
    uint32_t r = rng() % 10, count = 0;
    JsonType type;
    if (depth >= 5 || r < 6) {
      uint32_t k = rng() % (sizeof kScalars / sizeof kScalars[0]);
      text += kScalars[k].spelled;
      compact += kScalars[k].written;
      type = kScalars[k].type;
    } else if (r < 8) {
      type = JSON_ARRAY;
      text += '[';
      compact += '[';
      count = rng() % 4 == 0 ? 0 : rng() % 6;
      for (uint32_t i = 0; i < count; i++) {
        space();
        if (i) {
          text += ',';
          compact += ',';
          space();
        }
        value(depth + 1, nullptr);
      }
      space();
      text += ']';
      compact += ']';
    } else {
      type = JSON_OBJECT;
      text += '{';
      compact += '{';
      count = rng() % 4 == 0 ? 0 : rng() % 6;
      for (uint32_t i = 0; i < count; i++) {
        space();
        if (i) {
          text += ',';
          compact += ',';
          space();
        }
        uint32_t k = rng() % 4;
        text += kKeys[k][0];
        compact += kKeys[k][1];
        space();
        text += ':';
        compact += ':';
        space();
        std::string decoded = k == 3 ? std::string("a\0b", 3) : kKeys[k][2];
        value(depth + 1, &decoded);
      }
      space();
      text += '}';
      compact += '}';
    }
    values[index].type = type;
    values[index].length = text.size() - start;
    values[index].count = count;
  }
};

void walk(const JsonValue* v, std::vector<const JsonValue*>* out) {
  out->push_back(v);
  for (const JsonValue* c = json_first(v); c; c = json_next(v, c)) walk(c, out);
}

TEST(JsonLayout, RandomDocumentsKeepKindsKeysSpansAndCounts) {
  for (unsigned seed = 1; seed <= 300; seed++) {
    Generated g(seed);
    Doc d(g.text);
    ASSERT_NE(d.doc, nullptr) << g.text << " " << d.message;
    std::vector<const JsonValue*> seen;
    walk(d.root(), &seen);
    ASSERT_EQ(seen.size(), g.values.size()) << g.text;
    for (size_t i = 0; i < seen.size(); i++) {
      const JsonValue* v = seen[i];
      const Expected& e = g.values[i];
      ASSERT_EQ(json_type(v), e.type) << g.text << " value " << i;
      size_t keyLength;
      const char* key = json_key(v, &keyLength);
      ASSERT_EQ(key != nullptr, e.member) << g.text << " value " << i;
      if (key) {
        EXPECT_EQ(std::string(key, keyLength), e.key) << g.text << " value " << i;
      }
      EXPECT_EQ(json_source_offset(v), e.offset) << g.text << " value " << i;
      EXPECT_EQ(json_source_length(d.doc, v), e.length) << g.text << " value " << i;
      EXPECT_EQ(json_count(v), e.count) << g.text << " value " << i;
      // json_at agrees with the walk, and ends where the walk ends
      uint32_t k = 0;
      for (const JsonValue* c = json_first(v); c; c = json_next(v, c), k++)
        EXPECT_EQ(json_at(v, k), c) << g.text << " value " << i << " child " << k;
      EXPECT_EQ(k, e.count);
      EXPECT_EQ(json_at(v, k), nullptr);
    }
    EXPECT_EQ(write_value(d.root()), g.compact) << g.text;
  }
}

TEST(JsonLayout, KeySourceIsTheKeyAsWritten) {
  std::string text = "{ \"pla\\u0069n\" :1, \"b\":{\"deep\\n\" : [true]},\"\":null}";
  Doc d(text);
  ASSERT_NE(d.doc, nullptr) << d.message;
  const char* expect[] = {"\"pla\\u0069n\"", "\"b\"", "\"\""};
  int i = 0;
  for (const JsonValue* m = json_first(d.root()); m; m = json_next(d.root(), m), i++) {
    size_t n;
    const char* s = json_key_source(d.doc, m, &n);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(s, n), expect[i]);
  }
  size_t n = 9;
  const JsonValue* deep = json_first(json_get(d.root(), "b"));
  const char* s = json_key_source(d.doc, deep, &n);
  EXPECT_EQ(std::string(s, n), "\"deep\\n\"");
  EXPECT_EQ(json_key_source(d.doc, json_first(deep), &n), nullptr);  // an element has no key
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(json_key_source(d.doc, d.root(), &n), nullptr);
  EXPECT_TRUE(json_key_is(json_get(d.root(), "plain"), "plain", 5));
  EXPECT_FALSE(json_key_is(json_get(d.root(), "plain"), "plai", 4));
  EXPECT_FALSE(json_key_is(json_first(deep), "", 0));
}

std::string repeated(const char* item, int n, const char* open = "[", const char* close = "]") {
  std::string s = open;
  for (int i = 0; i < n; i++) {
    if (i) s += ',';
    s += item;
  }
  return s + close;
}

TEST(JsonLayout, CompactTextsRoundTripByteForByte) {
  std::string deep;
  for (int i = 0; i < 31; i++) deep += "{\"k\":[";  // the writer's 63 levels
  deep += "1";
  for (int i = 0; i < 31; i++) deep += "]}";
  std::string numbers = "[";
  for (int i = 0; i < 100000; i++)
    numbers += (i ? "," : "") + std::to_string(i * 37 % 10007) + ".5";
  numbers += "]";
  const std::string cases[] = {
      // nesting
      "[[[[]]],{\"a\":{\"b\":[1,{\"c\":[]}]}},[],{}]",
      deep,
      std::string(62, '[') + "{}" + std::string(62, ']'),
      "{\"a\":[{\"b\":[[],[[]],{}]},2],\"c\":{\"d\":{\"e\":{}}},\"f\":3}",
      // big arrays, some far denser than the reader's first guess at their size
      numbers,
      repeated("0", 200000),
      repeated("[]", 100000),
      repeated("{\"amplitude\":0.4837}", 50000),
      repeated("\"\"", 100000),
      repeated("{}", 50000, "{\"x\":[", "]}"),
      // strings: escapes, embedded zeros, multibyte text
      "[\"a\\\"b\\\\c/d\\b\\f\\n\\r\\t\",\"\\u0000\",\"x\\u0000y\\u0000\",\"\\u001f\\u0001\"]",
      "{\"\\u0000\":\"\\u0000\",\"k\\u0000\":\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"}",
      // numbers at the edges
      "[-9223372036854775808,9223372036854775807,0,-0,1,-1]",
      "[1.7976931348623157e+308,-1.7976931348623157e+308,2.2250738585072014e-308,4.94065645841247e-"
      "324]",
      "[9.22337203685478e+18,-9.22337203685478e+18,1e+21,1e-07,0.1,0.30000000000000004]",
      "[true,false,null,\"\",[],{}]",
      "0",
      "\"only\"",
      "null",
  };
  for (const std::string& text : cases) {
    Doc d(text);
    ASSERT_NE(d.doc, nullptr) << text.substr(0, 80) << " " << d.message;
    std::string out = write_value(d.root());
    EXPECT_EQ(out.size(), text.size()) << text.substr(0, 80);
    EXPECT_TRUE(out == text) << text.substr(0, 80);
    EXPECT_EQ(json_source_length(d.doc, d.root()), text.size()) << text.substr(0, 80);
  }
}

// ---------------------------------------------------------------------------------------------
// Memory: documents reuse their thread's memory

TEST(JsonMemory, TwoDocumentsAliveAtOnceAndReuseAfterFailure) {
  char msg[128];
  auto parse = [&](const std::string& t) {
    return json_parse(t.data(), t.size(), msg, sizeof msg);
  };
  auto written = [](JsonDoc* d) { return write_value(json_root(d)); };
  json_cache_release();
  const std::string a = repeated("{\"a\":\"first\"}", 3000);
  const std::string b = repeated("[\"second\",2]", 5000);
  const std::string c = "{\"c\":[\"third\",3.5]}";
  JsonDoc* da = parse(a);
  JsonDoc* db = parse(b);
  ASSERT_NE(da, nullptr);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(written(da), a);
  EXPECT_EQ(written(db), b);
  json_free(da);  // its memory is cached; db must not notice
  JsonDoc* dc = parse(c);
  ASSERT_NE(dc, nullptr);
  EXPECT_EQ(written(db), b);
  EXPECT_EQ(written(dc), c);
  json_free(db);
  json_free(dc);

  // a failure part way through leaves nothing behind for the next document
  const struct {
    std::string text;
    size_t column;  // 0: the end of the text
    const char* message;
  } failures[] = {
      {repeated("\"partly decoded \\u00e9\"", 4000, "[", ",x]"), 0, "expected a value"},
      {repeated("[1,2]", 20000, "[", ",[1,}]"), 0, "expected a value"},
      {"{\"k\":\"\\uZZZZ\"}", 7, "bad \\u escape"},
      {"", 1, "empty document"},
  };
  for (const auto& f : failures) {
    EXPECT_EQ(parse(f.text), nullptr);
    size_t column = f.column ? f.column : f.text.size() - 1;
    EXPECT_EQ(std::string(msg), "line 1 col " + std::to_string(column) + ": " + f.message);
    JsonDoc* again = parse(c);
    ASSERT_NE(again, nullptr) << msg;
    EXPECT_EQ(written(again), c);
    size_t length;
    EXPECT_EQ(std::string(json_text(again, &length)), c);
    EXPECT_EQ(length, c.size());
    json_free(again);
  }

  // released between documents, and a document freed on another thread
  json_cache_release();
  JsonDoc* d = parse(b);
  ASSERT_NE(d, nullptr);
  std::thread([d] { json_free(d); }).join();
  json_cache_release();
  JsonDoc* e = parse(a);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(written(e), a);
  json_free(e);
  json_cache_release();
  json_cache_release();
}

TEST(JsonMemory, ThreadsParseWithTheirOwnCaches) {
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; t++) {
    threads.emplace_back([&bad, t] {
      std::string text = repeated(("[" + std::to_string(t) + ",\"s\"]").c_str(), 2000 + t * 500);
      for (int i = 0; i < 50; i++) {
        JsonDoc* d = json_parse(text.data(), text.size(), nullptr, 0);
        if (!d || write_value(json_root(d)) != text) bad++;
        json_free(d);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST(JsonMemory, HugeInputsAreRefusedAndLongStringsKeepTheirLength) {
  char msg[64];
  static const char small[] = "[1]";
  // refused before a byte is read
  EXPECT_EQ(json_parse(small, (size_t)1 << 32, msg, sizeof msg), nullptr);
  EXPECT_STREQ(msg, "text of 4 GiB or more");

  // a string too long for the length field keeps its length beside its text
  const size_t n = (size_t)JSON_V_LONG_STRING + 2;
  std::string text = "{\"";
  text.append(n, 'k');
  text += "\":\"";
  text.append(n - 1, 'v');
  text += "\\u0000\"}";
  Doc d(text);
  ASSERT_NE(d.doc, nullptr) << d.message;
  const JsonValue* v = json_first(d.root());
  ASSERT_EQ(json_string_length(v), n);
  EXPECT_EQ(json_string(v, "")[n - 2], 'v');
  EXPECT_EQ(json_string(v, "")[n - 1], 0);
  EXPECT_EQ(json_string(v, "")[n], 0);
  size_t keyLength;
  const char* key = json_key(v, &keyLength);
  EXPECT_EQ(keyLength, n);
  EXPECT_EQ(key[n - 1], 'k');
  EXPECT_EQ(json_source_length(d.doc, v), n - 1 + 8);
  EXPECT_EQ(json_source_length(d.doc, d.root()), text.size());
  EXPECT_TRUE(write_value(d.root()) == text);
}

// ---------------------------------------------------------------------------------------------
// Writer

TEST(JsonWriter, NumbersAreShortestRoundTrip) {
  bool nonFinite = false;
  EXPECT_EQ(written_double(0.1), "0.1");
  EXPECT_EQ(written_float(0.1f), "0.1");
  EXPECT_EQ(written_double(NAN, &nonFinite), "0");
  EXPECT_TRUE(nonFinite);
  EXPECT_EQ(written_double(-INFINITY, &nonFinite), "0");
  EXPECT_TRUE(nonFinite);
  EXPECT_EQ(written_double(2.5, &nonFinite), "2.5");
  EXPECT_FALSE(nonFinite);
  EXPECT_EQ(written_float(INFINITY), "0");
  EXPECT_EQ(written_double(0.0), "0");
  EXPECT_EQ(written_double(-0.0), "-0");
  EXPECT_EQ(written_float(-0.0f), "-0");
  EXPECT_EQ(written_double(100000), "100000");
  EXPECT_EQ(written_double(1e15), "1e+15");
  EXPECT_EQ(written_double(0.00001), "1e-05");
  EXPECT_EQ(written_double(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(written_double(786012300.75), "786012300.75");
  EXPECT_EQ(written_double(4.9406564584124654e-324), "4.94065645841247e-324");
  EXPECT_EQ(written_double(-7.4183984695832799e-310), "-7.41839846958328e-310");
  EXPECT_EQ(written_float(1e-05f), "1e-05");
  EXPECT_EQ(written_float(0.30000001f), "0.3");
  EXPECT_EQ(written_float(3.4028235e+38f), "3.4028235e+38");
  EXPECT_EQ(written_float(1.17549435e-38f), "1.1754944e-38");
  EXPECT_EQ(written_float(1e-45f), "1.4013e-45");
  EXPECT_EQ(written_float(0.4837f), "0.4837");

  JsonWriter w;
  jw_init(&w, 0);
  jw_begin_array(&w);
  jw_int(&w, INT64_MIN);
  jw_int(&w, INT64_MAX);
  jw_int(&w, 0);
  jw_int(&w, -1);
  jw_end_array(&w);
  EXPECT_EQ(std::string(w.data), "[-9223372036854775808,9223372036854775807,0,-1]");
  jw_free(&w);
}

TEST(JsonWriter, NumbersMatchThePrintfLoopAndReadBack) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 200000; i++) {
    double d;
    uint64_t u = rng();
    if (i % 4 == 0) {
      d = (double)(rng() % 100000) / std::pow(10.0, (double)(rng() % 8));
    } else if (i % 4 == 1) {
      // up to 17 significant digits at any scale, read the way a file would be
      std::string t = std::to_string(rng() % 100000000000000000ULL) + "e" +
                      std::to_string((int)(rng() % 60) - 40);
      d = strtod(t.c_str(), nullptr);
    } else {
      memcpy(&d, &u, 8);
    }
    if (!std::isfinite(d)) continue;
    std::string s = written_double(d);
    ASSERT_EQ(s, reference_double(d)) << std::hexfloat << d;
    Doc back(s);
    ASSERT_EQ(bits(json_number(back.root(), 0)), bits(d)) << s;
  }
  for (int i = 0; i < 200000; i++) {
    float f;
    uint32_t u = (uint32_t)rng();
    if (i % 4 == 0) {
      f = (float)(rng() % 100000) / std::pow(10.0f, (float)(rng() % 8));
    } else if (i % 4 == 1) {
      std::string t =
          std::to_string(rng() % 1000000000) + "e" + std::to_string((int)(rng() % 30) - 20);
      f = strtof(t.c_str(), nullptr);
    } else {
      memcpy(&f, &u, 4);
    }
    if (!std::isfinite(f)) continue;
    std::string s = written_float(f);
    ASSERT_EQ(s, reference_float(f)) << std::hexfloat << f;
    Doc back(s);
    ASSERT_EQ(bits(json_float(back.doc, back.root())), bits(f)) << s;
  }
  // every power of two, where the gap below is half the gap above
  for (int e = -1074; e <= 1023; e++) {
    double d = std::ldexp(1.0, e);
    ASSERT_EQ(written_double(d), reference_double(d)) << e;
  }
  for (int e = -149; e <= 127; e++) {
    float f = std::ldexp(1.0f, e);
    ASSERT_EQ(written_float(f), reference_float(f)) << e;
  }
}

TEST(JsonWriter, StringsAreEscapedAndRepaired) {
  EXPECT_EQ(written_string("A\xFF"
                           "B"),
            "\"A\xEF\xBF\xBD"
            "B\"");
  EXPECT_EQ(written_string("q\"b\\s/"), "\"q\\\"b\\\\s/\"");
  EXPECT_EQ(written_string("\b\t\n\f\r"), "\"\\b\\t\\n\\f\\r\"");
  EXPECT_EQ(written_string(std::string("\x01\x1F\x0B\0", 4)), "\"\\u0001\\u001f\\u000b\\u0000\"");
  EXPECT_EQ(written_string("\x7F"), "\"\x7F\"");
  EXPECT_EQ(written_string("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"),
            "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"");
  const std::string R = "\xEF\xBF\xBD";
  EXPECT_EQ(written_string("\xC0\x80"), "\"" + R + R + "\"");                  // overlong
  EXPECT_EQ(written_string("\xED\xA0\x80"), "\"" + R + R + R + "\"");          // surrogate
  EXPECT_EQ(written_string("\xE2\x82"), "\"" + R + R + "\"");                  // cut short
  EXPECT_EQ(written_string("\xF4\x90\x80\x80"), "\"" + R + R + R + R + "\"");  // > U+10FFFF
  EXPECT_EQ(written_string("\xE2\x82"
                           "A"),
            "\"" + R + R + "A\"");

  JsonWriter w;
  jw_init(&w, 0);
  jw_begin_object(&w);
  jw_key(&w, "k\xFF\"");
  jw_string(&w, nullptr);
  jw_end_object(&w);
  EXPECT_EQ(std::string(w.data), "{\"k" + R + "\\\"\":\"\"}");
  jw_free(&w);
}

TEST(JsonWriter, SeparatorsRawTextAndDepth) {
  JsonWriter w;
  ASSERT_EQ(jw_init(&w, 1), 0);
  EXPECT_EQ(w.capacity, 64u);
  EXPECT_STREQ(w.data, "");
  jw_begin_object(&w);
  jw_key(&w, "a");
  jw_begin_array(&w);
  jw_int(&w, 1);
  jw_begin_object(&w);
  jw_end_object(&w);
  jw_begin_array(&w);
  jw_end_array(&w);
  jw_bool(&w, false);
  jw_end_array(&w);
  jw_key(&w, "b");
  jw_raw(&w, "{ \"kept\" : [1, 2] }");
  jw_key(&w, "c");
  jw_raw(&w, "");
  jw_key(&w, "d");
  jw_raw(&w, nullptr);
  jw_raw_members(&w, "\"x\" : 1,\"y\":[ ]");
  jw_raw_members(&w, "");
  jw_key(&w, "e");
  jw_bool(&w, true);
  jw_end_object(&w);
  jw_end_object(&w);  // extra ends are ignored
  EXPECT_FALSE(w.failed);
  EXPECT_EQ(std::string(w.data, w.length),
            "{\"a\":[1,{},[],false],\"b\":{ \"kept\" : [1, 2] },\"c\":null,\"d\":null,"
            "\"x\" : 1,\"y\":[ ],\"e\":true}");
  EXPECT_EQ(strlen(w.data), w.length);
  jw_free(&w);

  // kept members spliced first into an empty object, and top-level values as a member list
  jw_init(&w, 0);
  jw_begin_object(&w);
  jw_raw_members(&w, "\"x\":1");
  jw_key(&w, "y");
  jw_int(&w, 2);
  jw_end_object(&w);
  EXPECT_STREQ(w.data, "{\"x\":1,\"y\":2}");
  jw_free(&w);
  jw_init(&w, 0);
  jw_key(&w, "a");
  jw_raw(&w, "[ 1 ]");
  jw_key(&w, "b");
  jw_string(&w, "s");
  EXPECT_STREQ(w.data, "\"a\":[ 1 ],\"b\":\"s\"");
  jw_free(&w);

  // 63 levels write; the 64th fails and nothing more is written
  jw_init(&w, 0);
  for (int i = 0; i < 63; i++) jw_begin_array(&w);
  EXPECT_FALSE(w.failed);
  EXPECT_EQ(w.depth, 63);
  size_t before = w.length;
  jw_begin_object(&w);
  EXPECT_TRUE(w.failed);
  EXPECT_EQ(w.length, before);
  jw_end_array(&w);
  jw_int(&w, 5);
  jw_raw_members(&w, "\"x\":1");
  EXPECT_EQ(w.length, before);
  jw_free(&w);

  // the buffer grows across many doublings and stays terminated
  jw_init(&w, 0);
  jw_begin_array(&w);
  for (int i = 0; i < 100000; i++) jw_string(&w, "abcdefghij");
  jw_end_array(&w);
  EXPECT_FALSE(w.failed);
  EXPECT_EQ(w.length, 2u + 100000 * 13 - 1);
  EXPECT_EQ(w.data[w.length], 0);
  EXPECT_GE(w.capacity, w.length + 1);
  jw_free(&w);
  jw_free(nullptr);
  jw_int(nullptr, 1);
}

TEST(JsonWriter, WriteParseWriteIsStable) {
  const char* texts[] = {
      "[]",
      "{}",
      "[-0, 0, 1.0, 1e2, 1E-7, 0.1, 123456789012345678901234567890, -9223372036854775808]",
      R"({"a":{"b":[true,false,null,"\u00e9\ud83d\ude00\n\/"]},"":"","dup":1,"dup":2})",
      "\"A\xFF\xC0\"",
      "[1e400, -1e400]",
  };
  for (const char* t : texts) {
    Doc a(t);
    ASSERT_NE(a.doc, nullptr) << t;
    std::string one = write_value(a.root());
    Doc b(one);
    ASSERT_NE(b.doc, nullptr) << one << " " << b.message;
    std::string two = write_value(b.root());
    EXPECT_EQ(one, two) << t;
  }
  EXPECT_EQ(write_value(Doc("[-0, 1.0, 1E-7, 1e400]").root()), "[-0,1,1e-07,0]");
}

// ---------------------------------------------------------------------------------------------
// The phone edition's files

TEST(JsonFixtures, PhoneFilesParseKeepSpansAndRoundTrip) {
  REQUIRE_FIXTURES();
  for (const char* name : kFixtures) {
    std::string text = read_fixture(name);
    ASSERT_FALSE(text.empty()) << name;
    Doc d(text);
    ASSERT_NE(d.doc, nullptr) << name << ": " << d.message;
    ASSERT_TRUE(json_is(d.root(), JSON_OBJECT)) << name;
    // every member's span is exactly its value's bytes in the file
    for (const JsonValue* m = json_first(d.root()); m; m = json_next(d.root(), m)) {
      char* raw = json_raw_text(d.doc, m);
      ASSERT_NE(raw, nullptr);
      Doc again(raw);
      const char* key = json_key(m, nullptr);
      EXPECT_NE(again.doc, nullptr) << name << " " << key;
      EXPECT_EQ(write_value(again.root()), write_value(m)) << name << " " << key;
      free(raw);
    }
    std::string one = write_value(d.root());
    Doc b(one);
    ASSERT_NE(b.doc, nullptr) << name;
    EXPECT_EQ(write_value(b.root()), one) << name;
  }
}

TEST(JsonFixtures, PhoneFileDetails) {
  REQUIRE_FIXTURES();
  std::string text = read_fixture("basic-pretty.json");
  Doc d(text);
  ASSERT_NE(d.doc, nullptr) << d.message;
  EXPECT_STREQ(json_string(json_get(d.root(), "name"), ""), "chorus idea 1/2 \xC3\xA9t\xC3\xA9");
  EXPECT_STREQ(json_string(json_get(d.root(), "id"), ""), "5C0FFEE0-AB12-4CDE-9F00-1234567890AB");
  char* info = json_raw_text(d.doc, json_get(d.root(), "deviceInfo"));
  EXPECT_STREQ(info, "{\n    \"model\" : \"phone\",\n    \"os\" : \"18.2\"\n  }");
  free(info);
  char* tags = json_raw_text(d.doc, json_get(d.root(), "tags"));
  EXPECT_STREQ(tags, "[ \"verse\", \"idea\" ]");
  free(tags);
  EXPECT_EQ(json_int(json_get(d.root(), "tempoHint"), 0), 92);
  EXPECT_EQ(json_count(json_get(d.root(), "layerSnapshots")), 2u);
  EXPECT_TRUE(json_bool(json_get(d.root(), "loopActive"), false));

  Doc s(read_fixture("swift-floats.json"));
  ASSERT_NE(s.doc, nullptr) << s.message;
  const JsonValue* strokes = json_get(json_first(json_get(s.root(), "layerSnapshots")), "strokes");
  const float expect[] = {0.1f,        0.30000001f, 1e-05f, 3.4028235e+38f, 1.17549435e-38f,
                          0.33333334f, 0.99999994f, 0.0f,   -0.0f,          0.7f};
  int i = 0;
  for (const JsonValue* st = json_first(strokes); st; st = json_next(strokes, st), i++) {
    float f = json_float(s.doc, json_get(st, "amplitude"));
    EXPECT_EQ(bits(f), bits(expect[i])) << i;
    // and the written text reads back to the same float
    Doc back(written_float(f));
    EXPECT_EQ(bits(json_float(back.doc, back.root())), bits(f)) << i;
  }
  EXPECT_EQ(i, 10);
  EXPECT_EQ(written_double(json_number(json_get(s.root(), "loopStart"), 1)), "0.1");
  EXPECT_EQ(written_double(json_number(json_get(s.root(), "loopEnd"), 1)), "0.30000000000000004");
}

// ---------------------------------------------------------------------------------------------
// Robustness

TEST(JsonFuzz, TruncationsAndMutationsNeverCrash) {
  REQUIRE_FIXTURES();
  std::mt19937 rng(1234);
  const char interesting[] = "{}[]\",:\\u0123456789-+.eE \n\ttfn\x00\xFF\xC3\xED\xF0";
  int parsed = 0, failed = 0;
  char msg[128];
  auto check = [&](const std::string& t) {
    JsonDoc* d = json_parse(t.data(), t.size(), msg, sizeof msg);
    if (!d) {
      failed++;
      EXPECT_EQ(strncmp(msg, "line ", 5), 0) << msg;
      return;
    }
    parsed++;
    // a parsed document must write and read back
    std::string out = write_value(json_root(d));
    JsonDoc* again = json_parse(out.data(), out.size(), msg, sizeof msg);
    EXPECT_NE(again, nullptr) << msg;
    json_free(again);
    const JsonValue* root = json_root(d);
    for (const JsonValue* v = json_first(root); v; v = json_next(root, v))
      free(json_raw_text(d, v));
    json_free(d);
  };
  for (const char* name : kFixtures) {
    std::string text = read_fixture(name);
    for (size_t n = 0; n <= text.size(); n++) check(text.substr(0, n));
    for (int i = 0; i < 3000; i++) {
      std::string t = text;
      int edits = 1 + (int)(rng() % 4);
      for (int k = 0; k < edits; k++) {
        size_t at = rng() % t.size();
        switch (rng() % 4) {
          case 0:
            t[at] = (char)(rng() % 256);
            break;
          case 1:
            t[at] = interesting[rng() % (sizeof interesting - 1)];
            break;
          case 2:
            t.erase(at, 1 + rng() % 8);
            break;
          default:
            t.insert(at, 1, interesting[rng() % (sizeof interesting - 1)]);
        }
        if (t.empty()) t = "x";
      }
      check(t);
    }
  }
  EXPECT_GT(parsed, 100);
  EXPECT_GT(failed, 1000);
}

TEST(JsonParse, ConcurrentOutOfRangeConversions) {
  // The fallback conversion's locale is made once, by whichever thread gets there first.
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&bad] {
      for (int i = 0; i < 200; i++) {
        JsonDoc* d = json_parse("[1e400,1e-400,1e39]", 19, nullptr, 0);
        if (!d || json_number(json_at(json_root(d), 0), 0) != INFINITY ||
            json_float(d, json_at(json_root(d), 2)) != INFINITY)
          bad++;
        json_free(d);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST(JsonParse, ProcessLocaleDoesNotChangeNumbers) {
  // Needs a locale whose decimal point is a comma; build one in a scratch folder when none is
  // installed.
  const char* got = setlocale(LC_ALL, "de_DE.UTF-8");
  std::string scratch;
  if (!got) {
    const char* base = getenv("KELP_TEST_TMP");
    scratch = std::string(base ? base : "/tmp") + "/json-locale-" + std::to_string(getpid());
    std::string cmd = "mkdir -p '" + scratch + "' && localedef -i de_DE -f UTF-8 '" + scratch +
                      "/de_DE.UTF-8' >/dev/null 2>&1";
    if (system(cmd.c_str()) == 0) {
      setenv("LOCPATH", scratch.c_str(), 1);
      got = setlocale(LC_ALL, "de_DE.UTF-8");
    }
  }
  bool comma = got && strcmp(localeconv()->decimal_point, ",") == 0;
  if (comma) {
    Doc d("[0.5, 1e400, 0.25, 1e-400]");
    ASSERT_NE(d.doc, nullptr);
    EXPECT_EQ(json_number(json_at(d.root(), 0), 0), 0.5);
    EXPECT_EQ(json_number(json_at(d.root(), 1), 0), INFINITY);
    EXPECT_EQ(json_float(d.doc, json_at(d.root(), 2)), 0.25f);
    EXPECT_EQ(written_double(2.5), "2.5");
    EXPECT_EQ(written_float(0.75f), "0.75");
    EXPECT_EQ(written_double(1.0000000000000002), "1.0000000000000002");
  }
  setlocale(LC_ALL, "C");
  unsetenv("LOCPATH");
  if (!scratch.empty()) {
    std::string cmd = "rm -rf '" + scratch + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "couldn't remove " << scratch;
  }
  if (!comma) GTEST_SKIP() << "no locale with a decimal comma available";
}
