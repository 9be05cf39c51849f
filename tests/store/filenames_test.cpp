#include "store/filenames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string sidecar(const std::string& title, size_t size = 1024) {
  std::string buf(size, '\x55');
  EXPECT_EQ(sidecar_wav_name(title.c_str(), buf.data(), size), 0) << title;
  return buf.c_str();
}

std::string exported(const std::string& title, bool loop, size_t size = 1024) {
  std::string buf(size, '\x55');
  EXPECT_EQ(export_wav_name(title.c_str(), loop, buf.data(), size), 0) << title;
  return buf.c_str();
}

std::string repeat(const std::string& s, int n) {
  std::string r;
  for (int i = 0; i < n; i++) r += s;
  return r;
}

bool valid_utf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = (unsigned char)s[i];
    size_t need = c < 0x80                ? 1
                  : c >= 0xC2 && c < 0xE0 ? 2
                  : c >= 0xE0 && c < 0xF0 ? 3
                  : c >= 0xF0 && c < 0xF5 ? 4
                                          : 0;
    if (!need || i + need > s.size()) return false;
    for (size_t k = 1; k < need; k++)
      if (((unsigned char)s[i + k] & 0xC0) != 0x80) return false;
    i += need;
  }
  return true;
}

// Runs each side-car case with ICU's categories and with the built-in table.
class SidecarName : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    filename_force_builtin(GetParam());
    if (!GetParam() && !filename_have_icu()) GTEST_SKIP() << "built without ICU";
  }
  void TearDown() override { filename_force_builtin(false); }
};

}  // namespace

TEST_P(SidecarName, KeepsLettersDigitsAndMarks) {
  EXPECT_EQ(sidecar("Recording \xC2\xB7 Mar 5 \xC2\xB7 3:07PM"), "Recording___Mar_5___3_07PM.wav");
  EXPECT_EQ(sidecar(""), "recording.wav");
  EXPECT_EQ(sidecar("a/b\\c:d*e?f"), "a_b_c_d_e_f.wav");
  EXPECT_EQ(sidecar("!!!"), "___.wav");
  EXPECT_EQ(sidecar("Caf\xC3\xA9 \xD9\xA3"), "Caf\xC3\xA9_\xD9\xA3.wav");  // é, Arabic-Indic 3
  EXPECT_EQ(sidecar("e\xCC\x81"), "e\xCC\x81.wav");                        // e + combining acute
  EXPECT_EQ(sidecar("\xE4\xB8\xAD\xE6\x96\x87"), "\xE4\xB8\xAD\xE6\x96\x87.wav");
  // Invalid UTF-8 becomes U+FFFD, one per byte, which is then replaced like any symbol.
  EXPECT_EQ(sidecar("a\xFF"
                    "b\xC3"),
            "a_b_.wav");
  EXPECT_EQ(sidecar("\xC0\x80x"), "__x.wav");            // overlong NUL
  EXPECT_EQ(sidecar("\xED\xA0\x80y"), "___y.wav");       // a surrogate
  EXPECT_EQ(sidecar("\xF4\x90\x80\x80z"), "____z.wav");  // above U+10FFFF
  EXPECT_EQ(sidecar("\xE2\x82"), "__.wav");              // cut short
}

TEST_P(SidecarName, CountsUserPerceivedCharacters) {
  EXPECT_EQ(sidecar(repeat("a", 60)), repeat("a", 40) + ".wav");
  EXPECT_EQ(sidecar(repeat("a", 40)), repeat("a", 40) + ".wav");
  // A letter with two combining marks is one character.
  const std::string accented = "o\xCC\x81\xCC\xA3";
  EXPECT_EQ(sidecar(repeat(accented, 45)), repeat(accented, 40) + ".wav");
  // Precomposed syllables: each is a character (LV and LVT alike).
  const std::string ga = "\xEA\xB0\x80", gak = "\xEA\xB0\x81";
  EXPECT_EQ(sidecar(repeat(ga + gak, 25)), repeat(ga + gak, 20) + ".wav");
  // Conjoining jamo: L V T is one character, L L V too; LV followed by T continues.
  const std::string l = "\xE1\x84\x80", v = "\xE1\x85\xA1", t = "\xE1\x86\xA8";
  EXPECT_EQ(sidecar(repeat(l + v + t, 45)), repeat(l + v + t, 40) + ".wav");
  EXPECT_EQ(sidecar(repeat(l + l + v, 45)), repeat(l + l + v, 40) + ".wav");
  EXPECT_EQ(sidecar(repeat(ga + t, 45)), repeat(ga + t, 40) + ".wav");
  // ...but T L is two, so 40 of them end after 20 pairs; V T is one (V takes a T).
  EXPECT_EQ(sidecar(repeat(t + l, 30)), repeat(t + l, 20) + ".wav");
  EXPECT_EQ(sidecar(repeat(v + t, 60)), repeat(v + t, 40) + ".wav");
  // Marks ride on replaced characters too.
  EXPECT_EQ(sidecar(repeat(" \xCC\x81", 41)), repeat("_\xCC\x81", 40) + ".wav");
}

TEST_P(SidecarName, FitsTheBufferAtCharacterBoundaries) {
  // 96 bytes, as the library card holds it: never cut inside a character, always ".wav".
  const std::string title = repeat("\xE4\xB8\xAD", 40);  // 120 bytes
  std::string name = sidecar(title, 96);
  EXPECT_LE(name.size(), 95u);
  EXPECT_TRUE(valid_utf8(name));
  EXPECT_EQ(name, repeat("\xE4\xB8\xAD", 30) + ".wav");

  EXPECT_EQ(sidecar("abcdefgh", 10), "abcde.wav");
  EXPECT_EQ(sidecar("", 14), "recording.wav");
  char tiny[8];
  memset(tiny, 'x', sizeof tiny);
  EXPECT_EQ(sidecar_wav_name("abcdefgh", tiny, 5), 13);
  EXPECT_EQ(tiny[0], 0);
  EXPECT_EQ(sidecar_wav_name("", tiny, 8), 14);
  EXPECT_EQ(sidecar_wav_name("", nullptr, 0), 14);
}

