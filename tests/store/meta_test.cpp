#include "store/meta.h"

#include <gtest/gtest.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "store/files.h"
#include "store/json.h"
#include "base/log.h"
#include "store/meta_internal.h"
#include "support/tmpdir.h"
#include "support/log_capture.h"

namespace {

// Times and dates below are checked in UTC and the C locale, whatever the machine says.
struct FixedClockEnvironment : ::testing::Environment {
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    setenv("LC_ALL", "C", 1);
  }
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new FixedClockEnvironment);

struct Parsed {
  SketchMeta m{};
  MetaStatus status = META_UNREADABLE;
  std::string message;
  explicit Parsed(const std::string& text) {
    char buf[256];
    strcpy(buf, "untouched");
    status = meta_parse(text.data(), text.size(), &m, buf, sizeof buf);
    message = buf;
  }
  ~Parsed() { meta_free(&m); }
  Parsed(const Parsed&) = delete;
  Parsed& operator=(const Parsed&) = delete;
};

std::string serialise(const SketchMeta* m) {
  JsonWriter w;
  jw_init(&w, 0);
  int rc = meta_serialise(m, &w);
  std::string s = rc == 0 ? std::string(w.data, w.length) : "<failed>";
  jw_free(&w);
  return s;
}

// A minimal valid layer object with extra members spliced in.
std::string layer_json(const std::string& extra = "") {
  std::string s = R"({"startSample":0,"lengthSamples":512,"sampleRate":48000,"createdAt":5,)"
                  R"("strokes":[{"amplitude":0.5},{"amplitude":1}])";
  if (!extra.empty()) s += "," + extra;
  return s + "}";
}

std::string sketch_json(const std::string& extra) {
  std::string s = R"({"id":"5c0ffee0-ab12-4cde-9f00-1234567890ab")";
  if (!extra.empty()) s += "," + extra;
  return s + "}";
}

std::string uuid_text(const Uuid& u) {
  char t[UUID_TEXT_BYTES];
  uuid_format(&u, t);
  return t;
}

float c_float(const char* text) {
  locale_t c = newlocale(LC_ALL_MASK, "C", (locale_t)0);
  float f = strtof_l(text, nullptr, c);
  freelocale(c);
  return f;
}

bool same_bits(float a, float b) {
  return memcmp(&a, &b, sizeof a) == 0;
}

int64_t log_mark() {
  return log_console_count();
}

// Log lines written since mark that contain text.
int log_hits(int64_t mark, const char* text) {
  int hits = 0;
  char line[LOG_FULL_LINE_BYTES + 1];
  for (int64_t n = mark; n < log_console_count(); n++)
    if (log_line_full(n, line, sizeof line) && strstr(line, text)) hits++;
  return hits;
}

LayerTemplate tmpl(int64_t start, int64_t length, double rate = 48000) {
  LayerTemplate t{};
  t.startSample = start;
  t.lengthSamples = length;
  t.sampleRate = rate;
  t.createdAt = 100;
  return t;
}

Layer* layer_of(int64_t start, int64_t length, std::vector<float> strokes, bool peak = true) {
  LayerTemplate t = tmpl(start, length);
  Layer* l = layer_new(&t, (int32_t)strokes.size());
  for (size_t i = 0; i < strokes.size(); i++) l->strokes[i] = strokes[i];
  l->hasPeak = peak;
  l->peak = 1;
  return l;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

// ---------------------------------------------------------------------------------------------
// UUIDs

TEST(Uuid, ParsesEitherCaseAndFormatsLowerCase) {
  Uuid u;
  ASSERT_TRUE(uuid_parse("5C0FFEE0-AB12-4CDE-9F00-1234567890AB", &u));
  EXPECT_EQ(uuid_text(u), "5c0ffee0-ab12-4cde-9f00-1234567890ab");
  char t[UUID_TEXT_BYTES];
  EXPECT_EQ(uuid_format(&u, t), 36);
  EXPECT_EQ(strlen(t), 36u);
  // The version bits are not checked.
  EXPECT_TRUE(uuid_parse("00000000-0000-0000-0000-000000000000", &u));

  const char* bad[] = {
      "5c0ffee0-ab12-4cde-9f00-1234567890a",    // 35
      "5c0ffee0-ab12-4cde-9f00-1234567890abc",  // 37
      "5c0ffee0-ab12-4cde-9f00-1234567890ab ",  // something after
      "5c0ffee0ab12-4cde-9f00-1234567890ab-",   // hyphen moved
      "5c0ffee0-ab12-4cde-9f00-1234567890ag",   // not hex
      "{c0ffee0-ab12-4cde-9f00-1234567890ab",  "",
  };
  for (const char* b : bad) EXPECT_FALSE(uuid_parse(b, &u)) << b;
  EXPECT_FALSE(uuid_parse(nullptr, &u));
  // A decoded string may carry a zero byte: the length decides, not the terminator.
  EXPECT_FALSE(uuid_parse_n("5c0ffee0-ab12-4cde-9f00-1234567890ab\0x", 38, &u));
}

// Four threads mint ids both ways; the clock fallback must stay distinct through its counter.
TEST(Uuid, FreshIdsAreVersion4AndDistinct) {
  std::vector<std::vector<Uuid>> got(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&got, t] {
      for (int i = 0; i < 500; i++) {
        Uuid u;
        if (t % 2)
          uuid_new(&u);
        else
          uuid_from_clock(&u);
        got[t].push_back(u);
      }
    });
  for (auto& th : threads) th.join();
  std::set<std::string> seen;
  for (auto& v : got)
    for (const Uuid& u : v) {
      EXPECT_EQ(u.bytes[6] >> 4, 4);
      EXPECT_EQ(u.bytes[8] >> 6, 2);
      seen.insert(uuid_text(u));
    }
  EXPECT_EQ(seen.size(), 2000u);
}

TEST(Uuid, ClockFallbackNeverRepeatsUnderContention) {
  // Threads minting at the same moment see neighbouring counter values and clock readings.
  constexpr int kThreads = 4, kEach = 25000;
  std::vector<std::vector<std::string>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++)
    threads.emplace_back([&got, t] {
      for (int i = 0; i < kEach; i++) {
        Uuid u;
        uuid_from_clock(&u);
        got[t].push_back(uuid_text(u));
      }
    });
  for (auto& th : threads) th.join();
  std::set<std::string> seen;
  for (auto& v : got) seen.insert(v.begin(), v.end());
  EXPECT_EQ(seen.size(), (size_t)kThreads * kEach);
}

TEST(Uuid, PathDerivedIdsAreStableAndFoldAsciiCase) {
  Uuid a, b;
  uuid_from_path("", &a);
  EXPECT_EQ(uuid_text(a), "cbf29ce4-8422-4325-8422-2325cbf29ce4");
  uuid_from_path("a", &a);
  EXPECT_EQ(uuid_text(a), "af63dc4c-8601-4c8c-b89d-d4398d3f41e1");
  uuid_from_path("A", &b);
  EXPECT_TRUE(uuid_equal(&a, &b));
  uuid_from_path("/Music/Kelp/Sketch", &a);
  EXPECT_EQ(uuid_text(a), "9ed5c18e-8628-446f-be97-572c2ab3ee3a");
  uuid_from_path("/music/kelp/sketch", &b);
  EXPECT_TRUE(uuid_equal(&a, &b));
  // Only ASCII letters fold: É (C3 89) and é (C3 A9) stay different.
  uuid_from_path("/x/\xC3\x89", &a);
  uuid_from_path("/x/\xC3\xA9", &b);
  EXPECT_FALSE(uuid_equal(&a, &b));
}

TEST(Uuid, HashPicksThePaletteEntry) {
  Uuid u;
  uuid_parse("5c0ffee0-ab12-4cde-9f00-1234567890ab", &u);
  EXPECT_EQ(uuid_hash(&u), -8662693934361321714LL);  // wraps negative
  EXPECT_EQ(meta_palette_index(&u), 2);
  uuid_parse("a3bb189e-8bf9-4888-9912-ace4e6543002", &u);
  EXPECT_EQ(meta_palette_index(&u), 3);
  Uuid ff;
  memset(ff.bytes, 0xFF, 16);
  EXPECT_EQ(uuid_hash(&ff), 6175760664974581504LL);
  EXPECT_EQ(meta_palette_index(&ff), 0);

  SketchMeta m;
  meta_new(&m, 0);
  uuid_parse("5c0ffee0-ab12-4cde-9f00-1234567890ab", &m.uuid);
  MetaColour c = meta_colour(&m);
  EXPECT_FLOAT_EQ(c.r, 0.11f);
  EXPECT_FLOAT_EQ(c.g, 1.0f);
  EXPECT_FLOAT_EQ(c.b, 0.0f);
  m.hasPickedColor = true;
  m.pickedColor = {0.25, 0.5, 0.75};
  c = meta_colour(&m);
  EXPECT_FLOAT_EQ(c.r, 0.25f);
  EXPECT_FLOAT_EQ(c.b, 0.75f);
  meta_free(&m);
}

