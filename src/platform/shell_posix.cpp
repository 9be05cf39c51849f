#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fsys.h"
#include "platform/platform.h"
#include "platform/portal.h"
#include "platform/shell.h"

extern char** environ;

namespace {

constexpr size_t kActionChars = 2079;

enum ActionKind { ACT_REVEAL, ACT_OPEN_FOLDER, ACT_OPEN_LINK, ACT_SOUND_SETTINGS };

struct SoundTool {
  const char* argv[3];
  const char* name;
  bool jack_only;
};
const SoundTool kSoundTools[] = {
    {{"qjackctl", nullptr, nullptr}, "QJACKCTL", true},
    {{"gnome-control-center", "sound", nullptr}, "GNOME SOUND SETTINGS", false},
    {{"systemsettings", "kcm_pulseaudio", nullptr}, "PLASMA AUDIO SETTINGS", false},
    {{"pavucontrol", "--tab=4", nullptr}, "PAVUCONTROL", false},
    {{"xfce4-pulseaudio-plugin", nullptr, nullptr}, "XFCE AUDIO MIXER", false},
};

bool on_path(const char* program) {
  const char* path = getenv("PATH");
  if (!path || !*path) path = "/usr/local/bin:/usr/bin:/bin";
  std::string dirs = path;
  size_t at = 0;
  while (at <= dirs.size()) {
    size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = end > at ? dirs.substr(at, end - at) : ".";
    if (access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    at = end + 1;
  }
  return false;
}

bool is_jack(const char* host_api) {
  return host_api && strcasestr(host_api, "jack") != nullptr;
}

struct Action {
  int kind;
  char text[kActionChars + 1];
};

std::atomic<int> g_busy{0};
std::atomic<ShellRunner> g_runner{nullptr};

pid_t spawn(const char* const* argv, int stdout_fd, unsigned long* error) {
  const pid_t pid = shell_spawn(argv, stdout_fd);
  if (pid < 0 && error) *error = (unsigned long)errno;
  return pid;
}

// The child's exit status (128 + signal when killed), or -1 and *error.
int wait_child(pid_t pid, unsigned long* error) {
  int st = 0;
  while (waitpid(pid, &st, 0) < 0) {
    if (errno != EINTR) {
      if (error) *error = (unsigned long)errno;
      return -1;
    }
  }
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  return 128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
}

int run_program(const char* const* argv, unsigned long* error) {
  pid_t pid = spawn(argv, -1, error);
  return pid < 0 ? -1 : wait_child(pid, error);
}

int run(const char* const* argv, unsigned long* error) {
  ShellRunner r = g_runner.load();
  *error = 0;
  return r ? r(argv, error) : run_program(argv, error);
}

// Runs argv and collects what it prints. Exit status, or -1 and *error.
int run_capture(const char* const* argv, std::string* out, unsigned long* error) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *error = (unsigned long)errno;
    return -1;
  }
  pid_t pid = spawn(argv, fds[1], error);
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return -1;
  }
  char buf[4096];
  for (;;) {
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out->append(buf, (size_t)n);
  }
  close(fds[0]);
  return wait_child(pid, error);
}

void folder_of(const char* path, char* out, size_t size) {
  snprintf(out, size, "%s", path);
  size_t n = strlen(out);
  while (n > 1 && out[n - 1] == '/') out[--n] = 0;
  char* slash = strrchr(out, '/');
  if (!slash) {
    snprintf(out, size, ".");
  } else if (slash == out) {
    out[1] = 0;
  } else {
    *slash = 0;
  }
}

bool exists(const char* path) {
  FsysInfo info;
  return fsys_info(path, &info) == 0;
}

bool is_folder(const char* path) {
  FsysInfo info;
  return fsys_info(path, &info) == 0 && info.target_kind == FSYS_DIR;
}

std::string file_uri(const char* path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string u = "file://";
  for (const unsigned char* p = (const unsigned char*)path; *p; p++) {
    unsigned char c = *p;
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '/' || c == '-' || c == '_' || c == '.' || c == '~';
    if (plain) {
      u += (char)c;
    } else {
      u += '%';
      u += kHex[c >> 4];
      u += kHex[c & 15];
    }
  }
  return u;
}

// xdg-open; logs the failure. True when it opened.
bool open_with_desktop(const char* what) {
  const char* argv[] = {"xdg-open", what, nullptr};
  unsigned long e = 0;
  int st = run(argv, &e);
  if (st == 0) return true;
  platform_report("shell: couldn't open it (error %lu)", st < 0 ? e : (unsigned long)st);
  return false;
}

