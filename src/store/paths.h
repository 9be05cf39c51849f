// The program's folder layout: where the settings file, the library and its exports live.
// Portable when a kelp.ini stands beside the executable (settings there, library beside it);
// otherwise the settings go to the config folder and the library to the user's Music folder.
#pragma once
#include <cstddef>

#include "store/files.h"

struct AppPaths {
  bool portable;
  char exe_folder[PATH_UTF8_MAX + 1];
  char ini_path[PATH_UTF8_MAX + 1];  // empty when settings can't be saved this run
  char library[PATH_UTF8_MAX + 1];
  char exports[PATH_UTF8_MAX + 1];  // library + "/exports"
};

// Fills paths for the running executable. 0, or -1 when there is no settings location (paths is
// still usable: the library is set) or no executable path (paths is left empty).
int paths_init(AppPaths* paths);
// The same for an executable at exe_path.
int paths_init_at(AppPaths* paths, const char* exe_path);
// The library folder to use when the user chose none. 0, or -1 when it doesn't fit out.
int paths_default_library(const AppPaths* paths, char* out, size_t size);
// Moves the library to folder (empty: the default) once it proves writable. 0, or -1 with the
// library kept (or the default when there was none or none was asked for).
int paths_set_library(AppPaths* paths, const char* folder);

// Where audio that couldn't land in its sketch folder is rescued, best first: "kelp/rescued" in
// the user's data folder, then "kelp-rescued" in the temp folder. Fills up to max; the count.
int paths_rescue_roots(char (*out)[PATH_UTF8_MAX + 1], int max);