// ---------------------------------------------------------------------------------------------
// Model

TEST(MetaModel, NewSketchDefaults) {
  SketchMeta m;
  for (double rate : {0.0, -5.0, (double)NAN}) {
    meta_new(&m, rate);
    EXPECT_EQ(m.sampleRate, 48000.0);
    meta_free(&m);
  }
  meta_new(&m, 44100);
  EXPECT_EQ(m.sampleRate, 44100.0);
  EXPECT_EQ(m.channels, 2);
  EXPECT_STREQ(m.space, "dry");
  EXPECT_STREQ(m.vibe, "kelp");
  EXPECT_STREQ(m.name, "");
  EXPECT_EQ(m.id, uuid_text(m.uuid));
  EXPECT_NEAR(m.createdAt, clock_now(), 5.0);
  EXPECT_TRUE(meta_is_empty(&m));
  m.lengthSamples = 88200;
  EXPECT_DOUBLE_EQ(meta_duration(&m), 2.0);
  m.sampleRate = 0;  // a broken rate never divides by zero
  EXPECT_DOUBLE_EQ(meta_duration(&m), 88200.0);
  meta_free(&m);
  EXPECT_EQ(m.layers, nullptr);
}

TEST(MetaModel, NullArgumentsAreHarmless) {
  meta_free(nullptr);
  meta_clear_audio(nullptr);
  EXPECT_EQ(meta_clone(nullptr), nullptr);
  char buf[64];
  EXPECT_EQ(meta_title(nullptr, buf, sizeof buf), 9);
  EXPECT_STREQ(buf, "Recording");
  EXPECT_EQ(meta_parse("{}", 2, nullptr, buf, sizeof buf), META_UNREADABLE);
  // A layer handed to a missing sketch is still released, never leaked.
  Layer* l = layer_of(0, 10, {1});
  EXPECT_EQ(meta_add_layer(nullptr, layer_retain(l)), -1);
  EXPECT_EQ(l->refs.load(), 1);
  layer_release(l);
}

TEST(MetaModel, LayersAreSharedByReference) {
  SketchMeta m;
  meta_new(&m, 0);
  std::vector<Layer*> made;
  for (int i = 0; i < 20; i++) {
    Layer* l = layer_of(i * 100, 100, {0.5f});
    made.push_back(l);
    ASSERT_EQ(meta_add_layer(&m, layer_retain(l)), 0);
    if (i == 0) {
      EXPECT_EQ(m.layerCapacity, 8);
    }
    if (i == 8) {
      EXPECT_EQ(m.layerCapacity, 16);
    }
  }
  EXPECT_EQ(m.layerCapacity, 32);
  m.extras = strdup(R"("x":1)");
  m.legacyLayers = strdup("[1]");
  m.hasLegacyLayers = true;
  m.waveformSnapshots = strdup("[[1]]");
  m.waveform = (float*)malloc(2 * sizeof(float));
  m.waveform[0] = 0.25f;
  m.waveform[1] = 0.5f;
  m.waveformCount = 2;

  SketchMeta* c = meta_clone(&m);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->layerCount, 20);
  EXPECT_EQ(c->layerCapacity, 20);  // exactly count entries
  for (int i = 0; i < 20; i++) {
    EXPECT_EQ(c->layers[i], made[i]);
    EXPECT_EQ(made[i]->refs.load(), 3);  // ours, the original's, the clone's
  }
  EXPECT_NE(c->extras, m.extras);
  EXPECT_EQ(serialise(c), serialise(&m));

  // Replacing in the clone leaves the original alone.
  Layer* fresh = layer_of(5, 5, {1});
  EXPECT_EQ(meta_replace_layer(c, 3, fresh), 0);
  EXPECT_EQ(made[3]->refs.load(), 2);
  EXPECT_EQ(m.layers[3], made[3]);
  // Out of range releases the newcomer.
  Layer* stray = layer_of(0, 1, {});
  layer_retain(stray);
  EXPECT_EQ(meta_replace_layer(c, 20, stray), -1);
  EXPECT_EQ(stray->refs.load(), 1);
  layer_release(stray);

  meta_clear_audio(c);
  EXPECT_EQ(c->layerCount, 0);
  EXPECT_EQ(c->waveform, nullptr);
  EXPECT_EQ(c->waveformSnapshots, nullptr);
  EXPECT_STREQ(c->legacyLayers, "[1]");
  EXPECT_STREQ(c->extras, R"("x":1)");
  EXPECT_EQ(made[0]->refs.load(), 2);
  meta_destroy(c);
  meta_free(&m);
  for (Layer* l : made) {
    EXPECT_EQ(l->refs.load(), 1);
    layer_release(l);
  }
}

TEST(MetaModel, CloneUnderAllocationFailureTakesNothing) {
  Parsed p(sketch_json(R"("x":[1],"layers":[2],"waveformSnapshots":[[3]],"waveform":[0.5],)"
                       R"("layerSnapshots":[)" +
                       layer_json() + "," + layer_json() + "]"));
  ASSERT_EQ(p.status, META_OK) << p.message;
  std::string want = serialise(&p.m);
  int failures = 0;
  for (int64_t after = 0; after < 50; after++) {
    meta_debug_fail_allocations(after);
    SketchMeta* c = meta_clone(&p.m);
    meta_debug_fail_allocations(-1);
    for (int i = 0; i < p.m.layerCount; i++) EXPECT_EQ(p.m.layers[i]->refs.load(), c ? 2 : 1);
    if (!c) {
      failures++;
      continue;
    }
    EXPECT_EQ(serialise(c), want);
    meta_destroy(c);
    break;
  }
  EXPECT_GE(failures, 5);  // struct, layers, waveform and three texts each failed once
}

TEST(MetaModel, AddLayerOutOfMemoryLosesOnlyThatTake) {
  SketchMeta m;
  meta_new(&m, 0);
  Layer* l = layer_of(0, 10, {1});
  layer_retain(l);
  int64_t mark = log_mark();
  meta_debug_fail_allocations(0);
  EXPECT_EQ(meta_add_layer(&m, l), -1);
  meta_debug_fail_allocations(-1);
  EXPECT_EQ(l->refs.load(), 1);
  EXPECT_EQ(m.layerCount, 0);
  EXPECT_EQ(log_hits(mark, "kelp_model: out of memory adding layer 0 - the take's drawing is lost"),
            1);
  layer_release(l);
  meta_free(&m);
}

TEST(MetaModel, LayerFromTakeNormalisesByThePeak) {
  LayerTemplate t = tmpl(10, 1000);
  t.hasExplicitY = true;
  t.explicitY = 0.3;
  t.bornAt = 7;
  std::vector<float> levels = {0.5f, NAN, -1.0f, 0.25f, INFINITY, 0.0f};
  Layer* l = layer_from_take(&t, levels.data(), (int32_t)levels.size());
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(l->refs.load(), 1);
  EXPECT_TRUE(l->hasPeak);
  EXPECT_EQ(l->peak, 0.5f);
  std::vector<float> want = {1, 0, 0, 0.5f, 0, 0};
  ASSERT_EQ(l->strokeCount, 6);
  for (int i = 0; i < 6; i++) EXPECT_EQ(l->strokes[i], want[i]) << i;
  EXPECT_EQ(l->startSample, 10);
  EXPECT_EQ(l->bornAt, 7);
  EXPECT_TRUE(l->hasExplicitY);

  // Silence: a present peak of 0 and all-zero strokes.
  std::vector<float> quiet = {0, 0, -0.5f};
  Layer* s = layer_from_take(&t, quiet.data(), 3);
  EXPECT_TRUE(s->hasPeak);
  EXPECT_EQ(s->peak, 0.0f);
  EXPECT_EQ(s->strokes[2], 0.0f);

  // layer_with_strokes renormalises on a copy; without levels the peak goes.
  std::vector<float> louder = {2, 1};
  Layer* w = layer_with_strokes(l, louder.data(), 2);
  EXPECT_EQ(w->peak, 2.0f);
  EXPECT_EQ(w->strokes[1], 0.5f);
  EXPECT_EQ(w->startSample, 10);
  EXPECT_EQ(l->strokeCount, 6);  // the original is untouched
  Layer* none = layer_with_strokes(l, nullptr, 0);
  EXPECT_FALSE(none->hasPeak);
  EXPECT_EQ(none->strokeCount, 0);
  for (Layer* x : {l, s, w, none}) layer_release(x);
}