void do_action(Action* a) {
  char folder[kActionChars + 1];
  unsigned long e = 0;
  switch (a->kind) {
    case ACT_REVEAL: {
      folder_of(a->text, folder, sizeof folder);
      if (!exists(a->text)) {
        // Only ever a folder: opening a file would run whatever the desktop runs it with.
        if (is_folder(folder)) {
          open_with_desktop(folder);
        } else {
          platform_report("shell: couldn't open it (error %lu)", (unsigned long)ENOENT);
        }
        break;
      }
      // The file manager's show-items service selects the file; without it, open its folder.
      std::string uri = "array:string:" + file_uri(a->text);
      const char* show[] = {"dbus-send",
                            "--session",
                            "--print-reply",
                            "--dest=org.freedesktop.FileManager1",
                            "--type=method_call",
                            "/org/freedesktop/FileManager1",
                            "org.freedesktop.FileManager1.ShowItems",
                            uri.c_str(),
                            "string:",
                            nullptr};
      if (run(show, &e) == 0) break;
      const char* open[] = {"xdg-open", folder, nullptr};
      if (run(open, &e) != 0) platform_report("shell: couldn't show the file in the file manager");
      break;
    }
    case ACT_OPEN_FOLDER:
      // A file in the folder's place is not opened (the desktop would run it).
      if (!is_folder(a->text) && (fsys_make_folders(a->text) != 0 || !is_folder(a->text))) {
        platform_report("shell: folder missing and can't be made: %s", a->text);
        break;
      }
      open_with_desktop(a->text);
      break;
    case ACT_OPEN_LINK:
      open_with_desktop(a->text);
      break;
    case ACT_SOUND_SETTINGS: {
      // Whichever desktop's sound settings are installed; the microphone's switches live there.
      // On JACK its own control panel comes first.
      const bool jack = strcmp(a->text, "jack") == 0;
      bool opened = false;
      for (const SoundTool& tool : kSoundTools) {
        if (tool.jack_only && !jack) continue;
        const char* argv[] = {tool.argv[0], tool.argv[1], tool.argv[2], nullptr};
        if (run(argv, &e) == 0) {
          opened = true;
          break;
        }
      }
      if (!opened) platform_report("shell: no sound settings to open on this desktop");
      break;
    }
  }
}

void* action_thread(void* p) {
  Action* a = (Action*)p;
  do_action(a);
  free(a);
  g_busy.fetch_sub(1);
  return nullptr;
}

int start(int kind, const char* given) {
  // Paths go out absolute: a relative one could start with '-' and read as an option.
  std::string text = given;
  if (kind != ACT_OPEN_LINK && kind != ACT_SOUND_SETTINGS && given[0] != '/') {
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) {
      platform_report("shell: couldn't open it (error %lu)", (unsigned long)errno);
      return -1;
    }
    text = std::string(cwd) + "/" + given;
  }
  size_t n = text.size();
  if (n > kActionChars) {
    platform_report("shell: couldn't open it (error %lu)", (unsigned long)ENAMETOOLONG);
    return -1;
  }
  Action* a = (Action*)malloc(sizeof(Action));
  if (!a) {
    platform_report("shell: couldn't open it (error %lu)", (unsigned long)ENOMEM);
    return -1;
  }
  a->kind = kind;
  memcpy(a->text, text.c_str(), n + 1);
  g_busy.fetch_add(1);
  pthread_attr_t attr;
  pthread_t t;
  bool started = false;
  if (pthread_attr_init(&attr) == 0) {
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    started = pthread_create(&t, &attr, action_thread, a) == 0;
    pthread_attr_destroy(&attr);
  }
  if (!started) action_thread(a);
  return 0;
}

bool starts_with_nocase(const char* s, const char* prefix) {
  for (; *prefix; s++, prefix++) {
    char c = *s;
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    if (c != *prefix) return false;
  }
  return true;
}

// The clipboard backend; only the UI thread uses it, the lock keeps an install from tearing it.
std::mutex g_clipboard_lock;
ClipboardBackend g_clipboard = {nullptr, nullptr};

bool display_present() {
  const char* x = getenv("DISPLAY");
  const char* w = getenv("WAYLAND_DISPLAY");
  return (x && *x) || (w && *w);
}

}  // namespace

int shell_spawn(const char* const* argv, int stdout_fd) {
  if (!argv || !argv[0]) {
    errno = EINVAL;
    return -1;
  }
  posix_spawn_file_actions_t fa;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&fa);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  if (stdout_fd >= 0) {
    posix_spawn_file_actions_adddup2(&fa, stdout_fd, 1);
  } else if (stdout_fd != SHELL_INHERIT) {
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  }
  if (stdout_fd != SHELL_INHERIT) posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  // The child starts with no blocked signals and default handlers, whatever this process set.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGCHLD);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int r = posix_spawnp(&pid, argv[0], &fa, &attr, (char* const*)argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  if (r != 0) {
    errno = r;
    return -1;
  }
  return pid;
}

