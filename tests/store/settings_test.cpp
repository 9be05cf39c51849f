#include "store/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "store/files.h"
#include "base/log.h"
#include "support/tmpdir.h"
#include "support/log_capture.h"

namespace {

bool logged(int64_t since, const std::string& needle) {
  char line[LOG_FULL_LINE_BYTES];
  for (int64_t i = since; i < log_console_count(); i++) {
    if (log_line_full(i, line, sizeof line) && strstr(line, needle.c_str())) return true;
  }
  return false;
}

Settings read(const std::string& text) {
  Settings s;
  settings_defaults(&s);
  settings_parse(&s, text.c_str());
  settings_sanitise(&s);
  return s;
}

std::string id(int n, bool lower = false) {
  char b[40];
  snprintf(b, sizeof b, lower ? "%08x-aaaa-4bbb-8ccc-%012x" : "%08X-AAAA-4BBB-8CCC-%012X", n, n);
  return b;
}

std::string serialised(const Settings& s) {
  char buf[SETTINGS_SAVE_BYTES];
  int n = settings_serialise(&s, buf, sizeof buf);
  return n < 0 ? "" : std::string(buf, (size_t)n);
}

std::string line_of(const std::string& text, const std::string& key) {
  size_t at = text.find("\n" + key + " = ");
  if (at == std::string::npos) return "(none)";
  at += key.size() + 4;
  return text.substr(at, text.find('\n', at) - at);
}

}  // namespace

TEST(IniNumber, AcceptsOnlyPlainDecimals) {
  double v = 0;
  struct Case {
    const char* text;
    double want;
  };
  for (Case c : std::vector<Case>{{"512", 512},
                                  {"  -1.5e3\t ", -1500},
                                  {"+.5", 0.5},
                                  {"5.", 5},
                                  {"007", 7},
                                  {"1E-2", 0.01},
                                  {"0.000", 0},
                                  {"123456789012345678901234", 1.23456789012345678e23},
                                  {"0.1234567890123456789999", 0.123456789012345678},
                                  {"1e-400", 0}}) {
    ASSERT_TRUE(ini_number(c.text, &v)) << c.text;
    EXPECT_DOUBLE_EQ(v, c.want) << c.text;
  }
  for (const char* bad : {"", " ", ".", "+", "-", "1e", "1e+", "0x10", "1,5", "nan", "NaN", "inf",
                          "1e400", "512abc", "5 5", "--1", "e5", "1.2.3"}) {
    EXPECT_FALSE(ini_number(bad, &v)) << bad;
  }
  EXPECT_FALSE(ini_number(nullptr, &v));
}

TEST(SettingsFile, ReadsTheEdgeCases) {
  Settings s = read("\xEF\xBB\xBF; a comment\r\n# another\r\n\r\nBuffer_Frames=512\r\n");
  EXPECT_EQ(s.buffer_frames, 512);
  EXPECT_EQ(read("buffer_frames = 8").buffer_frames, 32);
  EXPECT_EQ(read("buffer_frames = 99999").buffer_frames, 4096);
  EXPECT_EQ(read("sample_rate = 500").sample_rate, 0);
  EXPECT_EQ(read("sample_rate = 44100").sample_rate, 44100);
  EXPECT_EQ(read("sample_rate = 400000").sample_rate, 0);
  EXPECT_EQ(read("triangle_stride = 0").triangle_stride, 1);
  EXPECT_EQ(read("triangle_stride = 9").triangle_stride, 8);
  EXPECT_EQ(read("win_w = -5").win_w, 0);
  EXPECT_EQ(read("win_h = 40000").win_h, 0);
  EXPECT_EQ(read("win_w = 32768").win_w, 32768);
  EXPECT_EQ(read("input_pan = 2").input_pan, 1.0f);
  EXPECT_EQ(read("input_distance = -7").input_distance, -1.0f);
  EXPECT_EQ(read("input_pan = nan").input_pan, 0.0f);
  EXPECT_EQ(read("input_pan = 1e300").input_pan, 0.0f);  // infinite as a float
  EXPECT_EQ(read("buffer_frames = 512abc").buffer_frames, 256);
}

