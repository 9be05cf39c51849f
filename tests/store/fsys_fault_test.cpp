// The safe writes and the whole-file reader under every failure a disk can give, injected
// through fsys's table of system calls: no root, no failing hardware. Each case checks what the
// caller is told, what the target holds afterwards, and whether a .tmp file stays.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/fsys.h"
#include "store/files.h"
#include "store/meta.h"
#include "support/tmpdir.h"

namespace {

enum Call {
  C_OPEN,
  C_CLOSE,
  C_READ,
  C_WRITE,
  C_FSYNC,
  C_FSTAT,
  C_FTRUNCATE,
  C_FLOCK,
  C_RENAME,
  C_UNLINK
};
// Which file a fault hits: the temporary file, the target, or the folder holding both.
enum Where { W_TMP, W_TARGET, W_FOLDER };

struct Fault {
  Call call;
  Where where;
  int error;          // errno of the failure
  int times;          // matching calls that fail (then they pass); -1: all of them
  size_t shortWrite;  // for C_WRITE: instead of failing, write at most this many bytes
};

// The state the fake calls work from; one test at a time uses it.
struct Injector {
  std::string folder, target, tmp;
  std::map<int, std::string> fds;  // descriptors opened on one of the three paths
  std::vector<Fault> faults;
  std::vector<int> left;         // per fault: failures still to give
  int calls[C_UNLINK + 1] = {};  // calls that reached a fake on one of the paths
};
Injector g;

const std::string* where_path(Where w) {
  return w == W_TMP ? &g.tmp : w == W_TARGET ? &g.target : &g.folder;
}

// The fault that takes this call, or null (the call then goes to the system).
const Fault* take(Call call, const std::string& path) {
  if (path.empty()) return nullptr;
  g.calls[call]++;
  for (size_t i = 0; i < g.faults.size(); i++) {
    const Fault& f = g.faults[i];
    if (f.call != call || *where_path(f.where) != path || g.left[i] == 0) continue;
    if (g.left[i] > 0) g.left[i]--;
    return &f;
  }
  return nullptr;
}

std::string fd_path(int fd) {
  auto it = g.fds.find(fd);
  return it == g.fds.end() ? std::string() : it->second;
}

bool ours(const char* path) {
  return path == g.target || path == g.tmp || path == g.folder;
}

const FsysCalls& sys() {
  return *fsys_calls_system();
}

int fake_open(const char* path, int flags, mode_t mode) {
  if (ours(path)) {
    if (const Fault* f = take(C_OPEN, path)) {
      errno = f->error;
      return -1;
    }
  }
  int fd = sys().open(path, flags, mode);
  if (fd >= 0) {
    if (ours(path))
      g.fds[fd] = path;
    else
      g.fds.erase(fd);
  }
  return fd;
}

int fake_close(int fd) {
  std::string p = fd_path(fd);
  g.fds.erase(fd);
  int r = sys().close(fd);  // gone whatever close says, as on the real system
  if (const Fault* f = take(C_CLOSE, p)) {
    errno = f->error;
    return -1;
  }
  return r;
}

ssize_t fake_read(int fd, void* data, size_t size) {
  if (const Fault* f = take(C_READ, fd_path(fd))) {
    errno = f->error;
    return -1;
  }
  return sys().read(fd, data, size);
}

ssize_t fake_write(int fd, const void* data, size_t size) {
  if (const Fault* f = take(C_WRITE, fd_path(fd))) {
    if (f->shortWrite > 0)
      return sys().write(fd, data, size < f->shortWrite ? size : f->shortWrite);
    errno = f->error;
    return -1;
  }
  return sys().write(fd, data, size);
}

int fake_fsync(int fd) {
  if (const Fault* f = take(C_FSYNC, fd_path(fd))) {
    errno = f->error;
    return -1;
  }
  return sys().fsync(fd);
}

int fake_fstat(int fd, struct stat* st) {
  if (const Fault* f = take(C_FSTAT, fd_path(fd))) {
    errno = f->error;
    return -1;
  }
  return sys().fstat(fd, st);
}

int fake_ftruncate(int fd, off_t size) {
  if (const Fault* f = take(C_FTRUNCATE, fd_path(fd))) {
    errno = f->error;
    return -1;
  }
  return sys().ftruncate(fd, size);
}

int fake_flock(int fd, int op) {
  if (const Fault* f = take(C_FLOCK, fd_path(fd))) {
    errno = f->error;
    return -1;
  }
  return sys().flock(fd, op);
}

int fake_rename(const char* from, const char* to) {
  if (ours(from)) {
    if (const Fault* f = take(C_RENAME, from)) {
      errno = f->error;
      return -1;
    }
  }
  return sys().rename(from, to);
}

int fake_unlink(const char* path) {
  if (ours(path)) {
    if (const Fault* f = take(C_UNLINK, path)) {
      errno = f->error;
      return -1;
    }
  }
  return sys().unlink(path);
}

class FsysFault : public ::testing::Test {
 protected:
  TmpDir dir{"fsys-fault"};