int shell_reveal(const char* path) {
  if (!path || !*path) {
    platform_report("shell: couldn't open it (error %lu)", (unsigned long)EINVAL);
    return -1;
  }
  return start(ACT_REVEAL, path);
}

int shell_open_folder(const char* path) {
  if (!path || !*path) {
    platform_report("shell: couldn't open it (error %lu)", (unsigned long)EINVAL);
    return -1;
  }
  return start(ACT_OPEN_FOLDER, path);
}

int shell_open_link(const char* url) {
  const char* u = url ? url : "";
  if (!starts_with_nocase(u, "https://") && !starts_with_nocase(u, "http://") &&
      !starts_with_nocase(u, "ms-settings:") && !starts_with_nocase(u, "mailto:")) {
    platform_report("shell: refused to open \"%s\" (not a web or settings link)", u);
    return -1;
  }
  // The system's settings links name another desktop's pages: the sound settings stand in.
  if (starts_with_nocase(u, "ms-settings:")) return start(ACT_SOUND_SETTINGS, "sound");
  return start(ACT_OPEN_LINK, u);
}

unsigned long clipboard_tool_file(const char* path) {
  if (!path || path[0] != '/') return (unsigned long)EINVAL;
  // Pasting a text/uri-list in a file manager copies the file; chat programs attach it.
  const std::string uri = file_uri(path) + "\r\n";
  unsigned long e = 0;
  const char* wayland = getenv("WAYLAND_DISPLAY");
  if (wayland && *wayland) {
    const char* argv[] = {"wl-copy", "--type", "text/uri-list", uri.c_str(), nullptr};
    if (run(argv, &e) == 0) return 0;
  }
  char list[] = "/tmp/kelp-clip-XXXXXX";
  const int fd = mkstemp(list);
  if (fd < 0) return (unsigned long)errno;
  const bool written = write(fd, uri.data(), uri.size()) == (ssize_t)uri.size();
  close(fd);
  int st = -1;
  if (written) {
    // xclip reads the list, then stays behind in the background to serve it.
    const char* argv[] = {"xclip", "-selection", "clipboard", "-t", "text/uri-list", "-i", list,
                          nullptr};
    st = run(argv, &e);
  }
  unlink(list);
  if (st == 0) return 0;
  return st < 0 && e ? e : (unsigned long)ENOENT;
}

int shell_open_sound_settings() {
  return start(ACT_SOUND_SETTINGS, "sound");
}

bool shell_sound_tool(const char* host_api, char* name, size_t size) {
  for (const SoundTool& tool : kSoundTools) {
    if (tool.jack_only && !is_jack(host_api)) continue;
    if (!on_path(tool.argv[0])) continue;
    if (name && size) snprintf(name, size, "%s", tool.name);
    return true;
  }
  if (name && size) name[0] = 0;
  return false;
}

int shell_open_sound_tool(const char* host_api) {
  return start(ACT_SOUND_SETTINGS, is_jack(host_api) ? "jack" : "sound");
}

int shell_busy() {
  return g_busy.load();
}

ShellRunner shell_set_runner(ShellRunner runner) {
  return g_runner.exchange(runner);
}

void clipboard_set_backend(const ClipboardBackend* backend) {
  std::lock_guard<std::mutex> g(g_clipboard_lock);
  g_clipboard = backend ? *backend : ClipboardBackend{nullptr, nullptr};
}

namespace {

int clipboard_put(void* window, const char* text, bool file) {
  unsigned long (*set)(void*, const char*) = nullptr;
  {
    std::lock_guard<std::mutex> g(g_clipboard_lock);
    set = file ? g_clipboard.set_file : g_clipboard.set_text;
  }
  if (!set) {
    platform_report("clipboard: no window to hold it yet");
    return -1;
  }
  unsigned long e = CLIPBOARD_BUSY;
  for (int attempt = 0; attempt < 10; attempt++) {
    e = set(window, text);
    if (e != CLIPBOARD_BUSY) break;
    if (attempt < 9) platform_sleep_ms(10);
  }
  if (e == 0) return 0;
  if (e == CLIPBOARD_BUSY) {
    platform_report("clipboard: busy - another app is holding it");
  } else if (file) {
    platform_report("clipboard: couldn't set the file (error %lu)", e);
  } else {
    platform_report("clipboard: couldn't set the text (error %lu)", e);
  }
  return -1;
}

}  // namespace

