// The rig document and its value helpers: decibels and nudges, the fader taper, keys and tags,
// random ids, the 2001 clock, and documents made for a device and copied.
#include "rig/rig_doc.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <set>
#include <string>

#include "rig/rig_test_util.h"

using rig_test::DocPtr;

// --- Values -----------------------------------------------------------------------------

TEST(RigValues, DecibelsAndNudge) {
  EXPECT_EQ(rig_db_to_gain(0.0), 1.0f);
  EXPECT_EQ(rig_db_to_gain(-144.0), 0.0f);
  EXPECT_EQ(rig_db_to_gain(std::nan("")), 0.0f);
  EXPECT_NEAR(rig_db_to_gain(12.0), RIG_MAX_GAIN, 1e-6);
  EXPECT_EQ(rig_gain_to_db(1.0f), 0.0);
  EXPECT_TRUE(std::isinf(rig_gain_to_db(0.0f)) && rig_gain_to_db(0.0f) < 0);

  EXPECT_EQ(rig_gain_nudge(0.9f, 1.0), 1.0f);  // crosses 0 dB: lands on unity exactly
  EXPECT_EQ(rig_gain_nudge(1.1f, -1.0), 1.0f);
  EXPECT_NEAR(rig_gain_nudge(1.0f, 1.0), 1.1220185f, 1e-6);
  EXPECT_EQ(rig_gain_nudge(RIG_MAX_GAIN, 1.0), RIG_MAX_GAIN);
  EXPECT_EQ(rig_gain_nudge(100.0f, 3.0), RIG_MAX_GAIN);
  EXPECT_EQ(rig_gain_nudge(0.0f, 1.0), rig_db_to_gain(-72.0));
  EXPECT_EQ(rig_gain_nudge(0.0f, -1.0), 0.0f);
  EXPECT_EQ(rig_gain_nudge(rig_db_to_gain(-71.5), -0.5), rig_db_to_gain(-72.0));
  EXPECT_EQ(rig_gain_nudge(rig_db_to_gain(-72.0), -0.5), 0.0f);
  EXPECT_EQ(rig_gain_nudge(0.5f, std::nan("")), 0.5f);
}

TEST(RigValues, TaperPointsAndInverse) {
  const double db[] = {-72, -30, -12, 0, 12};
  const double pos[] = {0.02, 0.25, 0.5, 0.75, 1.0};
  for (int i = 0; i < 5; i++) EXPECT_NEAR(rig_taper_position(db[i]), pos[i], 1e-12) << db[i];
  EXPECT_EQ(rig_taper_position(-72.5), 0.0);
  EXPECT_EQ(rig_taper_position(-200), 0.0);
  EXPECT_EQ(rig_taper_position(std::nan("")), 0.0);
  EXPECT_EQ(rig_taper_position(40), 1.0);
  EXPECT_NEAR(rig_taper_position(-6), 0.625, 1e-12);
  EXPECT_EQ(rig_taper_gain(0.0199), 0.0f);
  EXPECT_EQ(rig_taper_gain(std::nan("")), 0.0f);
  EXPECT_EQ(rig_taper_gain(1.0), RIG_MAX_GAIN);
  EXPECT_EQ(rig_taper_gain(0.75), 1.0f);
  for (double p = 0.021; p < 1.0; p += 0.01)
    EXPECT_NEAR(rig_taper_position(rig_gain_to_db(rig_taper_gain(p))), p, 1e-5) << p;
}

TEST(RigValues, KeyRuleAndTag) {
  char key[RIG_KEY_BYTES];
  ASSERT_EQ(rig_key("wasapi", " \tMicrophone (2- USB Audio)\n", key), 0);
  EXPECT_STREQ(key, "wasapi:Microphone (USB Audio)");
  ASSERT_EQ(rig_key("mme", "In (12- A) (3- B) (4-C) (- D)", key), 0);
  EXPECT_STREQ(key, "mme:In (A) (B) (4-C) (- D)");
  ASSERT_EQ(rig_key("ds", "Bad \xFF name", key), 0);
  EXPECT_STREQ(key, "ds:Bad \xEF\xBF\xBD name");
  std::string fits(195, 'x'), too_long(196, 'x');
  EXPECT_EQ(rig_key("mme", fits.c_str(), key), 0);
  EXPECT_EQ(strlen(key), 199u);
  EXPECT_EQ(rig_key("mme", too_long.c_str(), key), -1);
  EXPECT_STREQ(key, "");
  // An API code longer than its own field still keys whole.
  ASSERT_EQ(rig_key("api1234567890123456", "Mic", key), 0);
  EXPECT_STREQ(key, "api1234567890123456:Mic");

  EXPECT_EQ(rig_tag(""), 0x811C9DC5u);
  EXPECT_EQ(rig_tag("a"), 0xE40C292Cu);
  EXPECT_EQ(rig_tag("foobar"), 0xBF9CF968u);
}