TEST(MetaModel, LayerCopyKeepsStrokeTextOnlyForTheSameStrokes) {
  Parsed p(sketch_json(R"("layerSnapshots":[{"startSample":0,"lengthSamples":10,)"
                       R"("sampleRate":48000,"createdAt":1,"peak":0.5,"mood":"x",)"
                       R"("strokes":[{"amplitude":0.5,"t":0},{"amplitude":1,"t":1}]}])"));
  ASSERT_EQ(p.status, META_OK) << p.message;
  const Layer* src = p.m.layers[0];
  ASSERT_NE(src->strokesText, nullptr);
  Layer* same = layer_copy(src, 2);
  EXPECT_STREQ(same->strokesText, src->strokesText);
  EXPECT_STREQ(same->extras, R"("mood":"x")");
  Layer* longer = layer_copy(src, 4);
  EXPECT_EQ(longer->strokesText, nullptr);
  EXPECT_EQ(longer->strokes[1], 1.0f);
  EXPECT_EQ(longer->strokes[3], 0.0f);
  Layer* rebuilt = layer_with_strokes(src, src->strokes, 2);
  EXPECT_EQ(rebuilt->strokesText, nullptr);
  for (Layer* x : {same, longer, rebuilt}) layer_release(x);
}

TEST(MetaModel, SpectralAttachesOnceAcrossThreads) {
  for (int round = 0; round < 20; round++) {
    Layer* l = layer_of(0, 10, {1});
    std::atomic<int> wins{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
      threads.emplace_back([l, t, &wins] {
        std::vector<float> v(LAYER_SPECTRAL_VALUES, (float)t);
        if (layer_attach_spectral(l, v.data())) wins++;
      });
    for (auto& th : threads) th.join();
    EXPECT_EQ(wins.load(), 1);
    const float* s = layer_spectral(l);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s[0], s[LAYER_SPECTRAL_VALUES - 1]);  // one whole record, not a mix
    layer_release(l);
  }
}

TEST(MetaModel, UpgradeRenormalisesOnlyLegacyLayers) {
  SketchMeta m;
  meta_new(&m, 0);
  m.lengthSamples = 100;
  meta_add_layer(&m, layer_of(0, 10, {0.2f, 0.4f, -0.1f}, false));  // legacy: upgraded
  meta_add_layer(&m, layer_of(0, 10, {0.2f, 0.4f}, true));          // has a peak
  meta_add_layer(&m, layer_of(0, 10, {0.9995f, 0.5f}, false));      // already full scale
  meta_add_layer(&m, layer_of(0, 10, {0, 0}, false));               // silent
  meta_add_layer(&m, layer_of(0, 10, {}, false));                   // no strokes
  Layer* before = m.layers[0];
  layer_retain(before);
  EXPECT_EQ(meta_upgrade_strokes(&m), 1);
  EXPECT_NE(m.layers[0], before);
  EXPECT_EQ(before->refs.load(), 1);  // the old one was released by the sketch
  EXPECT_FLOAT_EQ(m.layers[0]->strokes[0], 0.5f);
  EXPECT_FLOAT_EQ(m.layers[0]->strokes[1], 1.0f);
  EXPECT_EQ(m.layers[0]->strokes[2], 0.0f);
  EXPECT_FALSE(m.layers[0]->hasPeak);
  EXPECT_FLOAT_EQ(m.layers[1]->strokes[1], 0.4f);
  EXPECT_EQ(meta_upgrade_strokes(&m), 0);  // idempotent
  layer_release(before);
  meta_free(&m);
}

TEST(MetaModel, RescaleRoundsHalfAwayFromZero) {
  Parsed p(sketch_json(R"("sampleRate":44100,"lengthSamples":88200,"layerSnapshots":[)"
                       R"({"startSample":44100,"lengthSamples":22050,"sampleRate":44100,)"
                       R"("createdAt":1,"strokes":[{"amplitude":1,"k":1}],"z":0},)"
                       R"({"startSample":3,"lengthSamples":5,"sampleRate":44100,"createdAt":1,)"
                       R"("strokes":[]}])"));
  ASSERT_EQ(p.status, META_OK) << p.message;
  EXPECT_EQ(meta_rescale(&p.m, 48000, 96000), 0);
  EXPECT_EQ(p.m.sampleRate, 48000);
  EXPECT_EQ(p.m.lengthSamples, 96000);
  EXPECT_EQ(p.m.layers[0]->startSample, 48000);
  EXPECT_EQ(p.m.layers[0]->lengthSamples, 24000);
  EXPECT_EQ(p.m.layers[0]->sampleRate, 48000);
  EXPECT_NE(p.m.layers[0]->strokesText, nullptr);  // strokes, their text and extras travel
  EXPECT_STREQ(p.m.layers[0]->extras, R"("z":0)");

  EXPECT_EQ(meta_rescale(&p.m, 24000, 48000), 0);
  EXPECT_EQ(p.m.layers[1]->startSample, 2);    // 3 * 0.5 = 1.5 -> 2
  EXPECT_EQ(p.m.layers[1]->lengthSamples, 3);  // 2.5 -> 3

  meta_rescale(&p.m, 0, 5);  // no rate: nothing at all
  EXPECT_EQ(p.m.lengthSamples, 48000);
  p.m.sampleRate = 0;  // unknown old rate: positions stay
  meta_rescale(&p.m, 44100, 7);
  EXPECT_EQ(p.m.layers[1]->startSample, 2);
  EXPECT_EQ(p.m.sampleRate, 44100);
  EXPECT_EQ(p.m.lengthSamples, 7);
}

TEST(MetaModel, SummaryWaveformFollowsTheLayers) {
  SketchMeta m;
  meta_new(&m, 0);
  m.lengthSamples = 9600;
  meta_add_layer(&m, layer_of(0, 9600, {1, 0}));
  EXPECT_TRUE(meta_refresh_waveform(&m));
  ASSERT_EQ(m.waveformCount, 96);
  for (int i = 0; i < 96; i++) EXPECT_EQ(m.waveform[i], i < 48 ? 1.0f : 0.0f) << i;

  // A quiet take in the second half adds to, never lowers, a column.
  meta_add_layer(&m, layer_of(4800, 4800, {0.25f}));
  meta_refresh_waveform(&m);
  EXPECT_EQ(m.waveform[10], 1.0f);
  EXPECT_EQ(m.waveform[50], 0.25f);
  EXPECT_EQ(m.waveform[95], 0.25f);

  // The writer uses the same values.
  Parsed back(serialise(&m));
  ASSERT_EQ(back.m.waveformCount, 96);
  EXPECT_EQ(memcmp(back.m.waveform, m.waveform, 96 * sizeof(float)), 0);

  m.lengthSamples = 0;
  EXPECT_FALSE(meta_refresh_waveform(&m));
  EXPECT_EQ(m.waveform, nullptr);
  meta_free(&m);
}

// ---------------------------------------------------------------------------------------------
// Reading

TEST(MetaParse, TextThatIsNotAnObject) {
  Parsed empty("");
  EXPECT_EQ(empty.status, META_UNREADABLE);
  EXPECT_EQ(empty.message, "not JSON (line 1 col 1: empty document)");
  Parsed blank("  \n   ");
  EXPECT_EQ(blank.message, "not JSON (line 2 col 4: empty document)");
  Parsed list("[1,2]");
  EXPECT_EQ(list.status, META_UNREADABLE);
  EXPECT_EQ(list.message, "not a JSON object");
  Parsed cut(R"({"id":)");
  EXPECT_EQ(cut.status, META_UNREADABLE);
  EXPECT_EQ(cut.message.rfind("not JSON (line 1 col 7: ", 0), 0u) << cut.message;
  // Still a usable, freeable model.
  EXPECT_EQ(strlen(cut.m.id), 36u);
  EXPECT_STREQ(cut.m.vibe, "kelp");
}