  void SetUp() override { arm({}); }
  void TearDown() override {
    fsys_calls_reset();
    g = Injector();
  }

  // Points the table at the fakes with these faults, for a target in the scratch folder.
  void arm(const std::vector<Fault>& faults, const std::string& name = "meta.json") {
    g = Injector();
    g.folder = dir.path;
    g.target = dir / name;
    g.tmp = g.target + ".tmp";
    g.faults = faults;
    for (const Fault& f : faults) g.left.push_back(f.times);
    FsysCalls* c = fsys_calls();
    c->open = fake_open;
    c->close = fake_close;
    c->read = fake_read;
    c->write = fake_write;
    c->fsync = fake_fsync;
    c->fstat = fake_fstat;
    c->ftruncate = fake_ftruncate;
    c->flock = fake_flock;
    c->rename = fake_rename;
    c->unlink = fake_unlink;
  }
};

bool exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

// What the target holds after a write: the old bytes, the new ones.
enum After { OLD, NEW };

struct WriteCase {
  const char* name;
  std::vector<Fault> faults;
  int rc;
  After after;
  bool tmpLeft;
  int renames;  // rename calls expected on the temporary file (-1: don't check)
};

const std::vector<WriteCase>& write_cases() {
  static const std::vector<WriteCase> cases = {
      {"nothing fails", {}, 0, NEW, false, 1},
      // Making the temporary file.
      {"create denied", {{C_OPEN, W_TMP, EACCES, -1, 0}}, -1, OLD, false, 0},
      {"create EIO", {{C_OPEN, W_TMP, EIO, -1, 0}}, -1, OLD, false, 0},
      {"create on a full disk", {{C_OPEN, W_TMP, ENOSPC, -1, 0}}, -1, OLD, false, 0},
      // Another writer holds the .tmp: it is theirs, so it stays.
      {"another writer holds the tmp", {{C_FLOCK, W_TMP, EWOULDBLOCK, -1, 0}}, -1, OLD, true, 0},
      {"emptying a stale tmp fails", {{C_FTRUNCATE, W_TMP, EIO, -1, 0}}, -1, OLD, false, 0},
      // Not known to be ours without its identity: left for the next clean-up.
      {"fstat of the new tmp fails", {{C_FSTAT, W_TMP, EIO, -1, 0}}, -1, OLD, true, 0},
      // Writing it.
      {"write EIO", {{C_WRITE, W_TMP, EIO, -1, 0}}, -1, OLD, false, 0},
      {"write on a full disk", {{C_WRITE, W_TMP, ENOSPC, -1, 0}}, -1, OLD, false, 0},
      {"write over quota", {{C_WRITE, W_TMP, EDQUOT, -1, 0}}, -1, OLD, false, 0},
      {"write fails after some went",
       {{C_WRITE, W_TMP, 0, 2, 1000}, {C_WRITE, W_TMP, EIO, -1, 0}},
       -1,
       OLD,
       false,
       0},
      {"short writes all the way", {{C_WRITE, W_TMP, 0, -1, 777}}, 0, NEW, false, 1},
      {"short write then a full disk",
       {{C_WRITE, W_TMP, 0, 1, 100}, {C_WRITE, W_TMP, ENOSPC, -1, 0}},
       -1,
       OLD,
       false,
       0},
      {"interrupted writes are taken again", {{C_WRITE, W_TMP, EINTR, 3, 0}}, 0, NEW, false, 1},
      // Flushing it.
      {"fsync EIO", {{C_FSYNC, W_TMP, EIO, -1, 0}}, -1, OLD, false, 0},
      {"fsync on a full disk", {{C_FSYNC, W_TMP, ENOSPC, -1, 0}}, -1, OLD, false, 0},
      // Moving it into place.
      {"rename EIO", {{C_RENAME, W_TMP, EIO, -1, 0}}, -1, OLD, false, 1},
      {"rename across volumes", {{C_RENAME, W_TMP, EXDEV, -1, 0}}, -1, OLD, false, 1},
      {"rename on a read-only volume", {{C_RENAME, W_TMP, EROFS, -1, 0}}, -1, OLD, false, 1},
      {"rename on a full disk", {{C_RENAME, W_TMP, ENOSPC, -1, 0}}, -1, OLD, false, 1},
      {"rename busy for a moment", {{C_RENAME, W_TMP, EBUSY, 2, 0}}, 0, NEW, false, 3},
      {"rename busy for good", {{C_RENAME, W_TMP, EBUSY, -1, 0}}, -1, OLD, false, 5},
      {"rename denied for a moment", {{C_RENAME, W_TMP, EACCES, 1, 0}}, 0, NEW, false, 2},
      // Making the move durable: done, but never claimed as done.
      {"folder fsync EIO", {{C_FSYNC, W_FOLDER, EIO, -1, 0}}, -1, NEW, false, 1},
      {"folder can't be flushed on this volume",
       {{C_FSYNC, W_FOLDER, EINVAL, -1, 0}},
       0,
       NEW,
       false,
       1},
      {"folder can't be opened to flush", {{C_OPEN, W_FOLDER, EACCES, -1, 0}}, 0, NEW, false, 1},
      {"folder open EIO", {{C_OPEN, W_FOLDER, EIO, -1, 0}}, -1, NEW, false, 1},
      // Closing it after it is flushed and in place changes nothing.
      {"close EIO after the move", {{C_CLOSE, W_TMP, EIO, -1, 0}}, 0, NEW, false, 1},
      // Cleaning up after a failure can fail too: the stray .tmp is the next scan's to remove.
      {"write EIO and the tmp busy for a moment",
       {{C_WRITE, W_TMP, EIO, -1, 0}, {C_UNLINK, W_TMP, EBUSY, 2, 0}},
       -1,
       OLD,
       false,
       0},
      {"write EIO and the tmp can't be deleted",
       {{C_WRITE, W_TMP, EIO, -1, 0}, {C_UNLINK, W_TMP, EIO, -1, 0}},
       -1,
       OLD,
       true,
       0},
  };
  return cases;
}

std::string pattern(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = (char)((i * 31 + (size_t)seed * 7) & 0xFF);
  return s;
}

}  // namespace

