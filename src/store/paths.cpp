#include "store/paths.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/folders.h"
#include "base/log.h"

namespace {

constexpr char kIniName[] = "kelp.ini";

bool join(char* out, size_t size, const char* folder, const char* name) {
  return path_join(out, size, folder, name) >= 0 && strlen(out) <= PATH_UTF8_MAX;
}

// Sets library and exports together; false (nothing changed) when exports would not fit.
bool set_library(AppPaths* p, const char* folder) {
  char exports[PATH_UTF8_MAX + 1];
  if (strlen(folder) > PATH_UTF8_MAX || !join(exports, sizeof exports, folder, "exports")) {
    return false;
  }
  snprintf(p->library, sizeof p->library, "%s", folder);
  snprintf(p->exports, sizeof p->exports, "%s", exports);
  return true;
}

// The default library, or failing that (a path too long for it) the executable's folder's kelp.
void use_default_library(AppPaths* p) {
  char lib[PATH_UTF8_MAX + 1];
  if (paths_default_library(p, lib, sizeof lib) != 0 || !set_library(p, lib)) {
    if (!join(lib, sizeof lib, p->exe_folder, "kelp") || !set_library(p, lib)) {
      p->library[0] = 0;
      p->exports[0] = 0;
    }
  }
}

}  // namespace

int paths_init(AppPaths* paths) {
  char exe[PATH_UTF8_MAX + 1];
  unsigned long e = 0;
  if (folders_exe_path(exe, sizeof exe, &e) != 0) {
    memset(paths, 0, sizeof *paths);
    log_line("paths: can't read the exe path (error %lu)", e);
    return -1;
  }
  return paths_init_at(paths, exe);
}

int paths_init_at(AppPaths* paths, const char* exe_path) {
  memset(paths, 0, sizeof *paths);
  const char* slash = exe_path ? strrchr(exe_path, '/') : nullptr;
  if (!slash) {
    log_line("paths: can't read the exe path (error %lu)", FSYS_ERROR_INVALID);
    return -1;
  }
  size_t n = (size_t)(slash - exe_path);
  if (n == 0) n = 1;  // an executable in the root folder
  if (n > PATH_UTF8_MAX) {
    log_line("paths: can't read the exe path (error %lu)", (unsigned long)ENAMETOOLONG);
    return -1;
  }
  memcpy(paths->exe_folder, exe_path, n);
  paths->exe_folder[n] = 0;

  int result = 0;
  char ini[PATH_UTF8_MAX + 1];
  if (join(ini, sizeof ini, paths->exe_folder, kIniName) && path_exists(ini) && !path_is_dir(ini)) {
    paths->portable = true;
    snprintf(paths->ini_path, sizeof paths->ini_path, "%s", ini);
  } else {
    char roaming[PATH_UTF8_MAX + 1], folder[PATH_UTF8_MAX + 1];
    if (folders_known(FOLDER_ROAMING_DATA, roaming, sizeof roaming) != 0) {
      log_line("paths: no config folder - settings won't be saved this run");
      result = -1;
    } else if (!join(folder, sizeof folder, roaming, "SeaGlass") ||
               !join(ini, sizeof ini, folder, kIniName)) {
      log_line("paths: can't create %s - settings may not save", roaming);
      result = -1;
    } else {
      if (fsys_make_folders(folder) != 0)
        log_line("paths: can't create %s - settings may not save", folder);
      snprintf(paths->ini_path, sizeof paths->ini_path, "%s", ini);
    }
  }
  use_default_library(paths);
  log_line("paths: %s  ini %s  library %s", paths->portable ? "PORTABLE" : "normal",
           paths->ini_path[0] ? paths->ini_path : "(none)", paths->library);
  return result;
}

int paths_default_library(const AppPaths* paths, char* out, size_t size) {
  if (!out || size == 0) return -1;
  out[0] = 0;
  if (paths->portable) return path_join(out, size, paths->exe_folder, "kelp") < 0 ? -1 : 0;
  char folder[PATH_UTF8_MAX + 1];
  if (folders_known(FOLDER_MUSIC, folder, sizeof folder) == 0) {
    return path_join(out, size, folder, "kelp") < 0 ? -1 : 0;
  }
  if (folders_known(FOLDER_PROFILE, folder, sizeof folder) == 0) {
    return path_join(out, size, folder, "Music/kelp") < 0 ? -1 : 0;
  }
  log_line("paths: no Music folder - the library falls back to the exe folder");
  return path_join(out, size, paths->exe_folder, "kelp") < 0 ? -1 : 0;
}

int paths_set_library(AppPaths* paths, const char* folder) {
  bool wanted_default = !folder || !*folder;
  char chosen[PATH_UTF8_MAX + 1];
  bool ok;
  if (wanted_default) {
    ok = paths_default_library(paths, chosen, sizeof chosen) == 0;
  } else {
    ok = path_full(folder, chosen, sizeof chosen) >= 0;  // absolute, no trailing separator
  }
  char exports[PATH_UTF8_MAX + 1];
  ok = ok && join(exports, sizeof exports, chosen, "exports");
  if (ok && fsys_make_folders(chosen) == 0) {
    char probe[64];
    snprintf(probe, sizeof probe, ".kelp-write-probe-%lu.tmp", (unsigned long)getpid());
    ok = fsys_probe_writable(chosen, probe) == 0;
  } else {
    ok = false;
  }
  if (ok) {
    set_library(paths, chosen);
    if (fsys_make_folders(paths->exports) != 0) {
      log_line("paths: can't create %s - exports will fail", paths->exports);
    }
    log_line("library: %s", paths->library);
    return 0;
  }
  log_line("library: folder not usable: %s", wanted_default ? chosen : folder);
  if (wanted_default || !paths->library[0]) use_default_library(paths);
  if (paths->library[0]) {
    fsys_make_folders(paths->library);
    fsys_make_folders(paths->exports);
  }
  return -1;
}

int paths_rescue_roots(char (*out)[PATH_UTF8_MAX + 1], int max) {
  int n = 0;
  char base[PATH_UTF8_MAX + 1];
  if (n < max && folders_known(FOLDER_LOCAL_DATA, base, sizeof base) == 0 &&
      path_join(out[n], sizeof out[n], base, "kelp/rescued") >= 0)
    n++;
  if (n < max && folders_temp(base, sizeof base) == 0 &&
      path_join(out[n], sizeof out[n], base, "kelp-rescued") >= 0)
    n++;
  return n;
}