TEST(MetaParse, DefaultsForAnEmptyObject) {
  Parsed p("{}");
  EXPECT_EQ(p.status, META_OK);
  EXPECT_EQ(p.message, "");
  EXPECT_EQ(p.m.sampleRate, 44100);
  EXPECT_EQ(p.m.channels, 1);
  EXPECT_STREQ(p.m.space, "dry");
  EXPECT_STREQ(p.m.vibe, "kelp");
  EXPECT_EQ(p.m.layerCount, 0);
  EXPECT_NEAR(p.m.createdAt, clock_now(), 5);
  EXPECT_EQ(strlen(p.m.id), 36u);
}

TEST(MetaParse, Ids) {
  Parsed null(R"({"id":null})");
  EXPECT_EQ(null.status, META_OK);
  EXPECT_EQ(null.message, "");
  Parsed upper(R"({"id":"5C0FFEE0-AB12-4CDE-9F00-1234567890AB"})");
  EXPECT_EQ(upper.status, META_OK);
  EXPECT_STREQ(upper.m.id, "5c0ffee0-ab12-4cde-9f00-1234567890ab");
  EXPECT_EQ(serialise(&upper.m).rfind(R"({"id":"5c0ffee0-ab12-4cde-9f00-1234567890ab",)", 0), 0u);
  for (const char* bad : {R"({"id":"nope"})", R"({"id":7})",
                          R"({"id":"5c0ffee0-ab12-4cde-9f00-1234567890ab\u0000"})"}) {
    Parsed p(bad);
    EXPECT_EQ(p.status, META_REPAIRED) << bad;
    EXPECT_EQ(p.message, "id is not a UUID - given a new one") << bad;
    EXPECT_NE(std::string(p.m.id), "5c0ffee0-ab12-4cde-9f00-1234567890ab");
  }
}

TEST(MetaParse, NamesAndVibesAreCutAtACharacterBoundary) {
  std::string longName;
  for (int i = 0; i < 100; i++) longName += "\xE2\x82\xAC";  // 300 bytes of euro signs
  Parsed p(R"({"name":")" + longName + R"(","vibe":"abcdefghijklmnopqrstu\u00e9\u00e9"})");
  EXPECT_EQ(p.status, META_REPAIRED);
  EXPECT_EQ(p.message, "name longer than 255 bytes - shortened");
  EXPECT_EQ(strlen(p.m.name), 255u);
  EXPECT_EQ(std::string(p.m.name), longName.substr(0, 255));
  EXPECT_STREQ(p.m.vibe, "abcdefghijklmnopqrstu\xC3\xA9");  // 23 bytes

  Parsed exact(R"({"name":")" + std::string(255, 'n') + R"(","vibe":")" + std::string(23, 'v') +
               R"("})");
  EXPECT_EQ(exact.status, META_OK) << exact.message;
  EXPECT_EQ(strlen(exact.m.name), 255u);

  Parsed vibe(R"({"vibe":")" + std::string(24, 'v') + R"("})");
  EXPECT_EQ(vibe.message, "vibe longer than 23 bytes - shortened");
  EXPECT_EQ(strlen(vibe.m.vibe), 23u);

  // Invalid bytes in a name read as U+FFFD (and count toward the limit as three bytes).
  Parsed bad(
      "{\"name\":\"a\xFF"
      "b\"}");
  EXPECT_STREQ(bad.m.name,
               "a\xEF\xBF\xBD"
               "b");
  EXPECT_EQ(bad.status, META_REPAIRED);
  EXPECT_EQ(bad.message, "invalid UTF-8 in name - replaced");

  Parsed emptyVibe(R"({"vibe":""})");
  EXPECT_EQ(emptyVibe.status, META_OK);
  EXPECT_NE(serialise(&emptyVibe.m).find(R"("vibe":"kelp")"), std::string::npos);
}

// A zero character would end a C string early and lose the rest: it reads as U+FFFD instead, and
// that is a repair (so a scan never writes the changed text back).
TEST(MetaParse, ZeroCharactersInTextsAreRepairsThatKeepTheRest) {
  struct Case {
    std::string json;
    const char* name;
    const char* vibe;
    const char* message;
  } cases[] = {
      {R"({"name":"ab\u0000cd"})", "ab\uFFFDcd", "kelp", "name holds a zero character - replaced"},
      {R"({"name":"\u0000"})", "\uFFFD", "kelp", "name holds a zero character - replaced"},
      {R"({"vibe":"k\u0000\u0000p"})", "", "k\uFFFD\uFFFDp",
       "vibe holds a zero character - replaced"},
      // Cut as well: the zero is still what is reported.
      {R"({"vibe":"\u0000)" + std::string(30, 'v') + R"("})", "", nullptr,
       "vibe holds a zero character - replaced"},
  };
  for (const Case& c : cases) {
    Parsed p(c.json);
    EXPECT_EQ(p.status, META_REPAIRED) << c.json;
    EXPECT_EQ(p.message, c.message) << c.json;
    EXPECT_STREQ(p.m.name, c.name) << c.json;
    if (c.vibe) {
      EXPECT_STREQ(p.m.vibe, c.vibe) << c.json;
    }
    EXPECT_LE(strlen(p.m.vibe), (size_t)META_VIBE_MAX);
  }
}

// Every repair names itself; the value falls back as the table says.
TEST(MetaParse, EveryRepairHasItsMessage) {
  struct Case {
    std::string members;
    const char* message;
  } cases[] = {
      {R"("name":5)", "name is not a string"},
      {R"("createdAt":"yesterday")", "createdAt is not a date"},
      {R"("createdAt":1e999)", "createdAt is not a date"},
      {R"("sampleRate":"fast")", "sampleRate is not a number"},
      {R"("lengthSamples":10.5)", "lengthSamples is not a frame count"},
      {R"("lengthSamples":-3)", "lengthSamples is not a frame count"},
      {R"("lengthSamples":1e30)", "lengthSamples is not a frame count"},
      {R"("channels":2.5)", "channels is not an integer"},
      {R"("channels":2147483648)", "channels is not an integer"},
      {R"("channels":"2")", "channels is not an integer"},
      {R"("space":"cathedral")", R"(space "cathedral" is unknown - dry)"},
      {R"("space":"an extremely long space word")", R"(space "an extremely lon" is unknown - dry)"},
      {R"("space":3)", "space is not a string - dry"},
      {R"("loopStart":"0")", "loopStart is not a number"},
      {R"("loopEnd":[])", "loopEnd is not a number"},
      {R"("loopActive":1)", "loopActive is not a bool"},
      {R"("pickedColor":{"r":1,"g":1})", "pickedColor is not {r,g,b}"},
      {R"("pickedColor":[1,1,1])", "pickedColor is not {r,g,b}"},
      {R"("vibe":false)", "vibe is not a string - kelp"},
      {R"("viewZoom":"2")", "viewZoom is not a number"},
      {R"("viewPanY":{})", "viewPanY is not a number"},
      {R"("viewZoomY":true)", "viewZoomY is not a number"},
      {R"("viewPanX":"x")", "viewPanX is not a number"},
      {R"("layerSnapshots":{})", "layerSnapshots is not a list - no layers"},
      {R"("waveformSnapshots":[1,2])", "waveformSnapshots is not [[Float]] - dropped"},
      {R"("waveformSnapshots":[[1e39]])", "waveformSnapshots is not [[Float]] - dropped"},
      {R"("waveformSnapshots":"x")", "waveformSnapshots is not [[Float]] - dropped"},
      {R"("layers":{})", "layers is not a list - dropped"},
      {R"("waveform":[0.5,"x"])", "waveform is not a list of Floats - dropped"},
      {R"("waveform":7)", "waveform is not a list - dropped"},
      {R"("layerSnapshots":[3])", "layer 0 is not an object - skipped"},
      {R"("layerSnapshots":[{"lengthSamples":1,"sampleRate":1,"createdAt":1,"strokes":[]}])",
       "layer 0: startSample missing or not an integer"},
      {R"("layerSnapshots":[{"startSample":1.5,"lengthSamples":1,"sampleRate":1,"createdAt":1,)"
       R"("strokes":[]}])",
       "layer 0: startSample missing or not an integer"},
      {R"("layerSnapshots":[{"startSample":1,"lengthSamples":-1,"sampleRate":1,"createdAt":1,)"
       R"("strokes":[]}])",
       "layer 0: lengthSamples missing or not an integer"},
      {R"("layerSnapshots":[{"startSample":1,"lengthSamples":1,"createdAt":1,"strokes":[]}])",
       "layer 0: sampleRate missing"},
      {R"("layerSnapshots":[{"startSample":1,"lengthSamples":1,"sampleRate":1,"strokes":[]}])",
       "layer 0: createdAt missing"},
      {R"("layerSnapshots":[{"startSample":1,"lengthSamples":1,"sampleRate":1,"createdAt":1}])",
       "layer 0: strokes missing"},
      {R"("layerSnapshots":[)" + layer_json() + "," +
           R"({"startSample":1,"lengthSamples":1,"sampleRate":1,"createdAt":1,)"
           R"("strokes":[{"amplitude":1},{"a":1},5,{"amplitude":"1"}]}])",
       "layer 1: a stroke has no usable amplitude - written back as 0"},
      {R"("layerSnapshots":[)" + layer_json(R"("explicitY":"top")") + "]",
       "layer 0: explicitY is not a number - dropped"},
      {R"("layerSnapshots":[)" + layer_json(R"("explicitColor":{"r":1,"g":1,"b":"1"})") + "]",
       "layer 0: explicitColor is not {r,g,b} - dropped"},
      {R"("layerSnapshots":[)" + layer_json(R"("peak":1e39)") + "]",
       "layer 0: peak is not a Float - dropped"},
      {R"("layerSnapshots":[)" + layer_json(R"("spectral":[1,null])") + "]",
       "layer 0: spectral is not a list of Floats - dropped"},
      {R"("layerSnapshots":[)" + layer_json(R"("spectral":7)") + "]",
       "layer 0: spectral is not a list of Floats - dropped"},
      {"\"tag\":\"a\xC0\xAF"
       "b\"",
       "invalid UTF-8 in a kept value - replaced"},
  };
  for (const Case& c : cases) {
    Parsed p(sketch_json(c.members));
    EXPECT_EQ(p.status, META_REPAIRED) << c.members;
    EXPECT_EQ(p.message, c.message) << c.members;
    // Whatever was repaired, the result writes and reads back clean.
    std::string out = serialise(&p.m);
    Parsed again(out);
    EXPECT_EQ(again.status, META_OK) << out << "\n" << again.message;
    EXPECT_EQ(serialise(&again.m), out);
  }
}