TEST_F(FsysFault, WholeBufferWriteUnderEveryFailure) {
  const std::string oldText = "{\"old\":true}";
  const std::string newText = pattern(70000, 1);
  for (const WriteCase& c : write_cases()) {
    SCOPED_TRACE(c.name);
    fsys_calls_reset();
    tmpdir_write(dir / "meta.json", oldText);
    unlink((dir / "meta.json.tmp").c_str());
    arm(c.faults);
    int rc = file_write_atomic(g.target.c_str(), newText.data(), newText.size());
    int renames = g.calls[C_RENAME];
    fsys_calls_reset();
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(tmpdir_read(dir / "meta.json"), c.after == OLD ? oldText : newText);
    EXPECT_EQ(exists(dir / "meta.json.tmp"), c.tmpLeft);
    if (c.renames >= 0) {
      EXPECT_EQ(renames, c.renames);
    }
  }
}

TEST_F(FsysFault, StreamedWriterUnderEveryFailure) {
  // Large enough that some writes bypass the buffer.
  const std::string oldText = pattern(5000, 2);
  const std::string newText = pattern(3 * SAFE_WRITER_BUFFER + 12345, 3);
  for (const WriteCase& c : write_cases()) {
    SCOPED_TRACE(c.name);
    fsys_calls_reset();
    tmpdir_write(dir / "tape.f32", oldText);
    unlink((dir / "tape.f32.tmp").c_str());
    arm(c.faults, "tape.f32");
    SafeWriter w{};
    int rc = safe_writer_open(&w, g.target.c_str());
    // Small pieces through the buffer, then one that goes straight to the file.
    size_t at = 0;
    for (size_t piece : {(size_t)1000, (size_t)SAFE_WRITER_BUFFER - 10, (size_t)4096}) {
      if (rc == 0) rc = safe_writer_write(&w, newText.data() + at, piece);
      at += piece;
    }
    if (rc == 0) rc = safe_writer_write(&w, newText.data() + at, newText.size() - at);
    if (rc == 0)
      rc = safe_writer_commit(&w);
    else
      safe_writer_discard(&w);
    fsys_calls_reset();
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(tmpdir_read(dir / "tape.f32"), c.after == OLD ? oldText : newText);
    EXPECT_EQ(exists(dir / "tape.f32.tmp"), c.tmpLeft);
  }
}