TEST(SettingsFile, ClampsEveryKey) {
  Settings s = read(
      "win_x = -200000\nwin_y = 3.9\nwin_max = 7\nfullscreen = -1\nraw_playback = 2\n"
      "full_ui = 1\npaint_mode = 0\nexclusive = 5\nbroadcast = 1\nmidi_off = 1\n"
      "export_normalize = 3\ncanvas_2x = 1\nlib_tab = 4\nrig_open = 9\nrig_scroll = 70\n"
      "rig_sel = 64\n");
  EXPECT_EQ(s.win_x, -100000);
  EXPECT_EQ(s.win_y, 3);
  for (int v : {s.win_max, s.fullscreen, s.raw_playback, s.full_ui, s.exclusive, s.broadcast,
                s.midi_off, s.export_normalize, s.canvas_2x, s.rig_open}) {
    EXPECT_EQ(v, 1);
  }
  EXPECT_EQ(s.paint_mode, 0);
  EXPECT_EQ(s.lib_tab, 1);
  EXPECT_EQ(s.rig_scroll, 64.0f);
  EXPECT_EQ(s.rig_sel, -1);
  EXPECT_EQ(read("win_x = 1e20").win_x, 100000);
  EXPECT_EQ(read("win_y = -3.9").win_y, -3);
  EXPECT_EQ(read("rig_scroll = -1").rig_scroll, 0.0f);
  EXPECT_EQ(read("rig_sel = 63").rig_sel, 63);
  EXPECT_EQ(read("rig_sel = -2").rig_sel, -1);
  EXPECT_EQ(read("lib_tab = -1").lib_tab, 0);

  // Whole 32-bit range before clamping: no wrap-around into the valid range.
  Settings raw;
  settings_defaults(&raw);
  settings_parse(&raw, "buffer_frames = 4294967808\nwin_x = -1e30");
  EXPECT_EQ(raw.buffer_frames, INT_MAX);
  EXPECT_EQ(raw.win_x, INT_MIN);

  Settings d;
  settings_defaults(&d);
  EXPECT_EQ(d.triangle_stride, 3);
  EXPECT_EQ(d.buffer_frames, 256);
  EXPECT_EQ(d.rig_sel, -1);
  EXPECT_EQ(d.sample_rate, 0);
}

TEST(SettingsFile, IgnoresGarbledLines) {
  std::string long_line = "buffer_frames = 1024" + std::string(2100, ' ');
  Settings s = read(
      "nonsense\n= 5\nwin_x 5\nwin_x == 6\n  ;win_y = 7\n\t# fullscreen = 1\nunknown_key = 3\n"
      "win-x = 8\nwin_x\t =\t 9 \r\r\n" +
      long_line + "\nbuffer_frames\n");
  EXPECT_EQ(s.win_x, 9);
  EXPECT_EQ(s.win_y, 0);
  EXPECT_EQ(s.fullscreen, 0);
  EXPECT_EQ(s.buffer_frames, 256);
  // A value that fails leaves what an earlier line set.
  EXPECT_EQ(read("win_x = 12\nwin_x = twelve").win_x, 12);
}

TEST(SettingsFile, TextsAreCutAndRepaired) {
  std::string name(126, 'm');
  Settings s = read("device = " + name +
                    "\xC3\xA9 tail\nwhatsnew_seen = v1.0  \n"
                    "library_dir = /a/\xFF/b\n");
  EXPECT_EQ(std::string(s.device), name);  // the two-byte character would not fit whole
  for (size_t i = strlen(s.device); i < sizeof s.device; i++) ASSERT_EQ(s.device[i], 0);
  EXPECT_EQ(std::string(s.whatsnew_seen), "v1.0  ");  // trailing spaces kept
  EXPECT_EQ(std::string(s.library_dir), "/a/\xEF\xBF\xBD/b");

  EXPECT_EQ(std::string(read("last_opened = " + id(5, true)).last_opened), id(5));
  EXPECT_EQ(std::string(read("last_opened = x" + id(5)).last_opened), "");
  EXPECT_EQ(std::string(read("last_opened = 0000000-0AAAA-4BBB-8CCC-000000000005").last_opened),
            "");
  EXPECT_EQ(std::string(read("last_opened = G0000005-AAAA-4BBB-8CCC-000000000005").last_opened),
            "");
}

