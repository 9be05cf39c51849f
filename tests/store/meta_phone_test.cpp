// meta.json files written by the phone edition: each loads as expected, keeps what it keeps byte
// for byte, round-trips, and no damaged form of one can crash the reader.
#include <gtest/gtest.h>
#include <locale.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "store/files.h"
#include "store/json.h"
#include "store/meta.h"
#include "support/tmpdir.h"

namespace {

std::string fixture_dir() {
  std::string d = KELP_SOURCE_DIR "/tests/fixtures/phone";
  struct stat st;
  if (stat(d.c_str(), &st) == 0) return d;
  return "/work/shared/fixtures/phone";
}

std::string fixture(const char* name) {
  std::string text = tmpdir_read(fixture_dir() + "/" + name);
  EXPECT_FALSE(text.empty()) << name;
  return text;
}

const char* const kFixtures[] = {"basic-pretty.json", "legacy-mono.json", "rich-layers.json",
                                 "swift-floats.json"};

struct Parsed {
  SketchMeta m{};
  MetaStatus status;
  std::string message;
  explicit Parsed(const std::string& text) {
    char buf[256];
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

bool same_bits(float a, float b) {
  return memcmp(&a, &b, sizeof a) == 0;
}

float c_float(const std::string& text) {
  locale_t c = newlocale(LC_ALL_MASK, "C", (locale_t)0);
  float f = strtof_l(text.c_str(), nullptr, c);
  freelocale(c);
  return f;
}

bool same_text(const char* a, const char* b) {
  return (!a && !b) || (a && b && strcmp(a, b) == 0);
}

// Everything the reader keeps, field by field (the waveform when the caller asks: a sketch with
// layers gets it recomputed on writing).
void expect_same_model(const SketchMeta& a, const SketchMeta& b, bool waveform) {
  EXPECT_TRUE(uuid_equal(&a.uuid, &b.uuid));
  EXPECT_STREQ(a.id, b.id);
  EXPECT_STREQ(a.name, b.name);
  EXPECT_EQ(a.createdAt, b.createdAt);
  EXPECT_EQ(a.sampleRate, b.sampleRate);
  EXPECT_EQ(a.lengthSamples, b.lengthSamples);
  EXPECT_EQ(a.channels, b.channels);
  EXPECT_STREQ(a.space, b.space);
  EXPECT_EQ(a.loopStart, b.loopStart);
  EXPECT_EQ(a.loopEnd, b.loopEnd);
  EXPECT_EQ(a.loopActive, b.loopActive);
  EXPECT_EQ(a.hasPickedColor, b.hasPickedColor);
  if (a.hasPickedColor && b.hasPickedColor) {
    EXPECT_EQ(a.pickedColor.r, b.pickedColor.r);
    EXPECT_EQ(a.pickedColor.g, b.pickedColor.g);
    EXPECT_EQ(a.pickedColor.b, b.pickedColor.b);
  }
  EXPECT_STREQ(a.vibe, b.vibe);
  EXPECT_EQ(a.hasViewZoom, b.hasViewZoom);
  EXPECT_EQ(a.hasViewPanY, b.hasViewPanY);
  EXPECT_EQ(a.hasViewZoomY, b.hasViewZoomY);
  EXPECT_EQ(a.hasViewPanX, b.hasViewPanX);
  EXPECT_EQ(a.viewZoom, b.viewZoom);
  EXPECT_EQ(a.viewPanX, b.viewPanX);
  EXPECT_TRUE(same_text(a.waveformSnapshots, b.waveformSnapshots));
  EXPECT_TRUE(same_text(a.legacyLayers, b.legacyLayers));
  EXPECT_EQ(a.hasLegacyLayers, b.hasLegacyLayers);
  EXPECT_TRUE(same_text(a.extras, b.extras));
  if (waveform) {
    ASSERT_EQ(a.waveformCount, b.waveformCount);
    for (int i = 0; i < a.waveformCount; i++)
      EXPECT_TRUE(same_bits(a.waveform[i], b.waveform[i])) << i;
  }
  ASSERT_EQ(a.layerCount, b.layerCount);
  for (int i = 0; i < a.layerCount; i++) {
    const Layer* x = a.layers[i];
    const Layer* y = b.layers[i];
    EXPECT_EQ(x->startSample, y->startSample);
    EXPECT_EQ(x->lengthSamples, y->lengthSamples);
    EXPECT_EQ(x->sampleRate, y->sampleRate);
    EXPECT_EQ(x->createdAt, y->createdAt);
    ASSERT_EQ(x->strokeCount, y->strokeCount);
    for (int k = 0; k < x->strokeCount; k++) EXPECT_TRUE(same_bits(x->strokes[k], y->strokes[k]));
    EXPECT_TRUE(same_text(x->strokesText, y->strokesText));
    EXPECT_EQ(x->hasExplicitY, y->hasExplicitY);
    EXPECT_EQ(x->explicitY, y->explicitY);
    EXPECT_EQ(x->hasExplicitColor, y->hasExplicitColor);
    EXPECT_EQ(x->explicitColor.r, y->explicitColor.r);
    EXPECT_EQ(x->explicitColor.g, y->explicitColor.g);
    EXPECT_EQ(x->explicitColor.b, y->explicitColor.b);
    EXPECT_EQ(x->hasPeak, y->hasPeak);
    EXPECT_TRUE(same_bits(x->peak, y->peak));
    const float* sx = layer_spectral(x);
    const float* sy = layer_spectral(y);
    ASSERT_EQ(sx == nullptr, sy == nullptr);
    if (sx) {
      EXPECT_EQ(memcmp(sx, sy, sizeof(float) * LAYER_SPECTRAL_VALUES), 0);
    }
    EXPECT_TRUE(same_text(x->extras, y->extras));
  }
}

// The exact source text of the first value of key (searched as "key" then ':' and white space).
std::string source_value(const std::string& text, const std::string& key, size_t from = 0) {
  size_t k = text.find("\"" + key + "\"", from);
  if (k == std::string::npos) return "";
  JsonDoc* doc = json_parse(text.data(), text.size(), nullptr, 0);
  std::string out;
  // Walk the tree for the member whose key starts at k.
  std::vector<const JsonValue*> stack = {json_root(doc)};
  while (!stack.empty() && out.empty()) {
    const JsonValue* v = stack.back();
    stack.pop_back();
    for (const JsonValue* c = json_first(v); c; c = json_next(v, c)) {
      const char* ck = json_key(c, nullptr);
      size_t at = json_source_offset(c);
      if (ck && key == ck && at > k &&
          text.find_first_not_of(" \t\r\n:", k + key.size() + 2) == at) {
        out = text.substr(at, json_source_length(doc, c));
        break;
      }
      if (json_first(c)) stack.push_back(c);
    }
  }
  json_free(doc);
  return out;
}

TEST(PhoneFixtures, BasicPretty) {
  std::string text = fixture("basic-pretty.json");
  Parsed p(text);
  ASSERT_EQ(p.status, META_OK) << p.message;
  EXPECT_EQ(p.message, "");
  EXPECT_STREQ(p.m.name, "chorus idea 1/2 \xC3\xA9t\xC3\xA9");
  EXPECT_STREQ(p.m.id, "5c0ffee0-ab12-4cde-9f00-1234567890ab");
  EXPECT_EQ(p.m.createdAt, 786012300.75);
  EXPECT_EQ(p.m.sampleRate, 48000);
  EXPECT_EQ(p.m.lengthSamples, 96000);
  EXPECT_EQ(p.m.channels, 2);
  EXPECT_STREQ(p.m.space, "deep");
  EXPECT_EQ(p.m.loopStart, 0.5);
  EXPECT_EQ(p.m.loopEnd, 2.5);
  EXPECT_TRUE(p.m.loopActive);
  ASSERT_EQ(p.m.layerCount, 2);
  EXPECT_FALSE(p.m.layers[0]->hasPeak);
  EXPECT_TRUE(p.m.layers[1]->hasPeak);
  EXPECT_TRUE(same_bits(p.m.layers[1]->peak, c_float("0.41234567")));
  EXPECT_EQ(p.m.layers[1]->startSample, 48000);
  EXPECT_EQ(p.m.layers[0]->strokeCount, 10);
  EXPECT_EQ(p.m.layers[0]->strokesText, nullptr);  // amplitude only: written from the floats

  std::string out = serialise(&p.m);
  EXPECT_EQ(out.rfind(R"({"id":"5c0ffee0-ab12-4cde-9f00-1234567890ab","name":"chorus idea 1/2 )"
                      "\xC3\xA9t\xC3\xA9\",",
                      0),
            0u)
      << out;
  // The unknown keys close the object, in source order, each value exactly as in the file.
  std::string tail = "\"tempoHint\":" + source_value(text, "tempoHint") +
                     ",\"tags\":" + source_value(text, "tags") +
                     ",\"deviceInfo\":" + source_value(text, "deviceInfo") + "}";
  EXPECT_EQ(source_value(text, "tags"), R"([ "verse", "idea" ])");
  EXPECT_EQ(source_value(text, "deviceInfo"),
            "{\n    \"model\" : \"phone\",\n    \"os\" : \"18.2\"\n  }");
  ASSERT_GT(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  EXPECT_NE(out.find(R"("waveform":[)"), std::string::npos);
}

TEST(PhoneFixtures, LegacyMono) {
  std::string text = fixture("legacy-mono.json");
  Parsed p(text);
  ASSERT_EQ(p.status, META_OK) << p.message;
  EXPECT_EQ(p.m.channels, 1);
  EXPECT_EQ(p.m.sampleRate, 44100);
  EXPECT_EQ(p.m.layerCount, 0);
  EXPECT_TRUE(p.m.hasLegacyLayers);
  std::string out = serialise(&p.m);
  std::string layers = source_value(text, "layers");
  std::string snapshots = source_value(text, "waveformSnapshots");
  ASSERT_FALSE(layers.empty());
  EXPECT_NE(out.find("\"waveformSnapshots\":" + snapshots + ",\"layers\":" + layers + ","),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\"waveform\":" + source_value(text, "waveform")), std::string::npos) << out;
}

TEST(PhoneFixtures, RichLayers) {
  std::string text = fixture("rich-layers.json");
  Parsed p(text);
  ASSERT_EQ(p.status, META_OK) << p.message;
  EXPECT_STREQ(p.m.space, "tight");
  EXPECT_STREQ(p.m.vibe, "night");
  EXPECT_TRUE(p.m.hasPickedColor);
  MetaColour c = meta_colour(&p.m);
  EXPECT_FLOAT_EQ(c.g, 0.78f);
  EXPECT_TRUE(p.m.hasViewZoom && p.m.hasViewPanX);
  EXPECT_FALSE(p.m.hasViewPanY || p.m.hasViewZoomY);
  ASSERT_EQ(p.m.layerCount, 2);
  const Layer* a = p.m.layers[0];
  const Layer* b = p.m.layers[1];
  EXPECT_TRUE(a->hasExplicitY);
  EXPECT_EQ(a->explicitY, 0.75);
  EXPECT_TRUE(a->hasExplicitColor);
  EXPECT_EQ(a->explicitColor.b, 0.28);
  EXPECT_TRUE(same_bits(a->peak, 0.8f));
  ASSERT_NE(layer_spectral(a), nullptr);
  EXPECT_EQ(layer_spectral(b), nullptr);
  EXPECT_EQ(std::string(a->extras), R"("mood":"bright","take":{"mic":"front","gainDb":-3.5})");

  std::string strokes0 = source_value(text, "strokes");
  std::string spectral0 = source_value(text, "spectral");
  size_t second = text.find("\"startSample\":5120");
  std::string spectral1 = source_value(text, "spectral", second);
  ASSERT_FALSE(spectral1.empty());
  EXPECT_STREQ(a->strokesText, strokes0.c_str());
  EXPECT_EQ(std::string(b->extras), "\"spectral\":" + spectral1);

  // The 576 values: each read from its text, bit for bit.
  JsonDoc* doc = json_parse(spectral0.data(), spectral0.size(), nullptr, 0);
  ASSERT_EQ(json_count(json_root(doc)), (uint32_t)LAYER_SPECTRAL_VALUES);
  int i = 0;
  for (const JsonValue* v = json_first(json_root(doc)); v; v = json_next(json_root(doc), v), i++) {
    std::string t = spectral0.substr(json_source_offset(v), json_source_length(doc, v));
    EXPECT_TRUE(same_bits(layer_spectral(a)[i], c_float(t))) << t;
  }
  json_free(doc);

  std::string out = serialise(&p.m);
  EXPECT_NE(out.find("\"strokes\":" + strokes0 + ","), std::string::npos);
  EXPECT_NE(out.find("\"spectral\":" + spectral1 + "}"), std::string::npos);
  EXPECT_NE(out.find(R"(,"peak":0.8,"mood":"bright","take":{"mic":"front","gainDb":-3.5}})"),
            std::string::npos);
  std::string phone = "\"phoneOnly\":" + source_value(text, "phoneOnly") + "}";
  EXPECT_EQ(out.substr(out.size() - phone.size()), phone);
  EXPECT_EQ(out.find("viewPanY"), std::string::npos);
  EXPECT_EQ(out.find("viewZoomY"), std::string::npos);
  EXPECT_NE(out.find(R"("waveformSnapshots":[[0.5,0.25],[1]],"layers":[],)"), std::string::npos);
  // Written from the stored floats, layer 0's spectral list reads back to the same values.
  Parsed back(out);
  ASSERT_EQ(back.m.layerCount, 2);
  EXPECT_EQ(memcmp(layer_spectral(back.m.layers[0]), layer_spectral(a),
                   sizeof(float) * LAYER_SPECTRAL_VALUES),
            0);
}

TEST(PhoneFixtures, SwiftFloats) {
  std::string text = fixture("swift-floats.json");
  Parsed p(text);
  ASSERT_EQ(p.status, META_OK) << p.message;
  EXPECT_STREQ(p.m.id, "3f2504e0-4f89-41d3-9a0c-0305e82c3301");
  EXPECT_EQ(p.m.loopStart, 0.1);
  EXPECT_EQ(p.m.loopEnd, 0.30000000000000004);
  EXPECT_EQ(p.m.createdAt, 786200000.123456);
  ASSERT_EQ(p.m.layerCount, 1);
  const Layer* l = p.m.layers[0];
  std::string strokes = source_value(text, "strokes");
  JsonDoc* doc = json_parse(strokes.data(), strokes.size(), nullptr, 0);
  std::vector<std::string> texts;
  for (const JsonValue* v = json_first(json_root(doc)); v; v = json_next(json_root(doc), v)) {
    const JsonValue* a = json_get(v, "amplitude");
    texts.push_back(strokes.substr(json_source_offset(a), json_source_length(doc, a)));
  }
  json_free(doc);
  ASSERT_EQ(l->strokeCount, (int)texts.size());
  for (size_t i = 0; i < texts.size(); i++)
    EXPECT_TRUE(same_bits(l->strokes[i], c_float(texts[i]))) << texts[i];
  EXPECT_TRUE(std::signbit(l->strokes[8]));  // -0 keeps its sign
  EXPECT_EQ(l->strokes[3], 3.4028235e+38f);
  EXPECT_EQ(l->strokes[4], 1.17549435e-38f);

  Parsed back(serialise(&p.m));
  ASSERT_EQ(back.m.layerCount, 1);
  for (size_t i = 0; i < texts.size(); i++)
    EXPECT_TRUE(same_bits(back.m.layers[0]->strokes[i], l->strokes[i])) << texts[i];
  EXPECT_TRUE(same_bits(back.m.layers[0]->peak, c_float("0.123456789")));
}

TEST(PhoneFixtures, EveryFileRoundTrips) {
  for (const char* name : kFixtures) {
    SCOPED_TRACE(name);
    Parsed first(fixture(name));
    ASSERT_EQ(first.status, META_OK) << first.message;
    std::string once = serialise(&first.m);
    EXPECT_EQ(serialise(&first.m), once);
    Parsed second(once);
    ASSERT_EQ(second.status, META_OK) << second.message;
    // A sketch with layers writes its waveform from them, so only a layerless one keeps the
    // file's own values.
    expect_same_model(first.m, second.m, first.m.layerCount == 0);
    EXPECT_EQ(serialise(&second.m), once);
    SketchMeta* copy = meta_clone(&second.m);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(serialise(copy), once);
    meta_destroy(copy);
  }
}

TEST(PhoneFixtures, FolderSaveAndLoad) {
  TmpDir dir("meta-phone");
  for (const char* name : kFixtures) {
    SCOPED_TRACE(name);
    Parsed p(fixture(name));
    std::string folder = dir / p.m.id;
    ASSERT_EQ(meta_save_folder(folder.c_str(), &p.m), 0);
    std::string written = tmpdir_read(folder + "/meta.json");
    EXPECT_EQ(written, serialise(&p.m));
    SketchMeta m;
    bool dirty = true;
    char msg[128];
    ASSERT_EQ(meta_load_folder(folder.c_str(), &m, &dirty, msg, sizeof msg), META_OK) << msg;
    EXPECT_FALSE(dirty);
    EXPECT_EQ(serialise(&m), written);
    meta_free(&m);
  }
}

// Parses text; a damaged file must come back with a status and, unless clean, a message, and
// whatever was read must write out as a file that reads back clean and writes the same again.
MetaStatus check_damaged(const std::string& text) {
  SketchMeta m;
  char msg[256];
  strcpy(msg, "untouched");
  MetaStatus st = meta_parse(text.data(), text.size(), &m, msg, sizeof msg);
  EXPECT_TRUE(st == META_OK || st == META_REPAIRED || st == META_UNREADABLE);
  if (st == META_OK)
    EXPECT_STREQ(msg, "");
  else
    EXPECT_GT(strlen(msg), 0u);
  if (st != META_UNREADABLE) {
    std::string once = serialise(&m);
    SketchMeta again;
    char msg2[256];
    MetaStatus st2 = meta_parse(once.data(), once.size(), &again, msg2, sizeof msg2);
    EXPECT_EQ(st2, META_OK) << msg2 << "\n" << once;
    EXPECT_EQ(serialise(&again), once);
    meta_free(&again);
    meta_upgrade_strokes(&m);
    meta_refresh_waveform(&m);
    SketchMeta* c = meta_clone(&m);
    meta_destroy(c);
  }
  meta_free(&m);
  return st;
}

TEST(PhoneFixtures, EveryTruncationIsHandled) {
  for (const char* name : kFixtures) {
    SCOPED_TRACE(name);
    std::string text = fixture(name);
    size_t last = text.find_last_of('}');
    for (size_t n = 0; n < text.size(); n++) {
      std::string cut = text.substr(0, n);
      check_damaged(cut);
      if (n <= last) {
        Parsed p(cut);
        EXPECT_EQ(p.status, META_UNREADABLE) << n;
        EXPECT_EQ(p.message.rfind("not JSON (line ", 0), 0u) << p.message;
      }
    }
  }
}

TEST(PhoneFixtures, RandomDamageIsHandled) {
  std::mt19937 rng(20241209);
  const std::string alphabet = "{}[]\",:.-+eE0123456789 \\tnu";
  int count = 0;
  int byStatus[3] = {};
  for (int round = 0; round < 4000; round++) {
    std::string text = fixture(kFixtures[round % 4]);
    int edits = 1 + (int)(rng() % 4);
    for (int e = 0; e < edits && !text.empty(); e++) {
      size_t at = rng() % text.size();
      switch (rng() % 8) {
        case 0:  // a random byte, often not UTF-8
          text[at] = (char)(rng() & 0xFF);
          break;
        case 1:  // a JSON-ish character where another stood
          text[at] = alphabet[rng() % alphabet.size()];
          break;
        case 2:
          text.insert(at, 1, alphabet[rng() % alphabet.size()]);
          break;
        case 3:
          text.erase(at, 1 + rng() % 8);
          break;
        case 4: {  // repeat a slice
          size_t n = std::min<size_t>(1 + rng() % 64, text.size() - at);
          text.insert(at, text.substr(at, n));
          break;
        }
        case 5: {  // swap a number for an awkward one
          const char* odd[] = {
              "1e999", "-1", "0.5", "1e-50", "9223372036854775808", "null",
              "\"x\"", "[]", "{}",  "-0",    "2147483648",          "1.0000000596046448"};
          size_t d = text.find_first_of("0123456789", at);
          if (d == std::string::npos) break;
          size_t end = text.find_first_not_of("0123456789.e+-E", d);
          text.replace(d, (end == std::string::npos ? text.size() : end) - d, odd[rng() % 12]);
          break;
        }
        case 6:
        case 7: {  // swap a member's value for one of another kind, keeping the structure
          const char* odd[] = {"null",
                               "\"x\"",
                               "[]",
                               "{}",
                               "[[1],[2]]",
                               "-1",
                               "true",
                               "{\"r\":1,\"g\":2,\"b\":3}",
                               "[{\"amplitude\":1,\"q\":2}]",
                               "\"\xC3\xA9\xFF\""};
          size_t colon = text.find(':', at);
          if (colon == std::string::npos) break;
          size_t v = text.find_first_not_of(" \t\r\n", colon + 1);
          if (v == std::string::npos) break;
          size_t end = v;
          if (text[v] == '"') {
            end = text.find('"', v + 1);
            end = end == std::string::npos ? text.size() : end + 1;
          } else {
            end = text.find_first_of(",}]", v);
            if (end == std::string::npos) end = text.size();
            if (text[v] == '[' || text[v] == '{') end = v;  // containers stay; their insides change
          }
          if (end > v) text.replace(v, end - v, odd[rng() % 10]);
          break;
        }
      }
    }
    byStatus[check_damaged(text)]++;
    count++;
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_EQ(count, 4000);
  // The damage reaches the reader's repairs, not only the parser.
  EXPECT_GT(byStatus[META_REPAIRED], 500);
  EXPECT_GT(byStatus[META_UNREADABLE], 400);
  EXPECT_GT(byStatus[META_OK], 100);
  printf("damaged files: %d read clean, %d repaired, %d unreadable\n", byStatus[0], byStatus[1],
         byStatus[2]);
}

}  // namespace
