// Damaged rig files: truncations, flipped bits, inserted bytes, huge numbers and deep nesting
// of a realistic file never crash the decoder, always come back with a code and a reason, and
// whatever decodes re-encodes to a file that decodes cleanly to the same encoding.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "rig/rig_format.h"
#include "rig/rig_test_util.h"

using rig_test::DocPtr;

namespace {

std::string encode(const RigDoc* doc) {
  std::string out(rig_encode(doc, nullptr, 0), '\0');
  rig_encode(doc, out.data(), out.size() + 1);
  return out;
}

void set_text(RigText* t, const char* s) {
  rig_text_set(t, s, strlen(s));
}

// Eight inputs with labels and names, two app scenes, and foreign members at every level.
std::string realistic_rig() {
  DocPtr doc(rig_doc_new());
  const char names[3][RIG_NAME_BYTES] = {"Vox", "Gtr \xC3\xA9", "Keys"};
  rig_doc_init_for_device(doc.get(), "", "alsa", "Scarlett 18i8", 8, names, 3, "kelp", 7.25e8);
  doc->rev = 42;
  doc->active_scene = 2;
  doc->app_scene_count = 2;
  doc->app_scenes[0] = {"kelp", 1, 7.5e8};
  doc->app_scenes[1] = {"sibling \"b\"", 3, 1e21};
  for (int s = 0; s < RIG_SCENES; s++) {
    RigScene& sc = doc->scenes[s];
    for (int c = 0; c < sc.channel_count; c++) {
      snprintf(sc.channels[c].label, RIG_NAME_BYTES, "ch %d\t\"%d\"", c, s);
      sc.channels[c].gain = 0.1f * (float)(c + 1);
      sc.channels[c].pan = c % 2 ? 0.5f : -0.5f;
    }
    set_text(&sc.channels[1].extra, "\"fx\":{\"rev\":[1,2.5e-3,null]}");
    set_text(&sc.extra_scene, "\"color\":\"#ff0\"");
    set_text(&sc.extra_channels, "{\"kind\":{\"midi\":{\"channel\":2}}}");
  }
  set_text(&doc->extra_root, "\"sync\":{\"peer\":\"x\",\"n\":[true,false]}");
  set_text(&doc->extra_device, "\"clock\":\"internal\"");
  strcpy(doc->writer_app, "kelp");
  strcpy(doc->writer_instance, "00000000deadbeef");
  doc->writer_at = 7.25e8 + 0.125;
  return encode(doc.get());
}

const char* const kHuge[] = {"1e999", "-1e999", "123456789012345678901234567890", "-0",
                             "9223372036854775807", "1e-400", "3.4028236e38", "2147483648"};

std::string mutate(const std::string& base, std::mt19937_64& rng) {
  std::string s = base;
  auto pick = [&](size_t n) { return n ? (size_t)(rng() % n) : 0; };
  int rounds = 1 + (int)pick(3);
  for (int r = 0; r < rounds; r++) {
    size_t at = pick(s.size() + 1);
    switch (pick(7)) {
      case 0:  // truncated
        s.resize(at);
        break;
      case 1:  // bit flips
        for (int k = 0; k < 1 + (int)pick(4) && !s.empty(); k++) s[pick(s.size())] ^= (char)(1 << pick(8));
        break;
      case 2:  // random bytes inserted
        for (int k = 0; k < 1 + (int)pick(6); k++) s.insert(s.begin() + (long)pick(s.size() + 1), (char)rng());
        break;
      case 3: {  // a number swapped for an extreme one
        size_t colon = s.find(':', at);
        if (colon != std::string::npos && colon + 1 < s.size() &&
            (isdigit((unsigned char)s[colon + 1]) || s[colon + 1] == '-')) {
          size_t end = colon + 1;
          while (end < s.size() && strchr("-+.eE0123456789", s[end])) end++;
          s.replace(colon + 1, end - colon - 1, kHuge[pick(8)]);
        }
        break;
      }
      case 4: {  // a value wrapped deep, sometimes past the limit
        size_t colon = s.find(':', at);
        if (colon == std::string::npos) break;
        int depth = 55 + (int)pick(15);
        s.insert(colon + 1, std::string((size_t)depth, '['));
        size_t end = s.find_first_of(",}", colon + 1 + (size_t)depth);
        if (end != std::string::npos) s.insert(end, std::string((size_t)depth, ']'));
        break;
      }
      case 5:  // a span deleted
        s.erase(at, pick(40));
        break;
      default:  // a span copied elsewhere (repeated members, stray values)
        if (!s.empty()) {
          size_t from = pick(s.size());
          std::string piece = s.substr(from, 1 + pick(60));
          s.insert(pick(s.size() + 1), piece);
        }
    }
  }
  return s;
}

TEST(RigFuzz, DamagedFilesDecodeOrFailCleanly) {
  const std::string base = realistic_rig();
  DocPtr a(rig_doc_new()), b(rig_doc_new());
  char msg[256], msg2[256];
  ASSERT_EQ(rig_decode(base.data(), base.size(), a.get(), msg, sizeof msg), RIG_DECODE_OK) << msg;
  ASSERT_EQ(encode(a.get()), base);

  std::mt19937_64 rng(0x5EA61A55);
  int codes[6] = {};
  for (int i = 0; i < 20000; i++) {
    std::string text = mutate(base, rng);
    int code = rig_decode(text.data(), text.size(), a.get(), msg, sizeof msg);
    ASSERT_TRUE(code >= RIG_DECODE_OK && code <= RIG_DECODE_NO_MEMORY) << text;
    codes[code]++;
    ASSERT_EQ(msg[0] != 0, code != RIG_DECODE_OK) << code << " " << msg << "\n" << text;
    if (code > RIG_DECODE_READ_ONLY) continue;

    std::string once = encode(a.get());
    int again = rig_decode(once.data(), once.size(), b.get(), msg2, sizeof msg2);
    if (a->read_only) {
      ASSERT_EQ(again, RIG_DECODE_READ_ONLY) << msg2 << "\n" << text;
    } else if (again != RIG_DECODE_OK) {
      // Unusable channel entries stay verbatim, so they are reported on every read.
      ASSERT_EQ(again, RIG_DECODE_REPAIRED) << msg2 << "\n" << text;
      ASSERT_NE(strstr(msg2, "(kept verbatim)"), nullptr) << msg2 << "\n" << text;
    }
    ASSERT_EQ(encode(b.get()), once) << text;
  }
  // The mutations reach every outcome a damaged file can have.
  EXPECT_GT(codes[RIG_DECODE_OK], 0);
  EXPECT_GT(codes[RIG_DECODE_REPAIRED], 1000);
  EXPECT_GT(codes[RIG_DECODE_NOT_A_RIG], 0);
  EXPECT_GT(codes[RIG_DECODE_UNREADABLE], 1000);
}

}  // namespace