TEST(Cursors, ListIsNormalisedOnReading) {
  std::string list;
  for (int i = 0; i < 40; i++) list += (i ? "," : "") + id(i) + ":" + std::to_string(i);
  Settings s = read("cursors = " + list);
  double v = -1;
  EXPECT_TRUE(cursors_get(&s, id(31).c_str(), &v));
  EXPECT_EQ(v, 31);
  EXPECT_FALSE(cursors_get(&s, id(32).c_str(), &v));

  s = read("cursors = " + id(1, true) + ":12.5, \t" + id(2) + ":86400.1," + id(3) +
           ":1e2,garbage,," + id(1) + ":7," + id(4) + ":-1," + id(5) + ":5 ," + id(6) + ":" +
           std::string(60, '1'));
  EXPECT_EQ(std::string(s.cursors),
            id(1) + ":12.500000," + id(3) + ":100.000000," + id(5) + ":5.000000");
  EXPECT_TRUE(cursors_get(&s, id(1, true).c_str(), &v));
  EXPECT_EQ(v, 12.5);

  // Leading blanks before an entry are skipped.
  s = read("cursors = \t " + id(9) + ":0.0000004");
  EXPECT_EQ(std::string(s.cursors), id(9) + ":0.000000");
}

TEST(Cursors, SetMovesToFrontAndDropsTheOldest) {
  Settings s;
  settings_defaults(&s);
  for (int i = 0; i < 32; i++) EXPECT_TRUE(cursors_set(&s, id(i).c_str(), i + 0.25));
  EXPECT_TRUE(cursors_set(&s, id(32, true).c_str(), 1.5));  // the 33rd sketch
  double v;
  EXPECT_FALSE(cursors_get(&s, id(0).c_str(), &v));  // the oldest went
  EXPECT_TRUE(cursors_get(&s, id(1).c_str(), &v));
  EXPECT_EQ(std::string(s.cursors).substr(0, 46), id(32) + ":1.500000,");

  EXPECT_TRUE(cursors_set(&s, id(5).c_str(), 9));
  EXPECT_EQ(std::string(s.cursors).substr(0, 46), id(5) + ":9.000000,");
  EXPECT_FALSE(cursors_set(&s, id(5).c_str(), 9));  // nothing changed
  EXPECT_LE(strlen(s.cursors), (size_t)SETTINGS_CURSORS_BYTES);

  EXPECT_TRUE(cursors_set(&s, id(7).c_str(), 1e9));
  cursors_get(&s, id(7).c_str(), &v);
  EXPECT_EQ(v, 86400);
  EXPECT_TRUE(cursors_set(&s, id(8).c_str(), NAN));
  cursors_get(&s, id(8).c_str(), &v);
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(cursors_set(&s, id(8).c_str(), 1.0000004));
  cursors_get(&s, id(8).c_str(), &v);
  EXPECT_EQ(v, 1.0);

  EXPECT_FALSE(cursors_set(&s, "not-an-id", 3));
  EXPECT_TRUE(cursors_remove(&s, id(5, true).c_str()));
  EXPECT_FALSE(cursors_get(&s, id(5).c_str(), &v));
  EXPECT_FALSE(cursors_remove(&s, id(5).c_str()));
  EXPECT_FALSE(cursors_remove(&s, "junk"));
}

TEST(SettingsFile, WritesNumbersAndTexts) {
  Settings s;
  settings_defaults(&s);
  s.input_pan = -0.00004f;
  s.input_distance = -0.00006f;
  s.rig_scroll = 0.5f;
  std::string text = serialised(s);
  EXPECT_EQ(text.find("; kelp settings - written live, on change. Unknown keys are ignored.\n"),
            0u);
  EXPECT_EQ(line_of(text, "input_pan"), "0.0000");
  EXPECT_EQ(line_of(text, "input_distance"), "-0.0001");
  EXPECT_EQ(line_of(text, "rig_scroll"), "0.5000");
  s.input_pan = -0.25f;
  s.input_distance = INFINITY;
  text = serialised(s);
  EXPECT_EQ(line_of(text, "input_pan"), "-0.2500");
  EXPECT_EQ(line_of(text, "input_distance"), "0.0000");
  EXPECT_EQ(line_of(text, "buffer_frames"), "256");
  EXPECT_EQ(line_of(text, "rig_sel"), "-1");
  EXPECT_EQ(line_of(text, "device"), "(none)");  // empty texts are left out

  // Keys in file order.
  std::vector<std::string> keys;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line[0] != ';') keys.push_back(line.substr(0, line.find(' ')));
  }
  ASSERT_GE(keys.size(), 3u);
  EXPECT_EQ(keys.front(), "win_x");
  EXPECT_EQ(keys[6], "triangle_stride");
  EXPECT_EQ(keys.back(), "rig_sel");

  // A text never breaks the line structure.
  snprintf(s.device, sizeof s.device, "USB Mic\nwin_x = 5");
  text = serialised(s);
  EXPECT_EQ(line_of(text, "device"), "USB Mic");
  EXPECT_EQ(line_of(text, "win_x"), "0");

  char small[64];
  EXPECT_EQ(settings_serialise(&s, small, sizeof small), -1);
}