TEST_F(FsysFault, ANewFileIsNeverLeftHalfWritten) {
  // No earlier target: a failure leaves none at all.
  for (Call call : {C_WRITE, C_FSYNC, C_RENAME}) {
    SCOPED_TRACE(call);
    fsys_calls_reset();
    unlink((dir / "new.json").c_str());
    arm({{call, W_TMP, EIO, -1, 0}}, "new.json");
    EXPECT_EQ(file_write_atomic(g.target.c_str(), "{}", 2), -1);
    fsys_calls_reset();
    EXPECT_FALSE(exists(dir / "new.json"));
    EXPECT_FALSE(exists(dir / "new.json.tmp"));
  }
}

TEST_F(FsysFault, WholeFileReadFailsCleanly) {
  const std::string text = pattern(200000, 4);
  tmpdir_write(dir / "meta.json", text);
  struct ReadCase {
    const char* name;
    std::vector<Fault> faults;
    bool ok;
  } cases[] = {
      {"nothing fails", {}, true},
      {"open EIO", {{C_OPEN, W_TARGET, EIO, -1, 0}}, false},
      {"open denied", {{C_OPEN, W_TARGET, EACCES, -1, 0}}, false},
      {"size unknown", {{C_FSTAT, W_TARGET, EIO, -1, 0}}, false},
      {"read EIO at once", {{C_READ, W_TARGET, EIO, -1, 0}}, false},
      {"interrupted reads are taken again", {{C_READ, W_TARGET, EINTR, 2, 0}}, true},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    arm(c.faults);
    size_t size = 12345;
    char* got = file_read_all(g.target.c_str(), &size);
    fsys_calls_reset();
    EXPECT_EQ(got != nullptr, c.ok);
    if (got) {
      EXPECT_EQ(std::string(got, size), text);
      EXPECT_EQ(got[size], 0);
    } else {
      EXPECT_EQ(size, 0u);
    }
    free(got);
  }
}