TEST(MetaParse, RepairedValuesFallBack) {
  Parsed a(sketch_json(R"("lengthSamples":10.5,"space":"cathedral","loopActive":"yes",)"
                       R"("pickedColor":{"r":1},"viewZoom":"2","vibe":1)"));
  EXPECT_EQ(a.message, "lengthSamples is not a frame count");  // the first in reading order
  EXPECT_EQ(a.m.lengthSamples, 10);
  EXPECT_STREQ(a.m.space, "dry");
  EXPECT_FALSE(a.m.loopActive);
  EXPECT_FALSE(a.m.hasPickedColor);
  EXPECT_FALSE(a.m.hasViewZoom);
  EXPECT_STREQ(a.m.vibe, "kelp");
  std::string out = serialise(&a.m);
  EXPECT_NE(out.find(R"("space":"dry")"), std::string::npos);
  EXPECT_EQ(out.find("viewZoom"), std::string::npos);
  EXPECT_EQ(out.find("pickedColor"), std::string::npos);

  Parsed b(R"({"lengthSamples":-3,"channels":-7,"sampleRate":-1})");
  EXPECT_EQ(b.m.lengthSamples, 0);
  EXPECT_EQ(b.m.channels, -7);      // any integer is taken as written
  EXPECT_EQ(b.m.sampleRate, -1.0);  // no range check

  Parsed c(R"({"lengthSamples":1e3,"channels":2.0})");
  EXPECT_EQ(c.status, META_OK);  // integral values in any notation
  EXPECT_EQ(c.m.lengthSamples, 1000);
  EXPECT_EQ(c.m.channels, 2);

  // The id comes before the name in reading order, whatever the file's order.
  Parsed d(R"({"name":1,"id":"x"})");
  EXPECT_EQ(d.message, "id is not a UUID - given a new one");

  // A small message buffer gets a cut message, never a split character.
  char small[12];
  SketchMeta m;
  const char* euros = "{\"space\":\"\xE2\x82\xAC\xE2\x82\xAC\"}";
  EXPECT_EQ(meta_parse(euros, strlen(euros), &m, small, sizeof small), META_REPAIRED);
  EXPECT_STREQ(small, "space \"\xE2\x82\xAC");
  meta_free(&m);
}

TEST(MetaParse, LayersReadWithTheirIndex) {
  Parsed p(sketch_json(R"("createdAt":77,"sampleRate":32000,"layerSnapshots":[5,)"
                       R"({"startSample":2,"lengthSamples":3,"strokes":[]},)" +
                       layer_json() + "]"));
  EXPECT_EQ(p.message, "layer 0 is not an object - skipped");
  ASSERT_EQ(p.m.layerCount, 2);
  const Layer* l = p.m.layers[0];
  EXPECT_EQ(l->sampleRate, 32000);  // the sketch's
  EXPECT_EQ(l->createdAt, 77);
  EXPECT_EQ(l->bornAt, 0);
  EXPECT_EQ(l->refs.load(), 1);
  EXPECT_EQ(p.m.layers[1]->strokeCount, 2);
  EXPECT_FALSE(p.m.layers[1]->hasPeak);
}

TEST(MetaParse, DuplicateKeysReadTheFirst) {
  Parsed p(R"({"name":"one","name":"two","x":1,"x":2,"y":3,)"
           R"("layerSnapshots":[{"startSample":1,"startSample":2,"lengthSamples":1,)"
           R"("sampleRate":1,"createdAt":1,"strokes":[],"k":1,"k":2,"spectral":[1],)"
           R"("spectral":[2]}]})");
  EXPECT_EQ(p.status, META_OK) << p.message;
  EXPECT_STREQ(p.m.name, "one");
  EXPECT_STREQ(p.m.extras, R"("x":1,"y":3)");
  EXPECT_EQ(p.m.layers[0]->startSample, 1);
  EXPECT_STREQ(p.m.layers[0]->extras, R"("k":1,"spectral":[1])");
}

TEST(MetaParse, FloatsReadBitExactFromTheirText) {
  const char* texts[] = {
      "0.30000001", "1e-05", "3.4028235e+38", "1.17549435e-38",    "1.4e-45",
      "-0",         "0.1",   "16777217",      "1.0000000596046448"};  // double rounding would
                                                                      // give 1.0 here
  std::string strokes, spectral, waveform;
  for (const char* t : texts) {
    strokes += std::string(strokes.empty() ? "" : ",") + R"({"amplitude":)" + t + "}";
    waveform += std::string(waveform.empty() ? "" : ",") + t;
  }
  Parsed p(sketch_json(R"("lengthSamples":0,"waveform":[)" + waveform +
                       R"(],"layerSnapshots":[{"startSample":0,"lengthSamples":9,)"
                       R"("sampleRate":1,"createdAt":1,"peak":1.0000000596046448,"strokes":[)" +
                       strokes + "]}]"));
  ASSERT_EQ(p.status, META_OK) << p.message;
  const Layer* l = p.m.layers[0];
  ASSERT_EQ(l->strokeCount, 9);
  ASSERT_EQ(p.m.waveformCount, 9);
  for (int i = 0; i < 9; i++) {
    EXPECT_TRUE(same_bits(l->strokes[i], c_float(texts[i]))) << texts[i];
    EXPECT_TRUE(same_bits(p.m.waveform[i], c_float(texts[i]))) << texts[i];
  }
  EXPECT_EQ(l->strokes[8], 1.00000012f);
  EXPECT_EQ(l->peak, 1.00000012f);
  // Written back, each reads as the same float again.
  Parsed back(serialise(&p.m));
  for (int i = 0; i < 9; i++)
    EXPECT_TRUE(same_bits(back.m.layers[0]->strokes[i], l->strokes[i])) << texts[i];
}

