// A sketch's folder: meta.json saved and loaded, the id the folder gives, tape.f32 deciding
// length and channels, failed saves, and what the reader refuses before it reads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "base/clock.h"
#include "store/files.h"
#include "store/meta.h"
#include "store/meta_test_util.h"
#include "support/tmpdir.h"

using namespace meta_test;

namespace {

void write_file(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

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

}  // namespace

TEST(MetaFolder, SaveThenLoad) {
  Folder f;
  std::string folder = f.dir / "a/b/5c0ffee0-ab12-4cde-9f00-1234567890ab";
  Parsed p(sketch_json(R"("name":"x","lengthSamples":0,"q":{"k" : 1},"layerSnapshots":[)" +
                       layer_json() + "]"));
  ASSERT_EQ(meta_save_folder(folder.c_str(), &p.m), 0);  // parents made on the way
  std::string text = tmpdir_read(folder + "/meta.json");
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
  EXPECT_EQ(tmpdir_read(s + "/meta.json"), "{\"old\":1}");
  // A folder path that runs through a file can't be made.
  write_file(f.dir / "file", "x");
  EXPECT_EQ(meta_save_folder((f.dir / "file/sub").c_str(), &m), -1);
  meta_free(&m);
}

// What the reader refuses before it reads: a meta.json too large to read in reasonable time, and
// a sketch whose audio runs at a rate no recording has. Both leave the file as it was.
TEST(MetaFolder, TooLargeOrImpossibleRatesAreUnreadable) {
  TmpDir dir("meta");
  // Just over the limit, sparse: costs no disk and must not be read at all.
  const std::string big = dir / "big";
  ASSERT_EQ(fsys_make_folders(big.c_str()), 0);
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
    ASSERT_EQ(fsys_make_folders(folder.c_str()), 0);
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
