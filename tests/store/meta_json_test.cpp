// meta.json text: what the reader accepts, repairs and keeps verbatim, and what the writer puts
// out, key by key.
#include <gtest/gtest.h>
#include <locale.h>
#include <stdlib.h>

#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "base/clock.h"
#include "store/json.h"
#include "store/meta.h"
#include "store/meta_test_util.h"

using namespace meta_test;

namespace {

float c_float(const char* text) {
  locale_t c = newlocale(LC_ALL_MASK, "C", (locale_t)0);
  float f = strtof_l(text, nullptr, c);
  freelocale(c);
  return f;
}

bool same_bits(float a, float b) {
  return memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

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
  EXPECT_TRUE(w.non_finite);
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