TEST(MetaParse, KeptMembersTravelVerbatim) {
  std::string text =
      "{\"zeta\" : [ 1, 2 ],\"id\":\"5c0ffee0-ab12-4cde-9f00-1234567890ab\","
      "\"a\\/b\":{\"deep\" : {\"x\":null}},\"layers\":[],\"waveformSnapshots\":[[0.5, 1]],"
      "\"layerSnapshots\":[{\"startSample\":0,\"lengthSamples\":1,\"sampleRate\":1,"
      "\"createdAt\":1,\"strokes\":[],\"note\" : \"caf\\u00e9\",\"spectral\":[0.5, 0.25]}],"
      "\"last\":\"\xE2\x82\xAC\"}";
  Parsed p(text);
  ASSERT_EQ(p.status, META_OK) << p.message;
  EXPECT_STREQ(p.m.extras,
               "\"zeta\":[ 1, 2 ],\"a\\/b\":{\"deep\" : {\"x\":null}},"
               "\"last\":\"\xE2\x82\xAC\"");
  EXPECT_STREQ(p.m.waveformSnapshots, "[[0.5, 1]]");
  EXPECT_EQ(p.m.legacyLayers, nullptr);  // an empty list is not kept
  EXPECT_FALSE(p.m.hasLegacyLayers);
  EXPECT_STREQ(p.m.layers[0]->extras, "\"note\":\"caf\\u00e9\",\"spectral\":[0.5, 0.25]");
  std::string out = serialise(&p.m);
  std::string tail =
      "\"waveformSnapshots\":[[0.5, 1]],\"layers\":[],\"waveform\":[],"
      "\"zeta\":[ 1, 2 ],\"a\\/b\":{\"deep\" : {\"x\":null}},"
      "\"last\":\"\xE2\x82\xAC\"}";
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  EXPECT_NE(out.find("\"createdAt\":1,\"note\":\"caf\\u00e9\",\"spectral\":[0.5, 0.25]}"),
            std::string::npos)
      << out;
}

TEST(MetaParse, ManyKeysAndStrokesReadInOnePass) {
  std::string text = "\xEF\xBB\xBF{\"dup\":0";  // with a byte order mark
  for (int i = 0; i < 50000; i++) text += ",\"k" + std::to_string(i) + "\":" + std::to_string(i);
  text +=
      ",\"dup\":1,\"layerSnapshots\":[{\"startSample\":0,\"lengthSamples\":1,"
      "\"sampleRate\":1,\"createdAt\":1,\"strokes\":[";
  for (int i = 0; i < 100000; i++) text += std::string(i ? "," : "") + "{\"amplitude\":0.5}";
  text += "]}]}";
  double start = clock_monotonic();
  Parsed p(text);
  double took = clock_monotonic() - start;
  ASSERT_EQ(p.status, META_OK) << p.message;
  EXPECT_EQ(p.m.layers[0]->strokeCount, 100000);
  std::string extras = p.m.extras;
  EXPECT_EQ(extras.rfind("\"dup\":0,\"k0\":0,\"k1\":1,", 0), 0u);
  EXPECT_EQ(extras.find("\"dup\":1"), std::string::npos);
  EXPECT_EQ(extras.substr(extras.size() - 14), "\"k49999\":49999");
#ifndef KELP_SANITIZED
  EXPECT_LT(took, 2.0);  // no per-key scan of every earlier key
#else
  (void)took;
#endif
}

TEST(MetaParse, InvalidUtf8InKeptTextBecomesReplacementCharacters) {
  std::string text =
      "{\"x\xFF\":\"\xED\xA0\x80\",\"layers\":[\"\xC3\"],"
      "\"layerSnapshots\":[{\"startSample\":0,\"lengthSamples\":1,"
      "\"sampleRate\":1,\"createdAt\":1,"
      "\"strokes\":[{\"amplitude\":1,\"w\":\"\xF5\"}]}]}";
  Parsed p(text);
  EXPECT_EQ(p.status, META_REPAIRED);
  EXPECT_EQ(p.message, "invalid UTF-8 in a kept value - replaced");
  const char* fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(std::string(p.m.extras),
            std::string("\"x") + fffd + "\":\"" + fffd + fffd + fffd + "\"");
  EXPECT_EQ(std::string(p.m.legacyLayers), std::string("[\"") + fffd + "\"]");
  EXPECT_EQ(std::string(p.m.layers[0]->strokesText),
            std::string("[{\"amplitude\":1,\"w\":\"") + fffd + "\"}]");
}

TEST(MetaParse, StrokeObjectsWithOtherKeys) {
  std::string list = R"([{"amplitude":0.25,"t":0.0},{"t":1,"amplitude":0.5}])";
  Parsed kept(sketch_json(R"("layerSnapshots":[{"startSample":0,"lengthSamples":1,)"
                          R"("sampleRate":1,"createdAt":1,"strokes":)" +
                          list + "}]"));
  ASSERT_EQ(kept.status, META_OK);
  EXPECT_EQ(kept.m.layers[0]->strokeCount, 2);
  EXPECT_EQ(kept.m.layers[0]->strokes[1], 0.5f);
  EXPECT_NE(serialise(&kept.m).find(R"("strokes":)" + list + ","), std::string::npos);

  // One unusable amplitude: the list is rewritten from the values, that stroke as 0.
  std::string broken = R"([{"amplitude":0.25,"t":0.0},{"t":1}])";
  Parsed rebuilt(sketch_json(R"("layerSnapshots":[{"startSample":0,"lengthSamples":1,)"
                             R"("sampleRate":1,"createdAt":1,"strokes":)" +
                             broken + "}]"));
  EXPECT_EQ(rebuilt.status, META_REPAIRED);
  EXPECT_EQ(rebuilt.m.layers[0]->strokesText, nullptr);
  EXPECT_NE(serialise(&rebuilt.m).find(R"("strokes":[{"amplitude":0.25},{"amplitude":0}])"),
            std::string::npos);
}

TEST(MetaParse, SpectralListsByLength) {
  std::string full, other;
  for (int i = 0; i < LAYER_SPECTRAL_VALUES; i++)
    full += (i ? "," : "") + std::to_string(i % 7) + ".5";
  for (int i = 0; i < 100; i++) other += (i ? ", " : "") + std::to_string(i);
  Parsed p(sketch_json(R"("layerSnapshots":[)" + layer_json(R"("spectral":[)" + full + "]") + "," +
                       layer_json(R"("spectral":[)" + other + "]") + "]"));
  ASSERT_EQ(p.status, META_OK) << p.message;
  const float* s = layer_spectral(p.m.layers[0]);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s[0], 0.5f);
  EXPECT_EQ(s[575], (575 % 7) + 0.5f);
  EXPECT_EQ(p.m.layers[0]->extras, nullptr);
  EXPECT_EQ(layer_spectral(p.m.layers[1]), nullptr);
  EXPECT_EQ(std::string(p.m.layers[1]->extras), R"("spectral":[)" + other + "]");
  std::string out = serialise(&p.m);
  EXPECT_NE(out.find(R"("spectral":[)" + full + "]"), std::string::npos);
  EXPECT_NE(out.find(R"("spectral":[)" + other + "]"), std::string::npos);
}

TEST(MetaParse, AllocationFailuresDropOnlyTheirValue) {
  std::string text = sketch_json(R"("x":1,"layers":[1],"waveformSnapshots":[[1]],"waveform":[1],)"
                                 R"("layerSnapshots":[)" +
                                 layer_json(R"("spectral":[1],"k":2)") + "," + layer_json() + "]");
  std::set<std::string> messages;
  for (int64_t after = 0; after < 100; after++) {
    SketchMeta m;
    char msg[128];
    meta_debug_fail_allocations(after);
    MetaStatus st = meta_parse(text.data(), text.size(), &m, msg, sizeof msg);
    meta_debug_fail_allocations(-1);
    EXPECT_NE(st, META_UNREADABLE);
    if (st == META_REPAIRED) messages.insert(msg);
    serialise(&m);
    meta_free(&m);
    if (st == META_OK) break;
  }
  EXPECT_TRUE(messages.count("out of memory for 2 layers"));
  EXPECT_TRUE(messages.count("layer 0: out of memory - skipped"));
  EXPECT_TRUE(messages.count("layer 0: out of memory for 2 strokes"));
  EXPECT_TRUE(messages.count("out of memory for a kept value - dropped"));
}

// ---------------------------------------------------------------------------------------------
// Writing

