// Rig files: what every kind of bad value decodes to and what it reports, that encodings read
// back to themselves, the number and string forms written, and the reader's error messages.
#include "rig/rig_format.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <set>
#include <string>

#include "rig/rig_test_util.h"

using rig_test::DocPtr;

namespace {

std::string channel(int c, const char* more = "") {
  char buf[400];
  snprintf(buf, sizeof buf,
           "{\"id\":\"C-%d\",\"kind\":{\"input\":{\"channel\":%d}},\"label\":\"in %d\",\"gain\":0.5,"
           "\"pan\":0.25,\"muted\":false,\"link\":false%s}",
           c, c, c + 1, more);
  return buf;
}

std::string scene(int s, const std::string& channels) {
  return "{\"id\":\"S-" + std::to_string(s) + "\",\"name\":\"take " + std::to_string(s) +
         "\",\"glyph\":\"x\",\"masterGain\":1,\"updatedAt\":5.5,\"author\":\"me\",\"channels\":[" +
         channels + "]}";
}

// A valid rig: two inputs, four scenes, every member given.
std::string base_rig() {
  std::string scenes;
  for (int s = 1; s <= 4; s++) scenes += (s > 1 ? "," : "") + scene(s, channel(0) + "," + channel(1));
  return "{\"format\":\"seaglass.rig\",\"version\":1,\"rev\":7,\"key\":\"alsa:USB Mic\","
         "\"device\":{\"api\":\"alsa\",\"name\":\"USB Mic\",\"channels\":2,\"channelNames\":[\"L\","
         "\"R\"]},\"activeScene\":1,\"scenes\":[" +
         scenes +
         "],\"writer\":{\"app\":\"kelp\",\"platform\":\"linux\",\"version\":\"1.0\",\"instance\":"
         "\"00000000000000aa\",\"at\":100.5}}";
}

// The base rig with the first `from` replaced by `to`.
std::string with(const std::string& from, const std::string& to) {
  std::string s = base_rig();
  size_t at = s.find(from);
  if (at == std::string::npos) return "<" + from + " not in the base rig>";
  return s.replace(at, from.size(), to);
}

std::string encode(const RigDoc* doc) {
  std::string out(rig_encode(doc, nullptr, 0), '\0');
  rig_encode(doc, out.data(), out.size() + 1);
  return out;
}

const std::string kGainOne = "\"gain\":0.5";
const std::string kScene2 = "{\"id\":\"S-2\"";

struct Row {
  std::string text;
  int code;
  std::string msg;
  std::function<void(const RigDoc&)> check;
};

std::vector<Row> rows() {
  const std::string name64(64, 'n'), key200(200, 'k'), app48(48, 'a');
  std::string many_names = "[", many_apps = "{";
  for (int i = 0; i < 65; i++) many_names += (i ? ",\"c" : "\"c") + std::to_string(i) + "\"";
  for (int i = 0; i < 18; i++)
    many_apps += (i ? ",\"app" : "\"app") + std::to_string(i) + "\":{\"scene\":1,\"at\":" +
                 std::to_string(i == 16 ? 0 : i == 17 ? 200 : 100 - i) + "}";
  many_names += "]";
  many_apps += "}";
  const std::string past = "{\"kind\":{\"input\":{\"channel\":70}},\"gain\":2}";
  return {
      {base_rig(), 0, "",
       [](const RigDoc& d) {
         EXPECT_EQ(d.rev, 7);
         EXPECT_STREQ(d.channel_names[1], "R");
         EXPECT_EQ(d.scenes[3].channels[1].pan, 0.25f);
         EXPECT_TRUE(d.scenes[0].channels[1].muted == false && d.active_scene == 1);
       }},
      {"{\"format\":\"seaglass.rig\"}", 1, "no scenes (defaults)",
       [](const RigDoc& d) {
         EXPECT_EQ(d.channels, 1);
         std::set<std::string> ids;
         for (const RigScene& s : d.scenes) {
           EXPECT_EQ(s.channel_count, 1);
           ids.insert(s.id);
         }
         EXPECT_EQ(ids.size(), 4u);
         EXPECT_TRUE(!d.scenes[0].fresh && d.scenes[1].fresh && d.scenes[3].fresh);
       }},
      {with("\"version\":1", "\"version\":2"), 2, "version 2 is newer than 1 - read only",
       [](const RigDoc& d) { EXPECT_TRUE(d.read_only); }},
      {with("\"version\":1", "\"version\":2").replace(base_rig().find(kGainOne), kGainOne.size(),
                                                      "\"gain\":10"),
       2,
       "version 2 is newer than 1 - read only (and: scene 1 input 1: gain is out of range "
       "(clamped))",
       nullptr},
      {with("[" + channel(0), "[" + past + "," + channel(0)), 1,
       "scene 1: input 71 is past the 64 a rig holds (kept verbatim)",
       [past](const RigDoc& d) {
         EXPECT_EQ(rig_text_str(&d.scenes[0].extra_channels), past);
         EXPECT_NE(encode(&d).find(past + "]"), std::string::npos);
       }},
      {with(channel(1), channel(0, ",\"x\":1")), 1,
       "scene 1: input 1 appears twice (the first kept)",
       [](const RigDoc& d) {
         EXPECT_EQ(d.scenes[0].channel_count, 1);
         EXPECT_EQ(d.scenes[0].channels[0].extra.len, 0u);
       }},
      {with(scene(1, channel(0) + "," + channel(1)),
            scene(1, "{\"kind\":{\"input\":{\"channel\":2}}},{\"kind\":{\"input\":{\"channel\":1}}},"
                     "{\"kind\":{\"input\":{\"channel\":0}}}")),
       0, "",
       [](const RigDoc& d) {
         const RigScene& s = d.scenes[0];
         EXPECT_TRUE(s.channels[2].muted && !s.channels[1].muted && !s.channels[0].muted);
         EXPECT_EQ(s.channels[2].gain, 1.0f);
         EXPECT_TRUE(s.channels[2].id[0] && strcmp(s.channels[2].id, s.channels[1].id) != 0);
         EXPECT_EQ(d.channels, 2);  // the device's own count stands
       }},
      {with(kGainOne, "\"gain\":10"), 1, "scene 1 input 1: gain is out of range (clamped)",
       [](const RigDoc& d) { EXPECT_EQ(d.scenes[0].channels[0].gain, RIG_MAX_GAIN); }},
      {"", 4, "not JSON: no JSON value (empty)", nullptr},
      {base_rig().substr(0, 100), 4, "not JSON: truncated at byte 100", nullptr},
      {"[]", 3, "not a rig: the JSON is not an object", nullptr},
      // Reported in decoding order, not text order.
      {"{\"format\":\"seaglass.rig\",\"scenes\":[7],\"version\":\"x\"}", 1,
       "the rig: version is not an integer in 1..2147483647", nullptr},
      {"{\"format\":\"seaglass.rigs\"}", 3, "not a rig: \"format\" is not \"seaglass.rig\"", nullptr},
      {"{\"fmt\":1}", 3, "not a rig: \"format\" is not \"seaglass.rig\"", nullptr},
      {std::string(RIG_FILE_MAX_BYTES + 1, ' '), 4, "bigger than 1 MB (1048577 bytes)", nullptr},
      {"\xEF\xBB\xBF" + with("\"format\"", "\"\\u0066ormat\""), 0, "", nullptr},
      {with("\"rev\":7", "\"rev\":7,\"rev\":8"), 1, "the rig: \"rev\" appears twice (the first kept)",
       [](const RigDoc& d) { EXPECT_EQ(d.rev, 7); }},
      {with("\"version\":1", "\"version\":\"1\""), 1,
       "the rig: version is not an integer in 1..2147483647", nullptr},
      {with("\"rev\":7", "\"rev\":-1"), 1, "the rig: rev is not an integer in 0..9223372036854775807",
       [](const RigDoc& d) { EXPECT_EQ(d.rev, 0); }},
      {with("\"alsa:USB Mic\"", "\"" + key200 + "\""), 1, "the rig: key is longer than 199 bytes (cut)",
       [](const RigDoc& d) { EXPECT_EQ(strlen(d.key), 199u); }},
      {with("\"alsa:USB Mic\"", "\"alsa:\xFF\""), 1, "the rig: key had invalid text (replaced)",
       [](const RigDoc& d) { EXPECT_STREQ(d.key, "alsa:\xEF\xBF\xBD"); }},
      {with("\"alsa:USB Mic\"", "5"), 1, "the rig: key is not a string",
       [](const RigDoc& d) { EXPECT_STREQ(d.key, "alsa:USB Mic"); }},  // built from the device
      {with("\"device\":{", "\"device\":[],\"x\":{"), 1, "device is not an object",
       [](const RigDoc& d) {
         EXPECT_TRUE(!strcmp(d.api, "alsa") && !strcmp(d.device_name, "USB Mic"));  // from the key
         EXPECT_EQ(d.channels, 2);
         EXPECT_EQ(rig_text_str(&d.extra_root), std::string("\"x\":{\"api\":\"alsa\",\"name\":\"USB "
                                                            "Mic\",\"channels\":2,\"channelNames\":[\"L\",\"R\"]}"));
       }},
      {with("\"key\":\"alsa:USB Mic\",", ""), 0, "",
       [](const RigDoc& d) { EXPECT_STREQ(d.key, "alsa:USB Mic"); }},
      {with("\"name\":\"USB Mic\",", "\"name\":\" M (2- Box) \",\"x-y\" : [1, 2],"), 0, "",
       [](const RigDoc& d) {
         EXPECT_STREQ(d.key, "alsa:USB Mic");
         EXPECT_STREQ(rig_text_str(&d.extra_device), "\"x-y\":[1, 2]");
       }},
      {with("\"channels\":2,", "\"channels\":65,"), 1, "device: channels is not an integer in 1..64",
       [](const RigDoc& d) { EXPECT_EQ(d.channels, 2); }},
      {with("\"api\":\"alsa\"", "\"api\":\"alsa-0123456789-abc\""), 1,
       "device: api is longer than 15 bytes (cut)", nullptr},
      {with("[\"L\",\"R\"]", "{}"), 1, "device: channelNames is not an array", nullptr},
      {with("[\"L\",\"R\"]", "[\"L\",5]"), 1, "device channelNames[1]: the name is not a string", nullptr},
      {with("[\"L\",\"R\"]", "[\"L\",\"" + name64 + "\"]"), 1,
       "device channelNames[1]: the name is longer than 63 bytes (cut)", nullptr},
      {with("[\"L\",\"R\"]", many_names), 1, "device: more than 64 channelNames (the rest dropped)",
       [](const RigDoc& d) { EXPECT_STREQ(d.channel_names[63], "c63"); }},
      {with("\"activeScene\":1", "\"activeScene\":4"), 1,
       "the rig: activeScene is not an integer in 0..3", nullptr},
      {with("\"activeScene\":1", "\"activeScene\":1,\"appScenes\":[]"), 1, "appScenes is not an object",
       nullptr},
      {with("\"activeScene\":1", "\"activeScene\":1,\"appScenes\":{\"" + app48 + "\":{\"scene\":2}}"),
       1, "appScenes \"" + app48.substr(1) + "\": the app name is longer than 47 bytes (cut)",
       [](const RigDoc& d) { EXPECT_EQ(d.app_scenes[0].scene, 2); }},
      {with("\"activeScene\":1", "\"activeScene\":1,\"appScenes\":{\"a\":1,\"b\":{\"scene\":3,\"at\":2}}"),
       1, "appScenes \"a\" is not an object (dropped)",
       [](const RigDoc& d) { EXPECT_TRUE(d.app_scene_count == 1 && d.app_scenes[0].at == 2.0); }},
      {with("\"activeScene\":1", "\"activeScene\":1,\"appScenes\":{\"a\":{\"scene\":1,\"x\":0}}"), 1,
       "appScenes \"a\": members other than scene / at (dropped)", nullptr},
      {with("\"activeScene\":1", "\"activeScene\":1,\"appScenes\":{\"a\":{\"scene\":9}}"), 1,
       "appScenes \"a\": scene is not an integer in 0..3", nullptr},
      {with("\"activeScene\":1", "\"activeScene\":1,\"appScenes\":{\"a\":{\"at\":\"now\"}}"), 1,
       "appScenes \"a\": at is not a number", nullptr},
      {with("\"activeScene\":1", "\"activeScene\":1,\"appScenes\":" + many_apps), 1,
       "appScenes has more than 16 members (the oldest dropped)",
       [](const RigDoc& d) {
         // app16 (at 0) is older than all and dropped; app17 (at 200) takes the oldest, app15's place.
         EXPECT_EQ(d.app_scene_count, 16);
         EXPECT_STREQ(d.app_scenes[15].app, "app17");
         EXPECT_STREQ(d.app_scenes[14].app, "app14");
       }},
      {with("\"scenes\":[", "\"scenes\":{},\"s\":["), 1, "scenes is not an array (defaults)", nullptr},
      {with(kScene2, "7," + kScene2), 1, "scene 2 is not an object (defaults)",
       [](const RigDoc& d) {
         const RigScene& s = d.scenes[1];
         EXPECT_TRUE(s.fresh && s.channel_count == 2 && s.author[0] == 0 && s.updated_at == 0.0);
         EXPECT_STREQ(d.scenes[2].id, "S-2");  // the rest keep their places
         EXPECT_STREQ(rig_text_str(&d.extra_scenes), scene(4, channel(0) + "," + channel(1)).c_str());
       }},
      {with("\"scenes\":[", "\"scenes\":[" + scene(1, channel(0)) + "],\"old\":["), 1, "only 1 of 4 scenes (the rest are defaults)",
       [](const RigDoc& d) { EXPECT_EQ(d.scenes[3].channel_count, 2); }},
      {with("\"id\":\"S-1\"", "\"id\":\"\""), 1, "scene 1: id is not a usable UUID (a new one minted)",
       [](const RigDoc& d) { EXPECT_EQ(strlen(d.scenes[0].id), 36u); }},
      {with("\"id\":\"S-1\",", ""), 0, "", [](const RigDoc& d) { EXPECT_EQ(strlen(d.scenes[0].id), 36u); }},
      {with("\"take 1\"", "\"" + name64 + "\""), 1, "scene 1: name is longer than 63 bytes (cut)",
       nullptr},
      {with("\"glyph\":\"x\"", "\"glyph\":\"x\",\"fresh\":1"), 1, "scene 1: fresh is not true / false",
       nullptr},
      {with("\"masterGain\":1", "\"masterGain\":\"loud\""), 1, "scene 1: masterGain is not a number",
       nullptr},
      {with("\"masterGain\":1", "\"masterGain\":-1e999"), 1,
       "scene 1: masterGain is out of range (clamped)",
       [](const RigDoc& d) { EXPECT_EQ(d.scenes[0].master_gain, 0.0f); }},
      {with("\"updatedAt\":5.5", "\"updatedAt\":null"), 1, "scene 1: updatedAt is not a number", nullptr},
      {with("\"channels\":[{", "\"channels\":{},\"c\":[{"), 1, "scene 1: channels is not an array",
       [](const RigDoc& d) { EXPECT_EQ(d.scenes[0].channel_count, 0); }},
      {with("[" + channel(0), "[[]," + channel(0)), 1,
       "scene 1: channel entry 0 is not an object (kept verbatim)", nullptr},
      {with("\"kind\":{\"input\":{\"channel\":0}}", "\"kind\":{\"input\":{},\"x\":1}"), 1,
       "scene 1: channel entry 0 has no single-member kind (kept verbatim)", nullptr},
      {with("\"kind\":{\"input\":{\"channel\":0}}", "\"kind\":{\"output\":{\"channel\":0}}"), 1,
       "scene 1: input 1 is missing (defaults)",
       [](const RigDoc& d) { EXPECT_EQ(d.scenes[0].channels[0].gain, 1.0f); }},
      {with("\"kind\":{\"input\":{\"channel\":0}}", "\"kind\":{\"input\":{\"channel\":-1}}"), 1,
       "scene 1: channel entry 0 is an input with no usable channel (kept verbatim)", nullptr},
      {with("\"pan\":0.25", "\"pan\":2"), 1, "scene 1 input 1: pan is out of range (clamped)",
       [](const RigDoc& d) { EXPECT_EQ(d.scenes[0].channels[0].pan, 1.0f); }},
      {with("\"muted\":false", "\"muted\":0"), 1, "scene 1 input 1: muted is not true / false", nullptr},
      {with("\"label\":\"in 1\"", "\"label\":\"\\ud800\""), 1,
       "scene 1 input 1: label had invalid text (replaced)", nullptr},
      {with(kGainOne, kGainOne + ",\"gain\":2"), 1,
       "scene 1 input 1: \"gain\" appears twice (the first kept)", nullptr},
      {with(channel(1), channel(1, ",\"fx\":{\"a\": 1}")), 0, "",
       [](const RigDoc& d) { EXPECT_STREQ(rig_text_str(&d.scenes[0].channels[1].extra), "\"fx\":{\"a\": 1}"); }},
      {with("\"link\":false}", "\"link\":false,\"link\":true}"), 1,
       "scene 1 input 1: \"link\" appears twice (the first kept)", nullptr},
      {with("\"glyph\":\"x\"", "\"glyph\":\"\xE2\x98\x80\xEF\xB8\x8F\""), 1, "out-of-range values repaired",
       [](const RigDoc& d) { EXPECT_STREQ(d.scenes[0].glyph, "\xE2\x98\x80"); }},
      {with(channel(1), channel(1).replace(channel(1).find("\"link\":false"), 12, "\"link\":true")), 1,
       "out-of-range values repaired", [](const RigDoc& d) { EXPECT_FALSE(d.scenes[0].channels[1].link); }},
      {with("\"writer\":{", "\"writer\":1,\"w\":{"), 1, "writer is not an object", nullptr},
      {with("\"at\":100.5", "\"at\":100.5,\"os\":\"x\""), 0, "",
       [](const RigDoc& d) { EXPECT_EQ(encode(&d).find("\"os\""), std::string::npos); }},
      {with("\"00000000000000aa\"", "\"00000000000000aab\""), 1,
       "writer: instance is longer than 16 bytes (cut)", nullptr},
      {with("\"at\":100.5", "\"at\":true"), 1, "writer: at is not a number", nullptr},
  };
}

TEST(RigFormat, DecodeTable) {
  DocPtr doc(rig_doc_new());
  char msg[512];
  int i = 0;
  for (const Row& r : rows()) {
    SCOPED_TRACE("row " + std::to_string(i++) + ": " + r.text.substr(0, 300));
    EXPECT_EQ(rig_decode(r.text.data(), r.text.size(), doc.get(), msg, sizeof msg), r.code);
    EXPECT_EQ(std::string(msg), r.msg);
    if (r.check) r.check(*doc);
  }
}

// Whatever a row decoded to encodes and reads back to itself, foreign members included.
TEST(RigFormat, RoundTripEveryDecodedRow) {
  DocPtr a(rig_doc_new()), b(rig_doc_new());
  char msg[512];
  int i = 0;
  for (const Row& r : rows()) {
    SCOPED_TRACE("row " + std::to_string(i++) + ": " + r.text.substr(0, 300));
    int code = rig_decode(r.text.data(), r.text.size(), a.get(), msg, sizeof msg);
    if (code > RIG_DECODE_READ_ONLY) continue;
    std::string once = encode(a.get());
    int again = rig_decode(once.data(), once.size(), b.get(), msg, sizeof msg);
    if (a->read_only) {
      EXPECT_EQ(again, RIG_DECODE_READ_ONLY);
    } else if (std::string(msg).find("(kept verbatim)") != std::string::npos) {
      EXPECT_EQ(again, RIG_DECODE_REPAIRED);  // verbatim entries stay and are reported again
    } else {
      EXPECT_EQ(again, RIG_DECODE_OK) << msg;
    }
    EXPECT_EQ(encode(b.get()), once);
  }
}

TEST(RigFormat, EncodesMemberOrderExactly) {
  DocPtr doc(rig_doc_new());
  ASSERT_EQ(rig_doc_init_for_device(doc.get(), "", "jack", "Box", 1, nullptr, 0, "me", 2.5), 0);
  for (int s = 0; s < RIG_SCENES; s++) {
    snprintf(doc->scenes[s].id, RIG_UUID_BYTES, "S%d", s);
    strcpy(doc->scenes[s].channels[0].id, "C");
  }
  strcpy(doc->channel_names[2], "3rd");  // written past the channel count, with the gap
  strcpy(doc->scenes[0].channels[0].label, "a\"b\\\n\x01\xFF/");
  rig_text_set(&doc->scenes[0].channels[0].extra, "\"q\":1", 5);
  rig_text_set(&doc->scenes[1].extra_channels, "7", 1);
  rig_text_set(&doc->extra_root, "\"z\":[]", 6);
  std::string scene_tail = ",\"masterGain\":1,\"updatedAt\":2.5,\"author\":\"me\",\"channels\":[";
  std::string ch = "{\"id\":\"C\",\"kind\":{\"input\":{\"channel\":0}},\"label\":\"\",\"gain\":1,"
                   "\"pan\":0,\"muted\":false,\"link\":false}";
  std::string want =
      "{\"format\":\"seaglass.rig\",\"version\":1,\"rev\":0,\"key\":\"jack:Box\",\"device\":{\"api\":"
      "\"jack\",\"name\":\"Box\",\"channels\":1,\"channelNames\":[\"\",\"\",\"3rd\"]},"
      "\"activeScene\":0,\"scenes\":[{\"id\":\"S0\",\"name\":\"scene 1\",\"glyph\":\"\xE2\x99\x97\"" +
      scene_tail +
      "{\"id\":\"C\",\"kind\":{\"input\":{\"channel\":0}},\"label\":\"a\\\"b\\\\\\n\\u0001\xEF\xBF\xBD/"
      "\",\"gain\":1,\"pan\":0,\"muted\":false,\"link\":false,\"q\":1}]},{\"id\":\"S1\",\"name\":"
      "\"scene 2\",\"glyph\":\"\xE2\x9D\xA6\",\"fresh\":true" +
      scene_tail + ch + ",7]}";
  std::string got = encode(doc.get());
  EXPECT_EQ(got.substr(0, want.size()), want);
  std::string tail =
      "}]}],\"writer\":{\"app\":\"\",\"platform\":\"\",\"version\":\"\",\"instance\":\"\",\"at\":0},"
      "\"z\":[]}";
  EXPECT_EQ(got.substr(got.size() - tail.size()), tail);
  EXPECT_EQ(got.find("appScenes"), std::string::npos);

  doc->app_scene_count = 1;
  strcpy(doc->app_scenes[0].app, "other");
  doc->app_scenes[0].at = 1e21;
  got = encode(doc.get());
  EXPECT_NE(got.find(",\"activeScene\":0,\"appScenes\":{\"other\":{\"scene\":0,\"at\":1e+21}},"
                     "\"scenes\":["),
            std::string::npos);

  // Measured first, then cut: the length stays whole and the cut part matches.
  char small[41];
  memset(small, '#', sizeof small);
  EXPECT_EQ(rig_encode(doc.get(), small, 40), got.size());
  EXPECT_EQ(std::string(small, 40), got.substr(0, 40));
  EXPECT_EQ(small[40], '#');
}

TEST(RigFormat, NumbersAndStringsWritten) {
  struct {
    double v;
    bool is_float;
    const char* want;
  } cases[] = {
      {0.5, true, "0.5"},           {0.1, true, "0.1"},
      {3.9810717, true, "3.9810717"}, {16777216.0, true, "16777216"},
      {1e21, false, "1e+21"},       {1e20, false, "100000000000000000000"},
      {1e-7, false, "0.0000001"},   {1e-8, false, "1e-8"},
      {1.5e-10, false, "1.5e-10"},  {123456789012.0, false, "123456789012"},
      {-0.0, false, "-0"},          {-0.0, true, "-0"},
      {NAN, false, "0"},            {-INFINITY, true, "0"},
      {0.1, false, "0.1"},          {123.456, false, "123.456"},
      {5e-324, false, "5e-324"},    {1.7976931348623157e308, false, "1.7976931348623157e+308"},
      {-2.5e25, false, "-2.5e+25"}, {786100000.25, false, "786100000.25"},
  };
  for (const auto& c : cases) {
    char buf[64] = {};
    RigJsonOut o{buf, sizeof buf - 1, 0};
    if (c.is_float)
      rigjson_float_out(&o, (float)c.v);
    else
      rigjson_double_out(&o, c.v);
    EXPECT_STREQ(buf, c.want) << c.v;
    RigJsonValue v{buf, 0, (uint32_t)o.pos, RIGJSON_NUMBER};
    double d;
    float f;
    if (!std::isfinite(c.v)) continue;
    EXPECT_TRUE(c.is_float ? rigjson_float(&v, &f) && f == (float)c.v
                           : rigjson_double(&v, &d) && d == c.v);
  }
  // Any finite bit pattern reads back to itself.
  uint64_t state = 12345;
  for (int i = 0; i < 200000; i++) {
    uint64_t bits = rig_splitmix64(&state);
    double d = 0, back_d = -1;
    float f = 0, back_f = -1;
    memcpy(&d, &bits, sizeof d);
    memcpy(&f, &bits, sizeof f);
    if (i % 4 == 0) d = (double)(bits % 100000000) / 1000.0;  // short decimals too
    if (i % 4 == 1) f = (float)(bits % 1000000) / 100.0f;
    char buf[64];
    RigJsonOut o{buf, sizeof buf, 0};
    if (std::isfinite(d)) {
      rigjson_double_out(&o, d);
      RigJsonValue v{buf, 0, (uint32_t)o.pos, RIGJSON_NUMBER};
      ASSERT_TRUE(rigjson_double(&v, &back_d) && back_d == d) << std::string(buf, o.pos);
    }
    o.pos = 0;
    if (std::isfinite(f)) {
      rigjson_float_out(&o, f);
      RigJsonValue v{buf, 0, (uint32_t)o.pos, RIGJSON_NUMBER};
      ASSERT_TRUE(rigjson_float(&v, &back_f) && back_f == f) << std::string(buf, o.pos);
      std::string digits(buf, std::min(o.pos, std::string(buf, o.pos).find('e')));
      digits.erase(std::remove_if(digits.begin(), digits.end(), [](char c) { return !isdigit(c); }),
                   digits.end());
      digits.erase(0, digits.find_first_not_of('0'));
      digits.erase(digits.find_last_not_of('0') + 1);
      ASSERT_LE(digits.size(), 9u) << std::string(buf, o.pos);  // float precision, no more
    }
  }
  char buf[64] = {};
  RigJsonOut o{buf, sizeof buf - 1, 0};
  rigjson_string_out(&o, "\b\t\f\r\x1F\xE2\x82 \xC3\xA9");  // a broken sequence is one U+FFFD
  EXPECT_STREQ(buf, "\"\\b\\t\\f\\r\\u001f\xEF\xBF\xBD \xC3\xA9\"");
}

TEST(RigJson, ReaderErrors) {
  std::string deep(65, '['), ok_deep = std::string(64, '[') + std::string(64, ']');
  struct {
    std::string text;
    const char* msg;
  } cases[] = {
      {"", "no JSON value (empty)"},
      {" \r\n\t", "no JSON value (empty)"},
      {"\xEF\xBB\xBF ", "no JSON value (empty)"},
      {"{", "truncated at byte 1"},
      {"[1,", "truncated at byte 3"},
      {"\"ab\\u12", "truncated at byte 7"},
      {"tru", "truncated at byte 3"},
      {"-", "truncated at byte 1"},
      {"1.", "truncated at byte 2"},
      {"[1e+", "truncated at byte 4"},
      {"{\"a\"", "truncated at byte 4"},
      {"{}x", "unexpected 'x' at byte 2 (after the value)"},
      {"1 2", "unexpected '2' at byte 2 (after the value)"},
      {"\"a\"\x01", "unexpected byte 0x01 at byte 3 (after the value)"},
      {"[1 2]", "unexpected '2' at byte 3"},
      {"{\"a\" 1}", "unexpected '1' at byte 5"},
      {"{,}", "unexpected ',' at byte 1"},
      {"[1,]", "unexpected ']' at byte 3"},
      {"[01]", "unexpected '1' at byte 2"},
      {"[-a]", "unexpected 'a' at byte 2"},
      {"[1.e5]", "unexpected 'e' at byte 3"},
      {"[\"a\nb\"]", "unexpected byte 0x0A at byte 3"},
      {"[\xC3\xA9]", "unexpected byte 0xC3 at byte 1"},
      {"\"\\x\"", "unexpected 'x' at byte 2"},
      {"\"\\u12G4\"", "unexpected 'G' at byte 5"},
      {"[nul]", "unexpected ']' at byte 4"},
      {"{\"a\":1]", "unexpected ']' at byte 6"},
      {"\xEF\xBB\xBF{]", "unexpected ']' at byte 4"},
      {"['a']", "unexpected ''' at byte 1"},
      {deep, "nested deeper than 64 at byte 64"},
      {ok_deep, ""},
  };
  for (const auto& c : cases) {
    char msg[128] = "unset";
    RigJsonValue root;
    int rc = rigjson_validate(c.text.data(), c.text.size(), &root, msg, sizeof msg);
    EXPECT_EQ(rc, c.msg[0] ? -1 : 0) << c.text;
    EXPECT_STREQ(msg, c.msg) << c.text;
  }
}

TEST(RigJson, Accessors) {
  const std::string text =
      " {\"i\":[1.0,1e2,-0,9223372036854775807,9223372036854775808,1.5,9.3e18,-9.1e18,\"1\"],"
      "\"s\":[\"\\ud83d\\ude00\\u00e9\",\"\\udc00x\",\"a\\u0000\",\"\xC3\xA9\xC3\xA9\",\"a\\/\\\"\"],"
      "\"n\":[1e999,-1e999,1e-999,3.4e39], \"e\" : {} } ";
  RigJsonValue root, name, v;
  char msg[64];
  ASSERT_EQ(rigjson_validate(text.data(), text.size(), &root, msg, sizeof msg), 0);
  EXPECT_EQ(root.type, RIGJSON_OBJECT);
  EXPECT_EQ(root.start, 1u);
  EXPECT_EQ(rigjson_count(&root), 4);
  RigJsonIter it, inner;
  rigjson_iter(&root, &it);

  ASSERT_TRUE(rigjson_next(&it, &name, &v));
  EXPECT_TRUE(rigjson_string_equals(&name, "i") && !rigjson_string_equals(&name, "is"));
  const bool is_int[] = {true, true, true, true, false, false, false, true, false};
  const int64_t ints[] = {1, 100, 0, INT64_MAX, 0, 0, 0, -9100000000000000000LL, 0};
  rigjson_iter(&v, &inner);
  for (int k = 0; k < 9; k++) {
    RigJsonValue e;
    ASSERT_TRUE(rigjson_next(&inner, nullptr, &e));
    int64_t x = 0;
    EXPECT_EQ(rigjson_int(&e, &x), is_int[k]) << k;
    EXPECT_EQ(x, ints[k]) << k;
  }
  EXPECT_FALSE(rigjson_next(&inner, nullptr, &v));

  ASSERT_TRUE(rigjson_next(&it, &name, &v));
  struct {
    size_t size;
    const char* want;
    bool cut, replaced;
  } strings[] = {
      {16, "\xF0\x9F\x98\x80\xC3\xA9", false, false}, {16, "\xEF\xBF\xBDx", false, true},
      {16, "a\xEF\xBF\xBD", false, true},            {4, "\xC3\xA9", true, false},
      {16, "a/\"", false, false},
  };
  rigjson_iter(&v, &inner);
  for (const auto& s : strings) {
    RigJsonValue e;
    ASSERT_TRUE(rigjson_next(&inner, nullptr, &e));
    char out[16];
    bool cut, replaced;
    ASSERT_TRUE(rigjson_string(&e, out, s.size, &cut, &replaced));
    EXPECT_STREQ(out, s.want);
    EXPECT_EQ(cut, s.cut) << s.want;
    EXPECT_EQ(replaced, s.replaced) << s.want;
  }

  ASSERT_TRUE(rigjson_next(&it, &name, &v));
  const double doubles[] = {INFINITY, -INFINITY, 0.0, 3.4e39};
  rigjson_iter(&v, &inner);
  for (double want : doubles) {
    RigJsonValue e;
    double d;
    float f;
    ASSERT_TRUE(rigjson_next(&inner, nullptr, &e));
    EXPECT_TRUE(rigjson_double(&e, &d) && d == want);
    EXPECT_TRUE(rigjson_float(&e, &f) && f == (float)want);
  }
  ASSERT_TRUE(rigjson_next(&it, &name, &v));
  EXPECT_TRUE(rigjson_string_equals(&name, "e") && v.type == RIGJSON_OBJECT && v.length == 2);
  EXPECT_FALSE(rigjson_next(&it, &name, &v));
  EXPECT_FALSE(rigjson_next(&it, &name, &v));  // and stays done
}

TEST(RigFormat, RepairBringsFieldsIntoRange) {
  DocPtr doc(rig_doc_new());
  rig_doc_init_for_device(doc.get(), "", "alsa", "Mic", 4, nullptr, 0, "me", 1.0);
  EXPECT_FALSE(rig_doc_repair(doc.get()));
  RigDoc& d = *doc;
  d.version = 0;
  d.rev = -3;
  d.channels = 0;
  d.scenes[2].channel_count = 70;
  d.scenes[0].master_gain = NAN;
  d.scenes[0].channels[0].gain = INFINITY;
  d.scenes[0].channels[2].gain = 9.0f;
  d.scenes[0].channels[1].pan = -3.0f;
  d.scenes[0].channels[3].link = true;
  d.scenes[0].id[0] = 0;
  d.app_scene_count = 3;
  d.app_scenes[0] = {"a", 1, 10.0};
  d.app_scenes[1] = {"b", 7, NAN};
  d.app_scenes[2] = {"a", 3, 20.0};
  const char* glyphs[][2] = {
      {"\xE2\x98\x80\xEF\xB8\x8F", "\xE2\x98\x80"}, {"ab", "a"}, {"\x07", nullptr}, {"", nullptr},
      {"\xEF\xB8\x8F", nullptr}, {"\xFF", "\xEF\xBF\xBD"},
  };
  for (const auto& g : glyphs) {
    strcpy(d.scenes[1].glyph, g[0]);
    EXPECT_TRUE(rig_doc_repair(doc.get())) << g[0];
    EXPECT_STREQ(d.scenes[1].glyph, g[1] ? g[1] : rig_default_glyph(1)) << g[0];
  }
  EXPECT_TRUE(d.version == 1 && d.rev == 0 && !d.read_only);
  EXPECT_EQ(d.scenes[2].channel_count, 64);
  EXPECT_EQ(d.channels, 64);  // the largest scene count
  EXPECT_TRUE(d.scenes[0].master_gain == 1.0f && d.scenes[0].channels[0].gain == 1.0f);
  EXPECT_EQ(d.scenes[0].channels[2].gain, RIG_MAX_GAIN);
  EXPECT_TRUE(d.scenes[0].channels[1].pan == -1.0f && !d.scenes[0].channels[3].link);
  EXPECT_EQ(strlen(d.scenes[0].id), 36u);
  ASSERT_EQ(d.app_scene_count, 2);
  EXPECT_TRUE(d.app_scenes[0].scene == 3 && d.app_scenes[0].at == 20.0);
  EXPECT_TRUE(d.app_scenes[1].scene == 0 && d.app_scenes[1].at == 0.0);
  d.version = 3;
  EXPECT_TRUE(rig_doc_repair(doc.get()) && d.read_only);
  EXPECT_FALSE(rig_doc_repair(doc.get()));
}

// Exhaustion is real: the child caps its address space, then decodes a file whose foreign
// member cannot be kept.
TEST(RigFormat, OutOfMemoryReportsAndResets) {
#if defined(KELP_SANITIZED)
  GTEST_SKIP() << "the sanitizers reserve more address space than the cap allows";
#else
  std::string text = with("\"rev\":7", "\"rev\":7,\"blob\":\"" + std::string(900000, 'b') + "\"");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    DocPtr doc(rig_doc_new());
    FILE* f = fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (!f || fscanf(f, "%lu", &pages) != 1) _exit(10);
    fclose(f);
    struct rlimit cap = {};
    cap.rlim_cur = cap.rlim_max = pages * (rlim_t)sysconf(_SC_PAGESIZE) + (256 << 10);
    if (setrlimit(RLIMIT_AS, &cap) != 0) _exit(11);
    char msg[64];
    int code = rig_decode(text.data(), text.size(), doc.get(), msg, sizeof msg);
    bool reset = doc->rev == 0 && doc->extra_root.len == 0 && strcmp(msg, "out of memory") == 0;
    _exit(code == RIG_DECODE_NO_MEMORY && reset ? 0 : 20 + code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

}  // namespace