TEST_F(FsysFault, ReadFailingPartWayGivesNothing) {
  // A read that fails after the first piece: the reader asks for the rest in a second call.
  const std::string text = pattern(100000, 5);
  tmpdir_write(dir / "meta.json", text);
  arm({});
  struct Once {
    static ssize_t read(int fd, void* data, size_t size) {
      if (fd_path(fd) != g.target) return fsys_calls_system()->read(fd, data, size);
      if (g.calls[C_READ]++ == 0)
        return fsys_calls_system()->read(fd, data, size < 4096 ? size : 4096);
      errno = EIO;
      return -1;
    }
  };
  fsys_calls()->read = Once::read;
  size_t size = 1;
  char* got = file_read_all(g.target.c_str(), &size);
  fsys_calls_reset();
  EXPECT_EQ(got, nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(g.calls[C_READ], 2);
  free(got);
}

TEST_F(FsysFault, MetaJsonThatCantBeReadIsDamagedAndKept) {
  SketchMeta m{};
  meta_new(&m, 48000);
  snprintf(m.name, sizeof m.name, "take");
  ASSERT_EQ(meta_save_folder(dir.path.c_str(), &m), 0);
  meta_free(&m);
  const std::string before = tmpdir_read(dir / "meta.json");
  arm({{C_READ, W_TARGET, EIO, -1, 0}});
  bool dirty = true;
  char message[256];
  EXPECT_EQ(meta_load_folder(dir.path.c_str(), &m, &dirty, message, sizeof message),
            META_UNREADABLE);
  fsys_calls_reset();
  EXPECT_STREQ(message, "couldn't read meta.json");
  EXPECT_FALSE(dirty);
  meta_free(&m);
  EXPECT_EQ(tmpdir_read(dir / "meta.json"), before);
}

TEST_F(FsysFault, ResetPutsTheSystemBack) {
  arm({{C_OPEN, W_TARGET, EIO, -1, 0}});
  EXPECT_NE(fsys_calls()->open, fsys_calls_system()->open);
  fsys_calls_reset();
  const FsysCalls* a = fsys_calls();
  const FsysCalls* b = fsys_calls_system();
  EXPECT_EQ(memcmp(a, b, sizeof *a), 0);
  tmpdir_write(dir / "meta.json", "x");
  size_t n = 0;
  char* got = file_read_all((dir / "meta.json").c_str(), &n);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(n, 1u);
  free(got);
}

// A copy inside the system: whole, or told apart when the system can't (the caller then reads
// and writes), or failed part way with the temporary file dropped and the target untouched.
TEST_F(FsysFault, CopyInsideTheSystemOrFallBack) {
  struct Case {
    const char* name;
    int error;  // 0: the system's own copy
    int rc;
  };
  static int s_error;
  struct Copy {
    static ssize_t range(int in, int out, size_t size) {
      static bool first = true;
      if (s_error == EIO && first) {
        first = false;
        return fsys_calls_system()->copy_range(in, out, size < 4096 ? size : 4096);
      }
      errno = s_error;
      return -1;
    }
  };
  const std::string source = dir / "source.wav", text = pattern(3 << 20, 9);
  tmpdir_write(source, text);
  for (Case k : {Case{"system", 0, 0}, Case{"unsupported", EXDEV, -2}, Case{"io error", EIO, -1}}) {
    SCOPED_TRACE(k.name);
    tmpdir_write(dir / "copy.wav", "old");
    s_error = k.error;
    if (k.error) fsys_calls()->copy_range = Copy::range;
    FsysFile in;
    ASSERT_EQ(fsys_open_read(source.c_str(), &in), 0u);
    SafeWriter w{};
    ASSERT_EQ(safe_writer_open(&w, (dir / "copy.wav").c_str()), 0);
    uint64_t copied = 7;
    EXPECT_EQ(safe_writer_copy(&w, in, text.size(), &copied), k.rc);
    fsys_calls_reset();
    if (k.rc == -2) {
      // Nothing went; the writer still takes the bytes the ordinary way.
      EXPECT_EQ(copied, 0u);
      EXPECT_EQ(safe_writer_write(&w, text.data(), text.size()), 0);
    }
    fsys_close(in);
    if (k.rc == -1) {
      EXPECT_EQ(copied, 4096u);
      EXPECT_NE(safe_writer_commit(&w), 0);
      EXPECT_EQ(tmpdir_read(dir / "copy.wav"), "old");
    } else {
      EXPECT_EQ(safe_writer_commit(&w), 0);
      EXPECT_TRUE(tmpdir_read(dir / "copy.wav") == text);
    }
    struct stat st;
    EXPECT_NE(stat((dir / "copy.wav.tmp").c_str(), &st), 0);
  }
}
