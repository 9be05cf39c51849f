#include "base/log.h"

#include <gtest/gtest.h>

#include "support/tmpdir.h"
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string temp_dir(const char* name) {
  const char* base = getenv("KELP_TEST_TMP");
  std::string dir = std::string(base ? base : "/tmp") + "/log-" + name + "-" + std::to_string(getpid());
  std::string cmd = "rm -rf '" + dir + "'";
  if (system(cmd.c_str()) != 0) {
  }
  return dir;
}

std::string last_console_line() {
  char buf[LOG_CONSOLE_LINE_BYTES];
  EXPECT_TRUE(log_console_line(log_console_count() - 1, buf, sizeof buf));
  return buf;
}

bool valid_utf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = (unsigned char)s[i];
    size_t need = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (i + need > s.size()) return false;
    for (size_t k = 1; k < need; k++)
      if (((unsigned char)s[i + k] & 0xC0) != 0x80) return false;
    i += need;
  }
  return true;
}

}  // namespace

TEST(Log, LinesAreOneLineTimestampedAndCutAtCharacters) {
  log_line("test: one\ntwo\rthree\tfour");
  std::string l = last_console_line();
  EXPECT_NE(l.find("test: one two three\tfour"), std::string::npos);
  EXPECT_EQ(l.size() > 10 && l[8] == ' ' && l[9] == ' ', true) << l;

  // 2000 bytes of two-byte characters: cut at a boundary in the ring (159) and in the message (1023).
  std::string big;
  big.reserve(2000);
  big = "x";
  while (big.size() < 2000) big += "\xC3\xA9";
  std::string dir = temp_dir("cut");
  log_open(dir.c_str());
  log_line("%s", big.c_str());
  std::string ring = last_console_line();
  EXPECT_LE(ring.size(), 159u);
  EXPECT_TRUE(valid_utf8(ring));
  log_close();
  std::string file = tmpdir_read(dir + "/kelp.log");
  size_t at = file.find("  x\xC3\xA9");
  ASSERT_NE(at, std::string::npos);
  size_t end = file.find('\n', at);
  std::string msg = file.substr(at + 2, end - at - 2);
  EXPECT_LE(msg.size(), 1023u);
  EXPECT_GE(msg.size(), 1021u);
  EXPECT_TRUE(valid_utf8(msg));

  // An odd start puts the 1023-byte cut inside a character: it is dropped, not kept half.
  log_open(dir.c_str());
  log_line("y%s", big.c_str());
  // A format the C library can't expand is logged as its own text.
  log_line("test: unprintable %ls", L"\u00e9");
  log_close();
  file = tmpdir_read(dir + "/kelp.log");
  at = file.find("  yx\xC3\xA9");
  ASSERT_NE(at, std::string::npos);
  end = file.find('\n', at);
  msg = file.substr(at + 2, end - at - 2);
  EXPECT_EQ(msg.size(), 1022u);
  EXPECT_TRUE(valid_utf8(msg));
  EXPECT_NE(file.find("  test: unprintable %ls\n"), std::string::npos) << file;
}

TEST(Log, OpenReplaysTheLast256LinesAndRotates) {
  std::string dir = temp_dir("rotate");
  for (int i = 0; i < 300; i++) log_line("test: early %d", i);
  log_open(dir.c_str());
  log_close();
  std::string first = tmpdir_read(dir + "/kelp.log");
  EXPECT_EQ(first.find("; Kelp NOVA 1.0.5 log - opened "), 0u);
  std::string header = first.substr(0, first.find('\n'));
  EXPECT_EQ(header.find("kelp.prev.log"), std::string::npos) << header;
  EXPECT_EQ(first.find("test: early 43\n"), std::string::npos);
  EXPECT_NE(first.find("test: early 44\n"), std::string::npos);
  EXPECT_NE(first.find("test: early 299\n"), std::string::npos);
  EXPECT_NE(first.find("; closed\n"), std::string::npos);

  log_open(dir.c_str());
  log_line("test: second run");
  log_close();
  std::string second = tmpdir_read(dir + "/kelp.log");
  header = second.substr(0, second.find('\n'));
  EXPECT_NE(header.find(" - the run before is in kelp.prev.log"), std::string::npos) << header;
  // Lines already in the first file are not written again.
  EXPECT_EQ(second.find("test: early 299"), std::string::npos);
  EXPECT_NE(second.find("test: second run"), std::string::npos);
  EXPECT_EQ(tmpdir_read(dir + "/kelp.prev.log"), first);
  EXPECT_STREQ(log_path(), "");
}

TEST(Log, ConsoleRingForgetsOldLinesAndCutsToTheBuffer) {
  int64_t start = log_console_count();
  for (int i = 0; i < 260; i++) log_line("test: ring \xE2\x82\xAC %d", i);
  int64_t count = log_console_count();
  EXPECT_EQ(count, start + 260);
  char buf[LOG_CONSOLE_LINE_BYTES];
  EXPECT_FALSE(log_console_line(count - 257, buf, sizeof buf));
  EXPECT_TRUE(log_console_line(count - 256, buf, sizeof buf));
  EXPECT_FALSE(log_console_line(count, buf, sizeof buf));
  // A 21-byte buffer must not end in the middle of the euro sign.
  char small[21];
  ASSERT_TRUE(log_console_line(count - 1, small, sizeof small));
  EXPECT_TRUE(valid_utf8(small));
}

TEST(Log, TimedAndUnwritableFolder) {
  double t0 = log_clock();
  log_timed(nullptr, t0, "");
  EXPECT_EQ(last_console_line().find("? ("), 10u);
  log_timed("main: step", t0, "detail");
  EXPECT_NE(last_console_line().find("main: step  detail ("), std::string::npos);

  // A folder under a file cannot be made: the log falls back to the console.
  std::string dir = temp_dir("blocked");
  mkdir(dir.c_str(), 0755);
  std::ofstream(dir + "/file") << "x";
  log_open((dir + "/file/sub").c_str());
  EXPECT_NE(last_console_line().find("log: can't open kelp.log (error "), std::string::npos);
  EXPECT_STREQ(log_path(), "");
}

TEST(Log, ManyThreadsKeepEveryLine) {
  int64_t start = log_console_count();
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; t++)
    ts.emplace_back([t] {
      for (int i = 0; i < 50; i++) log_line("test: thread %d line %d", t, i);
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(log_console_count(), start + 200);
}