TEST(SettingsFile, RoundTripsAndTracksChanges) {
  Settings s;
  settings_defaults(&s);
  s.win_x = -40;
  s.win_y = 77;
  s.win_w = 1280;
  s.win_h = 720;
  s.win_max = 1;
  snprintf(s.last_opened, sizeof s.last_opened, "%s", id(3).c_str());
  cursors_set(&s, id(3).c_str(), 61.25);
  cursors_set(&s, id(4).c_str(), 0.000001);
  s.triangle_stride = 5;
  s.input_pan = 0.3125f;
  s.input_distance = -0.75f;
  snprintf(s.device, sizeof s.device, "Scarlett 2i2  ");
  s.buffer_frames = 128;
  s.sample_rate = 48000;
  s.canvas_2x = 1;
  s.lib_tab = 1;
  snprintf(s.library_dir, sizeof s.library_dir, "/home/me/Music/kelp \xC3\xA9");
  snprintf(s.whatsnew_seen, sizeof s.whatsnew_seen, "1.0.5");
  snprintf(s.training_done, sizeof s.training_done, "record,loop");
  snprintf(s.training_found, sizeof s.training_found, "a=b;c");
  s.rig_open = 1;
  s.rig_scroll = 12.5f;
  s.rig_sel = 3;
  settings_sanitise(&s);

  Settings back = read(serialised(s));
  Settings saved = back;
  EXPECT_FALSE(settings_changed(&s, &saved)) << serialised(s) << "\n---\n" << serialised(back);

  back.rig_sel = 4;
  EXPECT_TRUE(settings_changed(&back, &saved));
  EXPECT_EQ(saved.rig_sel, 4);
  EXPECT_FALSE(settings_changed(&back, &saved));
}

TEST(SettingsFile, SaveAndLoad) {
  TmpDir t("settings");
  std::string ini = t / "SeaGlass/deeper/kelp.ini";
  Settings s;
  settings_defaults(&s);
  s.buffer_frames = 1024;
  ASSERT_EQ(settings_save(&s, ini.c_str()), 0);  // makes the folder
  Settings r;
  EXPECT_EQ(settings_load(&r, ini.c_str()), 0);
  EXPECT_EQ(r.buffer_frames, 1024);
  EXPECT_EQ(tmpdir_read(ini), serialised(s));

  int64_t mark = log_console_count();
  EXPECT_EQ(settings_load(&r, (t / "missing.ini").c_str()), 1);
  EXPECT_EQ(r.buffer_frames, 256);
  EXPECT_EQ(log_console_count(), mark);  // a missing file is silent
  mkdir((t / "dir.ini").c_str(), 0755);
  EXPECT_EQ(settings_load(&r, (t / "dir.ini").c_str()), 1);
  EXPECT_TRUE(logged(mark, "settings: can't read " + t.path + "/dir.ini - using defaults"));

  mark = log_console_count();
  EXPECT_EQ(settings_save(&s, ""), -1);
  EXPECT_TRUE(logged(mark, "settings: not saved (no ini path)"));
  EXPECT_EQ(settings_save(&s, (t / "dir.ini").c_str()), -1);
  EXPECT_TRUE(logged(mark, "settings: couldn't write " + t.path + "/dir.ini"));
  EXPECT_EQ(tmpdir_read(ini), serialised(s));  // an earlier good file stays as it was

  // Too long to write: refused, and no folder is made from its cut form.
  std::string deep = t / ("deep/" + std::string(1100, 'x') + "/kelp.ini");
  EXPECT_EQ(settings_save(&s, deep.c_str()), -1);
  struct stat st;
  EXPECT_NE(stat((t / "deep").c_str(), &st), 0);
}