TEST(MetaWrite, KeysInTheirOrder) {
  SketchMeta m;
  meta_new(&m, 48000);
  uuid_parse("5C0FFEE0-AB12-4CDE-9F00-1234567890AB", &m.uuid);
  strcpy(m.name, "a \"b\"");
  m.createdAt = 1.5;
  m.lengthSamples = 1000;
  strcpy(m.space, "deep");
  m.loopStart = 0.25;
  m.loopEnd = 0.5;
  m.loopActive = true;
  m.hasPickedColor = true;
  m.pickedColor = {1, 0.5, 0};
  m.vibe[0] = 0;
  m.hasViewZoom = m.hasViewPanX = true;
  m.viewZoom = 2;
  m.viewPanX = -0.125;
  LayerTemplate t = tmpl(0, 1000);
  t.hasExplicitY = true;
  t.explicitY = 0.5;
  t.hasExplicitColor = true;
  t.explicitColor = {0.1, 0.2, 0.3};
  float levels[2] = {0.5f, 0.25f};
  Layer* l = layer_from_take(&t, levels, 2);
  l->extras = strdup(R"("take":3)");
  std::vector<float> spectral(LAYER_SPECTRAL_VALUES, 0.0f);
  spectral[1] = 0.75f;
  layer_attach_spectral(l, spectral.data());
  meta_add_layer(&m, l);
  m.extras = strdup(R"("tail":[1])");

  std::string sp = "[0,0.75";
  for (int i = 2; i < LAYER_SPECTRAL_VALUES; i++) sp += ",0";
  sp += "]";
  std::string wf = "[";
  for (int i = 0; i < 96; i++) wf += std::string(i ? "," : "") + (i < 48 ? "1" : "0.5");
  wf += "]";
  std::string want =
      R"({"id":"5c0ffee0-ab12-4cde-9f00-1234567890ab","name":"a \"b\"","createdAt":1.5,)"
      R"("sampleRate":48000,"lengthSamples":1000,"channels":2,"space":"deep","loopStart":0.25,)"
      R"("loopEnd":0.5,"loopActive":true,"pickedColor":{"r":1,"g":0.5,"b":0},"vibe":"kelp",)"
      R"("viewZoom":2,"viewPanX":-0.125,"layerSnapshots":[{"startSample":0,"lengthSamples":1000,)"
      R"("sampleRate":48000,"strokes":[{"amplitude":1},{"amplitude":0.5}],"createdAt":100,)"
      R"("explicitY":0.5,"explicitColor":{"r":0.1,"g":0.2,"b":0.3},"spectral":)" +
      sp + R"(,"peak":0.5,"take":3}],"waveformSnapshots":[],"layers":[],"waveform":)" + wf +
      R"(,"tail":[1]})";
  EXPECT_EQ(serialise(&m), want);
  meta_free(&m);
}

TEST(MetaWrite, WaveformByCase) {
  SketchMeta m;
  meta_new(&m, 0);
  m.waveform = (float*)malloc(3 * sizeof(float));
  m.waveform[0] = 0.1f;
  m.waveform[1] = 0.2f;
  m.waveform[2] = 0.3f;
  m.waveformCount = 3;
  EXPECT_NE(serialise(&m).find(R"("waveform":[0.1,0.2,0.3])"), std::string::npos);
  meta_add_layer(&m, layer_of(0, 10, {1}));
  m.lengthSamples = 0;  // layers but no length: an empty list
  EXPECT_NE(serialise(&m).find(R"("waveform":[])"), std::string::npos);
  m.lengthSamples = 10;  // layers: always computed, never the stored values
  std::string out = serialise(&m);
  EXPECT_EQ(out.find("0.1,0.2,0.3"), std::string::npos);
  Parsed back(out);
  EXPECT_EQ(back.m.waveformCount, 96);
  meta_free(&m);
}

TEST(MetaWrite, NonFiniteValuesBecomeZeroAndAreLoggedOnce) {
  SketchMeta m;
  meta_new(&m, 0);
  m.loopStart = NAN;
  m.loopEnd = INFINITY;
  meta_add_layer(&m, layer_of(0, 10, {NAN, 1}));
  int64_t mark = log_mark();
  JsonWriter w;
  jw_init(&w, 0);
  ASSERT_EQ(meta_serialise(&m, &w), 0);
  std::string out(w.data, w.length);
  EXPECT_TRUE(w.nonFinite);
  jw_free(&w);
  EXPECT_NE(out.find(R"("loopStart":0,"loopEnd":0,)"), std::string::npos);
  EXPECT_NE(out.find(R"("strokes":[{"amplitude":0},{"amplitude":1}])"), std::string::npos);
  std::string line = std::string("meta: sketch ") + m.id +
                     " had a NaN/Inf value - written as 0 so the iPhone can still read it";
  EXPECT_EQ(log_hits(mark, line.c_str()), 1);
  m.loopStart = m.loopEnd = 0;
  meta_clear_audio(&m);
  serialise(&m);
  EXPECT_EQ(log_hits(mark, "NaN/Inf"), 1);  // a clean sketch logs nothing
  meta_free(&m);
}

// ---------------------------------------------------------------------------------------------
// Title and date