TEST(RigValues, RandomUuidsAndInstanceIds) {
  uint64_t state = 0;
  EXPECT_EQ(rig_splitmix64(&state), 0xE220A8397B1DCDAFull);
  EXPECT_EQ(rig_splitmix64(&state), 0x6E789E6AA1B965F4ull);
  EXPECT_EQ(rig_splitmix64(&state), 0x06C45D188009454Full);

  std::set<std::string> seen;
  for (int i = 0; i < 200; i++) {
    char u[RIG_UUID_BYTES];
    rig_uuid(u);
    ASSERT_EQ(strlen(u), 36u);
    for (int k = 0; k < 36; k++) {
      bool dash = k == 8 || k == 13 || k == 18 || k == 23;
      ASSERT_TRUE(dash ? u[k] == '-' : strchr("0123456789ABCDEF", u[k]) != nullptr) << u;
    }
    EXPECT_EQ(u[14], '4');
    EXPECT_NE(strchr("89AB", u[19]), nullptr) << u;
    seen.insert(u);
  }
  EXPECT_EQ(seen.size(), 200u);
  char id[RIG_INSTANCE_BYTES];
  rig_instance_id(id);
  ASSERT_EQ(strlen(id), 16u);
  for (char c : std::string(id)) EXPECT_TRUE(isdigit((unsigned char)c) || (c >= 'a' && c <= 'f'));
  EXPECT_FALSE(rig_random_seed(42));  // already seeded by the values above
}

TEST(RigValues, ClockCountsFrom2001AndCanBePinned) {
  double expect = (double)time(nullptr) - 978307200.0;
  EXPECT_NEAR(rig_now(), expect, 2.0);
  rig_set_frame_time(12345.5);
  EXPECT_EQ(rig_now(), 12345.5);
  rig_set_frame_time(std::nan(""));
  EXPECT_NEAR(rig_now(), expect, 2.0);
}

// --- Documents --------------------------------------------------------------------------

TEST(RigDocs, NewRigForADevice) {
  DocPtr doc(rig_doc_new());
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->version, 1);
  EXPECT_STREQ(doc->scenes[2].name, "scene 3");
  EXPECT_STREQ(doc->scenes[0].glyph, "\xE2\x99\x97");
  EXPECT_STREQ(doc->scenes[3].glyph, "\xE2\x98\xAF");
  EXPECT_EQ(doc->scenes[1].master_gain, 1.0f);

  char names[2][RIG_NAME_BYTES];
  memset(names[0], 'n', RIG_NAME_BYTES);  // not terminated: cut to 63 bytes
  strcpy(names[1], "Guitar");
  ASSERT_EQ(
      rig_doc_init_for_device(doc.get(), "", "wasapi", "  Mic (2- X) ", 4, names, 2, "kelp", 700.0),
      0);
  EXPECT_STREQ(doc->key, "wasapi:Mic (X)");
  EXPECT_STREQ(doc->device_name, "  Mic (2- X) ");
  EXPECT_EQ(doc->channels, 4);
  EXPECT_EQ(strlen(doc->channel_names[0]), 63u);
  EXPECT_STREQ(doc->channel_names[1], "Guitar");
  std::set<std::string> ids;
  for (int s = 0; s < RIG_SCENES; s++) {
    const RigScene& sc = doc->scenes[s];
    EXPECT_EQ(sc.fresh, s > 0);
    EXPECT_EQ(sc.updated_at, 700.0);
    EXPECT_STREQ(sc.author, "kelp");
    EXPECT_EQ(sc.channel_count, 4);
    ids.insert(sc.id);
    for (int c = 0; c < 4; c++) {
      EXPECT_EQ(sc.channels[c].muted, c > 1);
      EXPECT_EQ(sc.channels[c].link, c == 0);
      EXPECT_EQ(sc.channels[c].gain, 1.0f);
      ids.insert(sc.channels[c].id);
    }
  }
  EXPECT_EQ(ids.size(), 4u + 16u);

  rig_doc_init_for_device(doc.get(), "asio:Card", "asio", "Card", 2, nullptr, 0, "kelp", 0.0);
  EXPECT_FALSE(doc->scenes[0].channels[0].link);
  rig_doc_init_for_device(doc.get(), "k", "mme", "Card", 0, nullptr, 0, "kelp", 0.0);
  EXPECT_EQ(doc->channels, 1);
}

TEST(RigDocs, CopiesOwnTheirForeignText) {
  DocPtr a(rig_doc_new()), b(rig_doc_new());
  ASSERT_EQ(rig_text_set(&a->extra_root, "\"x\":1", 5), 0);
  ASSERT_EQ(rig_text_append(&a->extra_root, ",\"y\":2", 6), 0);
  RigText self = {nullptr, 0, 0};  // appending a text to itself survives its move
  ASSERT_EQ(rig_text_set(&self, "0123456789", 10), 0);
  for (int i = 0; i < 4; i++) ASSERT_EQ(rig_text_append(&self, self.data, self.len), 0);
  EXPECT_EQ(self.len, 160u);
  EXPECT_EQ(std::string(self.data + 150), "0123456789");
  rig_text_clear(&self);
  EXPECT_EQ(rig_text_set(&self, nullptr, 3), -1);
  ASSERT_EQ(rig_text_set(&a->scenes[2].channels[5].extra, "\"z\":3", 5), 0);
  ASSERT_EQ(rig_text_set(&b->extra_device, "\"old\":0", 7), 0);  // replaced by the copy
  ASSERT_EQ(rig_doc_copy(b.get(), a.get()), 0);
  rig_text_set(&a->extra_root, "\"gone\":0", 8);
  rig_doc_reset(a.get());
  EXPECT_STREQ(rig_text_str(&b->extra_root), "\"x\":1,\"y\":2");
  EXPECT_STREQ(rig_text_str(&b->scenes[2].channels[5].extra), "\"z\":3");
  EXPECT_STREQ(rig_text_str(&b->extra_device), "");
  EXPECT_STREQ(rig_text_str(&a->extra_root), "");
  rig_scene_reset(&b->scenes[2], 2);
  EXPECT_STREQ(rig_text_str(&b->scenes[2].channels[5].extra), "");
  EXPECT_STREQ(b->scenes[2].glyph, "\xE2\x99\xA8");
}