TEST_P(SidecarName, NeverADeviceName) {
  EXPECT_EQ(sidecar("CON"), "CON_.wav");
  EXPECT_EQ(sidecar("com7"), "com7_.wav");
  EXPECT_EQ(sidecar("LPT0"), "LPT0.wav");
  EXPECT_EQ(sidecar("Nul."), "Nul_.wav");  // the dot is replaced, so it is no longer NUL
  EXPECT_EQ(sidecar("AUX", 9), "AUX_.wav");
  EXPECT_EQ(sidecar("AUX", 8), "AUX.wav");  // no room for the '_'
}

INSTANTIATE_TEST_SUITE_P(Classes, SidecarName, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                           return i.param ? "Builtin" : "Icu";
                         });

TEST(FilenameClass, BuiltinTableAgreesWithIcuOnCommonText) {
  if (!filename_have_icu()) GTEST_SKIP() << "built without ICU";
  const uint32_t cps[] = {'a',    'Z',    '7',    ' ',    '_',    '.',    0xE9,   0x301,  0x483,
                          0x5B0,  0x64B,  0x903,  0x94D,  0x20D7, 0x3099, 0xFE0F, 0xFE20, 0xB7,
                          0x4E2D, 0xAC00, 0x1100, 0x11A8, 0x660,  0x3042, 0x416,  0xFFFD};
  for (uint32_t cp : cps) {
    filename_force_builtin(false);
    int icu = filename_char_class(cp);
    filename_force_builtin(true);
    int builtin = filename_char_class(cp);
    EXPECT_EQ(icu, builtin) << std::hex << cp;
  }
  filename_force_builtin(false);
  // Beyond the built-in table: ICU keeps letters above U+FFFF, the table replaces them.
  EXPECT_EQ(filename_char_class(0x20000), FILENAME_KEEP);
  EXPECT_EQ(filename_char_class_builtin(0x20000), FILENAME_REPLACE);
  EXPECT_EQ(filename_char_class(0x1F600), FILENAME_REPLACE);  // an emoji
}

TEST(ExportName, ForbiddenCharactersBecomeDashes) {
  EXPECT_EQ(exported("a/b:c", false), "a-b-c.wav");
  EXPECT_EQ(exported("a/b:c", true), "a-b-c loop.wav");
  EXPECT_EQ(exported("", false), "sketch.wav");
  EXPECT_EQ(exported("", true), "sketch loop.wav");
  EXPECT_EQ(exported("x\"*<>?\\|\x01\x1F\x7Fy", false), "x----------y.wav");
  EXPECT_EQ(exported("Caf\xC3\xA9 \xC2\xB7 night", false), "Caf\xC3\xA9 \xC2\xB7 night.wav");
  EXPECT_EQ(exported("a\xFF", false), "a\xEF\xBF\xBD.wav");  // invalid UTF-8 -> U+FFFD
  EXPECT_EQ(exported("CON", false), "CON_.wav");
  EXPECT_EQ(exported("con ..", false), "con .._.wav");
  EXPECT_EQ(exported("CON", true), "CON loop.wav");
}

TEST(ExportName, CountsUtf16UnitsAndFitsTheBuffer) {
  EXPECT_EQ(exported(repeat("a", 250), false), repeat("a", 200) + ".wav");
  const std::string smile = "\xF0\x9F\x98\x80";  // two UTF-16 units
  EXPECT_EQ(exported(repeat(smile, 150), true), repeat(smile, 100) + " loop.wav");
  EXPECT_EQ(exported("a" + repeat(smile, 150), false), "a" + repeat(smile, 99) + ".wav");

  EXPECT_EQ(exported("abcdef", false, 8), "abc.wav");
  EXPECT_EQ(exported("abcdef", true, 13), "abc loop.wav");
  std::string name = exported(repeat("\xE4\xB8\xAD", 100), false, 64);
  EXPECT_TRUE(valid_utf8(name));
  EXPECT_EQ(name, repeat("\xE4\xB8\xAD", 19) + ".wav");
  EXPECT_EQ(exported("abcdef", false, 6), "a.wav");
  char tiny[5];
  EXPECT_EQ(export_wav_name("abcdef", false, tiny, sizeof tiny), 11);
  EXPECT_EQ(tiny[0], 0);
  EXPECT_EQ(export_wav_name("abcdef", true, tiny, sizeof tiny), 16);
}

TEST(ReservedName, DeviceNames) {
  for (const char* yes : {"CON", "con", "PrN", "AUX", "NUL", "COM1", "com9", "LPT1", "lpt9", "CON.",
                          "CON  ", "nul. .", "COM3..."})
    EXPECT_TRUE(is_reserved_device_name(yes, strlen(yes))) << yes;
  for (const char* no : {"", "CO", "CONX", "COM", "COM0", "LPT0", "COM10", "COMA", " CON", "CON_",
                         "CON.wav", "...", "LPT", "AUX1"})
    EXPECT_FALSE(is_reserved_device_name(no, strlen(no))) << no;
  // Only length bytes count.
  EXPECT_TRUE(is_reserved_device_name("CONSOLE", 3));
  EXPECT_FALSE(is_reserved_device_name(nullptr, 0));
}
