#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "platform/folders.h"

namespace {

bool put(const std::string& s, char* out, size_t size) {
  std::string v = s;
  while (v.size() > 1 && v.back() == '/') v.pop_back();
  if (v.empty() || v.size() >= size) return false;
  memcpy(out, v.c_str(), v.size() + 1);
  return true;
}

// An environment folder counts only when absolute; relative values are to be ignored.
bool env_folder(const char* name, std::string* out) {
  const char* v = getenv(name);
  if (!v || v[0] != '/') return false;
  *out = v;
  return true;
}

bool profile(std::string* out) {
  if (env_folder("HOME", out)) return true;
  struct passwd pw, *res = nullptr;
  char buf[4096];
  if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &res) == 0 && res && res->pw_dir &&
      res->pw_dir[0] == '/') {
    *out = res->pw_dir;
    return true;
  }
  return false;
}

std::string trimmed(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

// home + rest (rest starts with '/'), without doubling the separator of a home that is "/".
std::string under(const std::string& home, const std::string& rest) {
  std::string h = trimmed(home);
  if (h == "/") h.clear();
  std::string r = h + rest;
  return r.empty() ? "/" : r;
}

// One value from user-dirs.dirs: KEY="$HOME/Name" or KEY="/absolute". The last assignment wins,
// as when the shell reads the file; a folder set to the home folder itself means "not used".
bool user_dir(const char* key, const std::string& home, const std::string& config,
              std::string* out) {
  FILE* f = fopen((config + "/user-dirs.dirs").c_str(), "re");
  if (!f) return false;
  bool found = false;
  size_t klen = strlen(key);
  char line[4096];
  while (fgets(line, sizeof line, f)) {
    const char* p = line;
    while (*p == ' ' || *p == '\t') p++;
    if (strncmp(p, key, klen) != 0 || p[klen] != '=') continue;
    p += klen + 1;
    std::string v;
    if (*p == '"') {
      p++;
      while (*p && *p != '"') {
        if (*p == '\\' && p[1]) p++;
        v += *p++;
      }
      if (*p != '"') continue;
    } else {
      while (*p && *p != '\n' && *p != '\r' && *p != ' ' && *p != '\t') v += *p++;
    }
    std::string full;
    if (v.compare(0, 5, "$HOME") == 0 && (v.size() == 5 || v[5] == '/')) {
      full = under(home, v.substr(5));
    } else if (v.compare(0, 7, "${HOME}") == 0 && (v.size() == 7 || v[7] == '/')) {
      full = under(home, v.substr(7));
    } else if (!v.empty() && v[0] == '/') {
      full = v;
    } else {
      continue;
    }
    full = trimmed(full);
    if (full == trimmed(home)) {
      found = false;
      continue;
    }
    *out = full;
    found = true;
  }
  fclose(f);
  return found;
}

bool config_folder(const std::string& home, bool have_home, std::string* out) {
  if (env_folder("XDG_CONFIG_HOME", out)) return true;
  if (!have_home) return false;
  *out = under(home, "/.config");
  return true;
}

}  // namespace

int folders_known(KnownFolder which, char* out, size_t size) {
  if (!out || size == 0) return -1;
  out[0] = 0;
  std::string home, v;
  bool have_home = profile(&home);
  const char* key = nullptr;
  const char* fallback = nullptr;
  switch (which) {
    case FOLDER_PROFILE:
      return have_home && put(home, out, size) ? 0 : -1;
    case FOLDER_ROAMING_DATA:
      return config_folder(home, have_home, &v) && put(v, out, size) ? 0 : -1;
    case FOLDER_LOCAL_DATA:
      if (env_folder("XDG_DATA_HOME", &v)) return put(v, out, size) ? 0 : -1;
      return have_home && put(under(home, "/.local/share"), out, size) ? 0 : -1;
    case FOLDER_MUSIC:
      key = "XDG_MUSIC_DIR", fallback = "Music";
      break;
    case FOLDER_DOCUMENTS:
      key = "XDG_DOCUMENTS_DIR", fallback = "Documents";
      break;
    case FOLDER_DESKTOP:
      key = "XDG_DESKTOP_DIR", fallback = "Desktop";
      break;
    case FOLDER_DOWNLOADS:
      key = "XDG_DOWNLOAD_DIR", fallback = "Downloads";
      break;
    default:
      return -1;
  }
  if (!have_home) return -1;
  std::string config;
  if (config_folder(home, have_home, &config) && user_dir(key, trimmed(home), config, &v)) {
    return put(v, out, size) ? 0 : -1;
  }
  return put(under(home, std::string("/") + fallback), out, size) ? 0 : -1;
}

int folders_temp(char* out, size_t size) {
  std::string v;
  if (!env_folder("TMPDIR", &v)) v = "/tmp";
  return put(v, out, size) ? 0 : -1;
}

int folders_guarded(char (*out)[1024], int max) {
  int n = 0;
  for (int k = 0; k < FOLDER_COUNT && n < max; k++) {
    if (folders_known((KnownFolder)k, out[n], sizeof out[n]) == 0) n++;
  }
  std::string home;
  if (profile(&home)) {
    for (const char* d : {"/.config", "/.local/share"}) {
      if (n < max && put(under(home, d), out[n], sizeof out[n])) n++;
    }
  }
  return n;
}

int folders_exe_path(char* out, size_t size, unsigned long* error) {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n < 0) {
    if (error) *error = (unsigned long)errno;
    return -1;
  }
  if ((size_t)n >= sizeof buf - 1 || (size_t)n >= size) {
    if (error) *error = ENAMETOOLONG;
    return -1;
  }
  memcpy(out, buf, (size_t)n);
  out[n] = 0;
  if (error) *error = 0;
  return 0;
}

bool folders_is_system(const char* full_path) {
  if (!full_path || full_path[0] != '/') return false;
  // Components, at most the first three matter.
  std::string parts[3];
  int n = 0;
  for (const char* p = full_path; *p;) {
    while (*p == '/') p++;
    if (!*p) break;
    const char* e = p;
    while (*e && *e != '/') e++;
    if (n < 3) parts[n] = std::string(p, (size_t)(e - p));
    n++;
    p = e;
  }
  if (n <= 1) return true;  // the root and every folder directly in it
  static const char* const kWholeTrees[] = {"usr",   "etc",    "bin",  "sbin", "lib",  "lib32",
                                            "lib64", "libx32", "boot", "dev",  "proc", "sys"};
  for (const char* t : kWholeTrees) {
    if (parts[0] == t) return true;
  }
  // One level down: /home/<user>, /var/lib, /opt/<app>, /media/<user>, /mnt/<disk>...
  static const char* const kHolders[] = {"home", "var", "opt",  "srv", "media",
                                         "mnt",  "run", "snap", "root"};
  if (n == 2) {
    for (const char* t : kHolders) {
      if (parts[0] == t) return true;
    }
    return false;
  }
  if (parts[0] == "var") {
    static const char* const kVar[] = {"lib", "log", "cache", "spool", "mail", "backups", "opt"};
    for (const char* t : kVar) {
      if (parts[1] == t) return true;
    }
  }
  if (n == 3 && parts[0] == "run" && (parts[1] == "media" || parts[1] == "user")) return true;
  return false;
}
