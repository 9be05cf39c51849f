// The stream id file, the instance name, the host address, and a responder that is not there.
#include "net/advert.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "support/log_search.h"
#include "support/tmpdir.h"

namespace {

bool hex8(const char* s) {
  if (strlen(s) != 8) return false;
  for (int i = 0; i < 8; i++) {
    if (!strchr("0123456789abcdef", s[i])) return false;
  }
  return true;
}

bool exists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

TEST(AdvertStreamId, FilesAndFolders) {
  struct Case {
    const char* name;
    const char* own;     // the app's file before, null: none
    const char* shared;  // the shared file before, null: none
    const char* sub;     // folder under the scratch folder ("" the scratch folder itself)
    bool folder_is_file;
    int result;
    const char* expect;  // the id it must give, null: a fresh one
    bool shared_after;   // the shared file is still there
  };
  const Case cases[] = {
      {"no files", nullptr, nullptr, "", false, 1, nullptr, false},
      {"app file", "0a1b2c3d\n", nullptr, "", false, 0, "0a1b2c3d", false},
      {"app file, no line feed, more after", "deadbeef99 x", nullptr, "", false, 0, "deadbeef", false},
      {"app file wins over shared", "11111111\n", "22222222\n", "", false, 0, "11111111", true},
      {"app file upper case", "0A1B2C3D\n", nullptr, "", false, 1, nullptr, false},
      {"app file short", "abc\n", nullptr, "", false, 1, nullptr, false},
      {"app file empty", "", nullptr, "", false, 1, nullptr, false},
      {"app file damaged, shared good", "zz\n", "cafef00d\n", "", false, 0, "cafef00d", false},
      {"only shared", nullptr, "cafef00d\n", "", false, 0, "cafef00d", false},
      {"shared damaged", nullptr, "xyz12345\n", "", false, 1, nullptr, true},
      {"folder missing", nullptr, nullptr, "a/b", false, 1, nullptr, false},
      {"folder is a file", nullptr, nullptr, "f", true, -1, nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TmpDir dir("sid");
    std::string folder = c.sub[0] ? dir / c.sub : dir.path;
    if (c.folder_is_file) tmpdir_write(folder, "not a folder");
    if (c.own) tmpdir_write(folder + "/stream.kelp.sid", c.own);
    if (c.shared) tmpdir_write(folder + "/stream.sid", c.shared);
    char sid[9];
    memset(sid, 'x', sizeof sid);
    EXPECT_EQ(advert_stream_id(folder.c_str(), "kelp", sid), c.result);
    EXPECT_TRUE(hex8(sid)) << sid;
    if (c.expect) {
      EXPECT_STREQ(sid, c.expect);
    }
    if (c.result >= 0) {
      EXPECT_EQ(tmpdir_read(folder + "/stream.kelp.sid").substr(0, 8), std::string(sid));
      // Moved, not copied: a shared id that was taken over is gone.
      EXPECT_EQ(exists(folder + "/stream.sid"), c.shared_after);
      char again[9];
      EXPECT_EQ(advert_stream_id(folder.c_str(), "kelp", again), 0);
      EXPECT_STREQ(again, sid);
    }
  }
}

TEST(AdvertStreamId, OtherAppKeepsItsOwn) {
  TmpDir dir("sid");
  char a[9], b[9];
  ASSERT_EQ(advert_stream_id(dir.path.c_str(), "kelp", a), 1);
  ASSERT_EQ(advert_stream_id(dir.path.c_str(), "other", b), 1);
  EXPECT_TRUE(exists(dir / "stream.other.sid"));
  char again[9];
  EXPECT_EQ(advert_stream_id(dir.path.c_str(), "kelp", again), 0);
  EXPECT_STREQ(again, a);
}

TEST(AdvertStreamId, NoFolderMakesOneUnsaved) {
  char sid[9];
  EXPECT_EQ(advert_stream_id(nullptr, "kelp", sid), -1);
  EXPECT_TRUE(hex8(sid));
}

TEST(AdvertInstanceName, Table) {
  const std::string dot = " \xC2\xB7 ";
  std::string longest(200, 'x');
  std::string euro;  // 3-byte characters
  for (int i = 0; i < 30; i++) euro += "\xE2\x82\xAC";
  struct Case {
    const char* name;
    std::string an, dev, expect;
  };
  const Case cases[] = {
      {"plain", "Kelp NOVA", "studio", "Kelp NOVA" + dot + "studio"},
      {"empty dev", "Kelp NOVA", "", "Kelp NOVA" + dot},
      {"utf-8 dev kept whole", "Kelp NOVA", "Büro-Rechner", "Kelp NOVA" + dot + "Büro-Rechner"},
      // 9 + 4 + 50 = 63 bytes: fits exactly under 64.
      {"just fits", "Kelp NOVA", std::string(50, 'a'), "Kelp NOVA" + dot + std::string(50, 'a')},
      {"one over", "Kelp NOVA", std::string(51, 'a'), "Kelp NOVA" + dot + std::string(50, 'a')},
      {"very long", "Kelp NOVA", longest, "Kelp NOVA" + dot + std::string(50, 'x')},
      // 16 euro signs are 48 bytes, 17 would be 51: a character is never split.
      {"multi-byte cut", "Kelp NOVA", euro, "Kelp NOVA" + dot + euro.substr(0, 48)},
      {"long display name", std::string(70, 'n'), "pc", std::string(70, 'n') + dot},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char out[256];
    advert_instance_name(c.an.c_str(), c.dev.c_str(), out, sizeof out);
    EXPECT_EQ(std::string(out), c.expect);
  }
  char small[8];
  advert_instance_name("Kelp NOVA", "pc", small, sizeof small);
  EXPECT_STREQ(small, "Kelp NO");
}

TEST(AdvertHost, FirstIpv4OutsideLoopback) {
  char out[16];
  EXPECT_FALSE(advert_host_ipv4("localhost", out));  // only 127.0.0.1: registers without one
  EXPECT_STREQ(out, "");
  EXPECT_TRUE(advert_host_ipv4("10.77.0.9", out));
  EXPECT_STREQ(out, "10.77.0.9");
  EXPECT_FALSE(advert_host_ipv4("127.1.2.3", out));
  EXPECT_FALSE(advert_host_ipv4("no-such-host.invalid", out));
}

struct EnvGuard {
  std::string name, saved;
  bool had;
  EnvGuard(const char* n, const std::string& v) : name(n) {
    const char* o = getenv(n);
    had = o != nullptr;
    if (had) saved = o;
    setenv(n, v.c_str(), 1);
  }
  ~EnvGuard() {
    if (had) setenv(name.c_str(), saved.c_str(), 1);
    else unsetenv(name.c_str());
  }
};

TEST(AdvertStart, NoResponderLogsOnceAndReturnsQuickly) {
  TmpDir dir("nobus");
  EnvGuard bus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (dir / "nothing-listens"));
  AdvertInfo info = {"kelp", "Kelp NOVA", "mix", "studio", "0a1b2c3d", 47481};
  int64_t mark = log_console_count();
  Advert* a = advert_start(&info);
  EXPECT_FALSE(advert_advertised(a));
  platform_sleep_ms(100);
  EXPECT_EQ(log_console_count() - mark, 1);
  EXPECT_TRUE(logged(mark, "sgstream: "));
  advert_stop(a);
  EXPECT_EQ(log_console_count() - mark, 1);
  advert_stop(nullptr);
}

}  // namespace