TEST(MetaText, TitleFromNameOrTime) {
  SketchMeta m;
  meta_new(&m, 0);
  char buf[300];
  m.createdAt = 755412780;  // 2024-12-09 04:53 UTC
  EXPECT_GT(meta_title(&m, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "Recording \xC2\xB7 Dec 9 \xC2\xB7 4:53AM");
  m.createdAt = 755395500;  // 00:05
  meta_title(&m, buf, sizeof buf);
  EXPECT_STREQ(buf, "Recording \xC2\xB7 Dec 9 \xC2\xB7 12:05AM");
  m.createdAt = 728398800;  // 2024-01-31 13:00
  meta_title(&m, buf, sizeof buf);
  EXPECT_STREQ(buf, "Recording \xC2\xB7 Jan 31 \xC2\xB7 1:00PM");
  for (double bad : {(double)NAN, (double)INFINITY, -978307201.0, 32503680001.0 - 978307200.0}) {
    m.createdAt = bad;
    meta_title(&m, buf, sizeof buf);
    EXPECT_STREQ(buf, "Recording") << bad;
  }
  m.createdAt = -978307200;  // 1970-01-01 itself is still a date
  meta_title(&m, buf, sizeof buf);
  EXPECT_STREQ(buf, "Recording \xC2\xB7 Jan 1 \xC2\xB7 12:00AM");

  strcpy(m.name, "\xC3\xA9t\xC3\xA9");  // été
  EXPECT_EQ(meta_title(&m, buf, sizeof buf), 5);
  EXPECT_STREQ(buf, "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(meta_title(&m, buf, 2), 0);  // "é" needs 2 bytes + terminator
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(meta_title(&m, buf, 5), 3);
  EXPECT_STREQ(buf, "\xC3\xA9t");
  m.name[0] = 0;
  m.createdAt = 755412780;
  EXPECT_EQ(meta_title(&m, buf, 13), 12);  // "Recording ·" cut before a split
  EXPECT_STREQ(buf, "Recording \xC2\xB7");
  EXPECT_EQ(meta_title(&m, buf, 12), 10);
  meta_free(&m);
}

TEST(MetaText, DateInTheUsersLocale) {
  SketchMeta m;
  meta_new(&m, 0);
  char buf[128];
  m.createdAt = 755412780;
  EXPECT_GT(meta_date_text(&m, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "Dec 9, 2024, 04:53");  // the C locale: 24-hour time without seconds
  EXPECT_EQ(meta_date_text(&m, buf, 8), 7);
  EXPECT_STREQ(buf, "Dec 9, ");
  m.createdAt = NAN;
  EXPECT_EQ(meta_date_text(&m, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
  meta_free(&m);
}

// ---------------------------------------------------------------------------------------------
// Folders

struct Folder {
  TmpDir dir{"meta"};
  std::string sub(const std::string& name) {
    std::string p = dir / name;
    mkdir(p.c_str(), 0777);
    return p;
  }
};

struct Loaded {
  SketchMeta m{};
  MetaStatus status;
  bool dirty = false;
  std::string message;
  explicit Loaded(const std::string& folder) {
    char buf[256];
    status = meta_load_folder(folder.c_str(), &m, &dirty, buf, sizeof buf);
    message = buf;
  }
  ~Loaded() { meta_free(&m); }
};

TEST(MetaFolder, SaveThenLoad) {
  Folder f;
  std::string folder = f.dir / "a/b/5c0ffee0-ab12-4cde-9f00-1234567890ab";
  Parsed p(sketch_json(R"("name":"x","lengthSamples":0,"q":{"k" : 1},"layerSnapshots":[)" +
                       layer_json() + "]"));
  ASSERT_EQ(meta_save_folder(folder.c_str(), &p.m), 0);  // parents made on the way
  std::string text = read_file(folder + "/meta.json");
  EXPECT_EQ(text, serialise(&p.m));
  EXPECT_FALSE(path_exists((folder + "/meta.json.tmp").c_str()));
  Loaded l(folder);
  EXPECT_EQ(l.status, META_OK) << l.message;
  EXPECT_FALSE(l.dirty);
  EXPECT_EQ(serialise(&l.m), text);
}

TEST(MetaFolder, MissingOrUnreadable) {
  Folder f;
  std::string none = f.sub("empty");
  Loaded a(none);
  EXPECT_EQ(a.status, META_MISSING);
  EXPECT_EQ(a.message, "no meta.json");
  EXPECT_STREQ(a.m.vibe, "kelp");  // filled all the same
  mkdir((none + "/meta.json").c_str(), 0777);
  Loaded b(none);
  EXPECT_EQ(b.status, META_MISSING);
  std::string junk = f.sub("junk");
  write_file(junk + "/meta.json", "{\"id\": oops}");
  Loaded c(junk);
  EXPECT_EQ(c.status, META_UNREADABLE);
  EXPECT_EQ(c.message, "not JSON (line 1 col 8: expected a value)");
}

TEST(MetaFolder, IdFollowsTheFolderWhenTheFileHasNone) {
  Folder f;
  std::string named = f.sub("5C0FFEE0-AB12-4CDE-9F00-1234567890AB");
  write_file(named + "/meta.json", R"({"name":"n"})");
  Loaded a(named + "/");
  EXPECT_EQ(a.status, META_OK);
  EXPECT_STREQ(a.m.id, "5c0ffee0-ab12-4cde-9f00-1234567890ab");
  EXPECT_TRUE(a.dirty);  // the id is not in the file yet

  // A broken id: the folder's name wins too, and the repair is reported.
  write_file(named + "/meta.json", R"({"id":"broken"})");
  Loaded b(named);
  EXPECT_EQ(b.status, META_REPAIRED);
  EXPECT_STREQ(b.m.id, "5c0ffee0-ab12-4cde-9f00-1234567890ab");

  std::string plain = f.sub("My Song");
  write_file(plain + "/meta.json", R"({"name":"n"})");
  Loaded c(plain), d(plain);
  Uuid want;
  uuid_from_path(plain.c_str(), &want);
  EXPECT_TRUE(uuid_equal(&c.m.uuid, &want));
  EXPECT_STREQ(c.m.id, d.m.id);  // the same id on every load
  EXPECT_TRUE(c.dirty);

  // The file's own id stands over a differently named folder.
  std::string other = f.sub("0b7a1f2e-3c4d-4e5f-8a9b-0c1d2e3f4a5b");
  write_file(other + "/meta.json", R"({"id":"5C0FFEE0-AB12-4CDE-9F00-1234567890AB"})");
  Loaded e(other);
  EXPECT_STREQ(e.m.id, "5c0ffee0-ab12-4cde-9f00-1234567890ab");
  EXPECT_FALSE(e.dirty);
}

TEST(MetaFolder, TapeSizeDecidesLengthAndChannels) {
  Folder f;
  std::string s = f.sub("s");
  auto tape = [&](size_t bytes) { write_file(s + "/tape.f32", std::string(bytes, '\0')); };

  write_file(s + "/meta.json",
             R"({"id":"5c0ffee0-ab12-4cde-9f00-1234567890ab","channels":1,"lengthSamples":100})");
  tape(800);  // 100 stereo frames: already upgraded on disk
  int64_t mark = log_mark();
  {
    Loaded l(s);
    EXPECT_EQ(l.m.channels, 2);
    EXPECT_EQ(l.m.lengthSamples, 100);
    EXPECT_TRUE(l.dirty);
    std::string line = "jobs: " + s + " - tape.f32 is already stereo, meta.json still said mono";
    EXPECT_EQ(log_hits(mark, line.c_str()), 1);
  }
  tape(400);  // 100 mono frames: as the file says
  {
    Loaded l(s);
    EXPECT_EQ(l.m.channels, 1);
    EXPECT_EQ(l.m.lengthSamples, 100);
    EXPECT_FALSE(l.dirty);
  }
  write_file(s + "/meta.json",
             R"({"id":"5c0ffee0-ab12-4cde-9f00-1234567890ab","channels":1,"lengthSamples":0})");
  tape(800);  // mono, no length yet: 200 mono frames
  {
    Loaded l(s);
    EXPECT_EQ(l.m.channels, 1);
    EXPECT_EQ(l.m.lengthSamples, 200);
    EXPECT_TRUE(l.dirty);
  }
  write_file(s + "/meta.json",
             R"({"id":"5c0ffee0-ab12-4cde-9f00-1234567890ab","channels":2,"lengthSamples":7})");
  {
    Loaded l(s);
    EXPECT_EQ(l.m.lengthSamples, 100);
    EXPECT_TRUE(l.dirty);
  }
  tape(0);  // an empty tape says nothing
  {
    Loaded l(s);
    EXPECT_EQ(l.m.lengthSamples, 7);
    EXPECT_FALSE(l.dirty);
  }
}

TEST(MetaFolder, FailedSaveKeepsTheOldFile) {
  Folder f;
  std::string s = f.sub("s");
  write_file(s + "/meta.json", "{\"old\":1}");
  mkdir((s + "/meta.json.tmp").c_str(), 0777);  // the temporary file can't be made
  SketchMeta m;
  meta_new(&m, 0);
  EXPECT_EQ(meta_save_folder(s.c_str(), &m), -1);
  EXPECT_EQ(read_file(s + "/meta.json"), "{\"old\":1}");
  // A folder path that runs through a file can't be made.
  write_file(f.dir / "file", "x");
  EXPECT_EQ(meta_save_folder((f.dir / "file/sub").c_str(), &m), -1);
  meta_free(&m);
}

}  // namespace

// What the reader refuses before it reads: a meta.json too large to read in reasonable time, and
// a sketch whose audio runs at a rate no recording has. Both leave the file as it was.
TEST(MetaFolder, TooLargeOrImpossibleRatesAreUnreadable) {
  TmpDir dir("meta");
  // Just over the limit, sparse: costs no disk and must not be read at all.
  const std::string big = dir / "big";
  ASSERT_EQ(make_dirs(big.c_str()), 0);
  {
    FILE* f = fopen((big + "/meta.json").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("{\"name\":\"huge\"}", f);
    fclose(f);
    ASSERT_EQ(truncate((big + "/meta.json").c_str(), META_JSON_MAX_BYTES + 1), 0);
  }
  SketchMeta m{};
  bool dirty = true;
  char message[256];
  double t0 = clock_monotonic();
  EXPECT_EQ(meta_load_folder(big.c_str(), &m, &dirty, message, sizeof message), META_UNREADABLE);
  EXPECT_LT(clock_monotonic() - t0, 1.0);
  EXPECT_STREQ(message, "meta.json is too large (268 MB)");
  EXPECT_FALSE(dirty);
  meta_free(&m);
  EXPECT_EQ(file_size((big + "/meta.json").c_str()), META_JSON_MAX_BYTES + 1);

  struct Case {
    const char* rate;  // the sampleRate member's value, or null for none
    int64_t lengthSamples;
    int64_t tapeFrames;  // stereo frames in tape.f32, 0 for none
    MetaStatus status;
  } cases[] = {
      {"1", 100, 0, META_UNREADABLE},
      {"999.5", 100, 0, META_UNREADABLE},
      {"1000", 100, 0, META_OK},
      {"768000", 100, 0, META_OK},
      {"768001", 100, 0, META_UNREADABLE},
      {"1e300", 100, 0, META_UNREADABLE},
      {"-48000", 100, 0, META_UNREADABLE},
      {"0", 100, 0, META_UNREADABLE},
      {"1", 0, 10, META_UNREADABLE},  // the length comes from tape.f32
      // No audio: nothing to resample, whatever the rate says.
      {"0", 0, 0, META_OK},
      {"1", 0, 0, META_OK},
      {nullptr, 100, 0, META_OK},  // reads as 44100
  };
  int k = 0;
  for (const Case& c : cases) {
    const std::string folder = dir / ("rate" + std::to_string(k++));
    ASSERT_EQ(make_dirs(folder.c_str()), 0);
    std::string json = std::string("{\"channels\":2,\"lengthSamples\":") +
                       std::to_string(c.lengthSamples) +
                       (c.rate ? std::string(",\"sampleRate\":") + c.rate : std::string()) + "}";
    tmpdir_write(folder + "/meta.json", json);
    if (c.tapeFrames > 0)
      tmpdir_write(folder + "/tape.f32", std::string((size_t)c.tapeFrames * 8, 0));
    SCOPED_TRACE(json);
    EXPECT_EQ(meta_load_folder(folder.c_str(), &m, &dirty, message, sizeof message), c.status);
    if (c.status == META_UNREADABLE) {
      EXPECT_EQ(std::string(message).rfind("sampleRate ", 0), 0u) << message;
      EXPECT_NE(strstr(message, " Hz is outside 1000..768000"), nullptr) << message;
    }
    meta_free(&m);
    EXPECT_EQ(tmpdir_read(folder + "/meta.json"), json);
  }
}
