// Scratch folders for tests: fresh under $KELP_TEST_TMP (else /tmp), removed afterwards without
// ever following a link out of them. Also a scratch home folder and small file helpers.
#pragma once
#include <string>
#include <utility>
#include <vector>

// Makes a fresh, empty folder whose name carries tag; "" when it can't.
std::string tmpdir_make(const char* tag);
// Removes folder and everything in it. Links are removed as links; other volumes mounted inside
// are not entered. 0, or -1 when something remained.
int tmpdir_remove(const std::string& folder);

// The whole file ("" when it can't be read), and a file written with exactly text.
std::string tmpdir_read(const std::string& path);
void tmpdir_write(const std::string& path, const std::string& text);

// A scratch folder for the life of a test.
struct TmpDir {
  std::string path;
  explicit TmpDir(const char* tag = "test") : path(tmpdir_make(tag)) {}
  ~TmpDir() {
    if (!path.empty()) tmpdir_remove(path);
  }
  // path + "/" + name
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  TmpDir(const TmpDir&) = delete;
  TmpDir& operator=(const TmpDir&) = delete;
};

// Points HOME at a fresh folder in a scratch folder and clears XDG_CONFIG_HOME and
// XDG_DATA_HOME, so known folders resolve inside it; puts them all back afterwards.
struct ScratchHome {
  TmpDir dir;
  std::string home;  // dir / "home"
  explicit ScratchHome(const char* tag = "home");
  ~ScratchHome();
  ScratchHome(const ScratchHome&) = delete;
  ScratchHome& operator=(const ScratchHome&) = delete;

 private:
  std::vector<std::pair<std::string, std::string>> saved_;  // name, "=value" or "" when unset
};