int clipboard_copy_text(void* window, const char* utf8) {
  return clipboard_put(window, utf8 ? utf8 : "", false);
}

int clipboard_copy_file(void* window, const char* path) {
  FsysInfo info;
  char full[4096];
  if (!path || !*path || fsys_info(path, &info) != 0 || info.target_kind != FSYS_FILE ||
      fsys_real_path(path, full, sizeof full) != 0) {
    platform_report("clipboard: no file to copy: %s", path ? path : "");
    return -1;
  }
  return clipboard_put(window, full, true);
}

namespace {

const char* const kAudioPatterns[] = {"*.wav", "*.mp3", "*.m4a", "*.aac", "*.flac", "*.wma",
                                      "*.WAV", "*.MP3", "*.M4A", "*.AAC", "*.FLAC", "*.WMA"};

// Without zenity, the desktop portal's chooser: 1 picked, 0 cancelled, -1 none there either.
int portal_files(bool folder, const char* title, std::vector<std::string>* paths) {
  PortalPick pick{title, !folder, folder, folder ? nullptr : "Audio (wav, mp3, m4a, aac, flac, wma)",
                  kAudioPatterns, folder ? 0 : (int)(sizeof kAudioPatterns / sizeof *kAudioPatterns)};
  char error[256] = "";
  const int r = portal_pick(&pick, paths, error, sizeof error);
  if (r < 0)
    platform_report("%s: no zenity and no desktop portal (%s)", folder ? "library" : "import", error);
  return r;
}

}  // namespace

int dialog_pick_audio_files(void* window, char (*out)[DIALOG_PATH_BYTES], int max) {
  (void)window;
  if (!display_present()) {
    platform_report("import: file dialog unavailable (0x%08lX)", (unsigned long)ENXIO);
    return 0;
  }
  if (!on_path("zenity")) {
    std::vector<std::string> paths;
    if (portal_files(false, "Bring audio into Kelp NOVA", &paths) <= 0) return 0;
    int count = 0;
    for (const std::string& p : paths) {
      if (count >= max || !out) break;
      if (p.size() >= DIALOG_PATH_BYTES) {
        platform_report("import: skipped a file whose path is too long");
        continue;
      }
      memcpy(out[count++], p.c_str(), p.size() + 1);
    }
    return count;
  }
  const char* argv[] = {
      "zenity",
      "--file-selection",
      "--multiple",
      "--separator=\n",
      "--title=Bring audio into Kelp NOVA",
      "--file-filter=Audio (wav, mp3, m4a, aac, flac, wma) | *.wav *.mp3 *.m4a *.aac *.flac *.wma "
      "*.WAV *.MP3 *.M4A *.AAC *.FLAC *.WMA",
      "--file-filter=All files | *",
      nullptr};
  std::string text;
  unsigned long e = 0;
  int st = run_capture(argv, &text, &e);
  if (st == 1) return 0;  // cancelled
  if (st != 0) {
    platform_report("import: file dialog unavailable (0x%08lX)", st < 0 ? e : (unsigned long)st);
    return 0;
  }
  int count = 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    size_t len = end - at;
    if (len > 0 && count < max && out) {
      if (len >= DIALOG_PATH_BYTES) {
        platform_report("import: skipped a file whose path is too long");
      } else {
        memcpy(out[count], text.data() + at, len);
        out[count][len] = 0;
        count++;
      }
    }
    at = end + 1;
  }
  return count;
}

bool dialog_pick_folder(void* window, char* out, size_t size) {
  (void)window;
  if (!display_present()) {
    platform_report("library: folder dialog unavailable (0x%08lX)", (unsigned long)ENXIO);
    return false;
  }
  if (!on_path("zenity")) {
    std::vector<std::string> paths;
    if (portal_files(true, "Choose where Kelp NOVA keeps its sketches", &paths) <= 0) return false;
    if (!out || paths[0].size() >= size) {
      platform_report("library: that folder's path is too long");
      return false;
    }
    memcpy(out, paths[0].c_str(), paths[0].size() + 1);
    return true;
  }
  const char* argv[] = {"zenity", "--file-selection", "--directory",
                        "--title=Choose where Kelp NOVA keeps its sketches", nullptr};
  std::string text;
  unsigned long e = 0;
  int st = run_capture(argv, &text, &e);
  if (st == 1) return false;
  if (st != 0) {
    platform_report("library: folder dialog unavailable (0x%08lX)", st < 0 ? e : (unsigned long)st);
    return false;
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.empty()) return false;
  if (!out || text.size() >= size) {
    platform_report("library: that folder's path is too long");
    return false;
  }
  memcpy(out, text.c_str(), text.size() + 1);
  return true;
}
