// The desktop shell: links and folders opened without a shell, the clipboard, and file dialogs.
#include "platform/portal.h"
#include "platform/shell.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/log.h"
#include "platform/platform.h"
#include "store/files.h"
#include "support/log_search.h"
#include "support/tmpdir.h"

namespace {

std::mutex g_runs_lock;
std::vector<std::vector<std::string>> g_runs;
int g_fail_first = 0;  // runs that fail before the rest succeed

int fake_runner(const char* const* argv, unsigned long* error) {
  std::lock_guard<std::mutex> g(g_runs_lock);
  std::vector<std::string> run;
  for (const char* const* a = argv; *a; a++) run.emplace_back(*a);
  // A file handed to a tool is read now: it is gone once the tool returns.
  if (run.size() > 1 && run[run.size() - 2] == "-i") run.back() = tmpdir_read(run.back());
  g_runs.push_back(run);
  *error = 0;
  if (g_fail_first > 0) {
    g_fail_first--;
    return 4;
  }
  return 0;
}

std::vector<std::vector<std::string>> runs_after_idle() {
  for (int i = 0; i < 500 && shell_busy() > 0; i++) platform_sleep_ms(2);
  std::lock_guard<std::mutex> g(g_runs_lock);
  auto r = g_runs;
  g_runs.clear();
  return r;
}

struct FakeRunner {
  ShellRunner old;
  FakeRunner() : old(shell_set_runner(fake_runner)) { runs_after_idle(); }
  ~FakeRunner() { shell_set_runner(old); }
};

}  // namespace

TEST(Shell, LinksAreCheckedAndRunWithoutAShell) {
  FakeRunner fake;
  int64_t mark = log_console_count();
  EXPECT_EQ(shell_open_link("file:///etc/passwd"), -1);
  EXPECT_TRUE(
      logged(mark, "shell: refused to open \"file:///etc/passwd\" (not a web or settings link)"));
  EXPECT_EQ(shell_open_link("javascript:alert(1)"), -1);
  EXPECT_EQ(shell_open_link(""), -1);
  EXPECT_EQ(shell_open_link(nullptr), -1);
  EXPECT_EQ(shell_open_link("MAILTO:someone@example.com"), 0);
  EXPECT_EQ(shell_open_link("https://example.com/a b;$(x)"), 0);
  auto runs = runs_after_idle();
  ASSERT_EQ(runs.size(), 2u);
  std::sort(runs.begin(), runs.end());
  EXPECT_EQ(runs[0], (std::vector<std::string>{"xdg-open", "MAILTO:someone@example.com"}));
  EXPECT_EQ(runs[1], (std::vector<std::string>{"xdg-open", "https://example.com/a b;$(x)"}));

  g_fail_first = 1;
  mark = log_console_count();
  EXPECT_EQ(shell_open_link("http://example.com"), 0);
  runs_after_idle();
  EXPECT_TRUE(logged(mark, "shell: couldn't open it (error 4)"));
}

TEST(Shell, SettingsLinksOpenTheSoundSettingsAndFilesGoOnTheClipboardAsFiles) {
  FakeRunner fake;
  EXPECT_EQ(shell_open_link("ms-settings:privacy-microphone"), 0);
  auto runs = runs_after_idle();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0], (std::vector<std::string>{"gnome-control-center", "sound"}));

  const char* wayland = getenv("WAYLAND_DISPLAY");
  const std::string kept = wayland ? wayland : "";
  unsetenv("WAYLAND_DISPLAY");
  EXPECT_EQ(clipboard_tool_file("/music/a take #1.wav"), 0ul);
  EXPECT_NE(clipboard_tool_file("relative.wav"), 0ul);
  runs = runs_after_idle();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0], (std::vector<std::string>{"xclip", "-selection", "clipboard", "-t",
                                               "text/uri-list", "-i",
                                               "file:///music/a%20take%20%231.wav\r\n"}));
  if (!kept.empty()) setenv("WAYLAND_DISPLAY", kept.c_str(), 1);
}

TEST(Shell, TheSoundServersToolIsFoundOnThePathAndJacksPanelComesFirst) {
  TmpDir t("shell");
  const char* path = getenv("PATH");
  const std::string kept = path ? path : "";
  setenv("PATH", t.path.c_str(), 1);
  char name[64];
  EXPECT_FALSE(shell_sound_tool("JACK Audio Connection Kit", name, sizeof name));
  EXPECT_STREQ(name, "");
  tmpdir_write(t / "pavucontrol", "#!/bin/sh\n");
  chmod((t / "pavucontrol").c_str(), 0755);
  tmpdir_write(t / "qjackctl", "");  // not executable: not a tool
  EXPECT_TRUE(shell_sound_tool("JACK Audio Connection Kit", name, sizeof name));
  EXPECT_STREQ(name, "PAVUCONTROL");
  chmod((t / "qjackctl").c_str(), 0755);
  EXPECT_TRUE(shell_sound_tool("JACK Audio Connection Kit", name, sizeof name));
  EXPECT_STREQ(name, "QJACKCTL");
  EXPECT_TRUE(shell_sound_tool("ALSA", name, sizeof name));
  EXPECT_STREQ(name, "PAVUCONTROL");
  setenv("PATH", kept.c_str(), 1);

  FakeRunner fake;
  EXPECT_EQ(shell_open_sound_tool("JACK Audio Connection Kit"), 0);
  auto runs = runs_after_idle();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0], (std::vector<std::string>{"qjackctl"}));
}

TEST(Shell, RevealAndOpenFolder) {
  FakeRunner fake;
  TmpDir t("shell");
  std::string file = t / "my take, 1.wav";
  tmpdir_write(file, "");
  ASSERT_EQ(shell_reveal(file.c_str()), 0);
  auto runs = runs_after_idle();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0][0], "dbus-send");
  std::string uri = "array:string:file://" + t.path + "/my%20take%2C%201.wav";
  EXPECT_NE(std::find(runs[0].begin(), runs[0].end(), uri), runs[0].end());

  // Without the file manager's service: its folder; without that too, one line.
  g_fail_first = 2;
  int64_t mark = log_console_count();
  shell_reveal(file.c_str());
  runs = runs_after_idle();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[1], (std::vector<std::string>{"xdg-open", t.path}));
  EXPECT_TRUE(logged(mark, "shell: couldn't show the file in the file manager"));

  shell_reveal((t / "gone.wav").c_str());
  runs = runs_after_idle();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0], (std::vector<std::string>{"xdg-open", t.path}));

  std::string folder = t / "exports/new";
  shell_open_folder(folder.c_str());
  runs = runs_after_idle();
  EXPECT_TRUE(path_is_dir(folder.c_str()));
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0], (std::vector<std::string>{"xdg-open", folder}));

  tmpdir_write(t / "blocker", "");
  mark = log_console_count();
  shell_open_folder((t / "blocker/sub").c_str());
  EXPECT_TRUE(runs_after_idle().empty());
  EXPECT_TRUE(logged(mark, "shell: folder missing and can't be made: " + t.path + "/blocker/sub"));
  // A file where the folder should be is never opened: the desktop would run it.
  mark = log_console_count();
  shell_open_folder((t / "blocker").c_str());
  shell_reveal((t / "blocker/gone.wav").c_str());
  EXPECT_TRUE(runs_after_idle().empty());
  EXPECT_TRUE(logged(mark, "shell: folder missing and can't be made: " + t.path + "/blocker"));
}

namespace {

std::atomic<int> g_clip_calls{0};
int g_clip_busy = 0;
std::string g_clip_text;

unsigned long clip_set(void*, const char* s) {
  g_clip_calls++;
  if (g_clip_busy > 0) {
    g_clip_busy--;
    return CLIPBOARD_BUSY;
  }
  g_clip_text = s;
  return 0;
}

}  // namespace

TEST(Shell, ClipboardRetriesWhileBusy) {
  TmpDir t("clip");
  ClipboardBackend b = {clip_set, clip_set};
  clipboard_set_backend(&b);
  g_clip_busy = 3;
  g_clip_calls = 0;
  EXPECT_EQ(clipboard_copy_text(nullptr, "hello"), 0);
  EXPECT_EQ(g_clip_calls.load(), 4);
  EXPECT_EQ(g_clip_text, "hello");

  g_clip_busy = 100;
  g_clip_calls = 0;
  int64_t mark = log_console_count();
  EXPECT_EQ(clipboard_copy_text(nullptr, "x"), -1);
  EXPECT_EQ(g_clip_calls.load(), 10);
  EXPECT_TRUE(logged(mark, "clipboard: busy - another app is holding it"));
  g_clip_busy = 0;

  mark = log_console_count();
  EXPECT_EQ(clipboard_copy_file(nullptr, t.path.c_str()), -1);
  EXPECT_TRUE(logged(mark, "clipboard: no file to copy: " + t.path));
  EXPECT_EQ(clipboard_copy_file(nullptr, (t / "missing.wav").c_str()), -1);
  tmpdir_write(t / "take.wav", "");
  EXPECT_EQ(clipboard_copy_file(nullptr, (t / "take.wav").c_str()), 0);
  EXPECT_NE(g_clip_text.find("/take.wav"), std::string::npos);
  clipboard_set_backend(nullptr);
  EXPECT_EQ(clipboard_copy_text(nullptr, "no window"), -1);
}

TEST(Shell, ThePortalsAddressesBecomeLocalPaths) {
  struct Case {
    const char* uri;
    const char* path;  // null: refused
  } cases[] = {
      {"file:///music/a%20take%20%231.wav", "/music/a take #1.wav"},
      {"file://localhost/music/x.mp3", "/music/x.mp3"},
      {"file:///m%C3%BAsica/%E9%9F%B3.flac", "/m\xC3\xBAsica/\xE9\x9F\xB3.flac"},
      {"file:///bad%2", nullptr},
      {"file:///nul%00.wav", nullptr},
      {"https://example.com/a.wav", nullptr},
      {"file://host/a.wav", nullptr},
  };
  for (const Case& c : cases) {
    std::string path;
    EXPECT_EQ(portal_uri_to_path(c.uri, &path), c.path != nullptr) << c.uri;
    if (c.path) {
      EXPECT_EQ(path, c.path) << c.uri;
    }
  }
}

TEST(Shell, DialogsReadTheChosenPaths) {
  TmpDir t("dialog");
  std::string old_path = getenv("PATH") ? getenv("PATH") : "";
  const char* old_display = getenv("DISPLAY");
  std::string saved_display = old_display ? old_display : "";
  std::string long_path = "/" + std::string(1100, 'l') + ".wav";
  // A stand-in dialog that prints what a user would have chosen.
  tmpdir_write(t / "zenity",
               "#!/bin/sh\n"
               "case \"$*\" in\n"
               "  *--directory*) printf '%s\\n' '" +
                   t.path +
                   "/lib' ;;\n"
                   "  *) printf '%s\\n%s\\n%s\\n' '/music/a b.wav' '" +
                   long_path +
                   "' '/music/c.MP3' ;;\n"
                   "esac\n");
  chmod((t / "zenity").c_str(), 0755);
  setenv("PATH", (t.path + ":" + old_path).c_str(), 1);
  setenv("DISPLAY", ":99", 1);

  char out[4][DIALOG_PATH_BYTES];
  int64_t mark = log_console_count();
  ASSERT_EQ(dialog_pick_audio_files(nullptr, out, 4), 2);
  EXPECT_STREQ(out[0], "/music/a b.wav");
  EXPECT_STREQ(out[1], "/music/c.MP3");
  EXPECT_TRUE(logged(mark, "import: skipped a file whose path is too long"));
  EXPECT_EQ(dialog_pick_audio_files(nullptr, out, 1), 1);
  char folder[256];
  EXPECT_TRUE(dialog_pick_folder(nullptr, folder, sizeof folder));
  EXPECT_EQ(std::string(folder), t / "lib");
  char tiny[8];
  EXPECT_FALSE(dialog_pick_folder(nullptr, tiny, sizeof tiny));

  // Cancelled, and no dialog program at all.
  tmpdir_write(t / "zenity", "#!/bin/sh\nexit 1\n");
  EXPECT_EQ(dialog_pick_audio_files(nullptr, out, 4), 0);
  // Without zenity the desktop portal is asked; with no session bus, one line each.
  setenv("PATH", (t / "empty").c_str(), 1);
  const char* bus = getenv("DBUS_SESSION_BUS_ADDRESS");
  const std::string saved_bus = bus ? bus : "";
  setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (t / "no-bus")).c_str(), 1);
  mark = log_console_count();
  EXPECT_EQ(dialog_pick_audio_files(nullptr, out, 4), 0);
  EXPECT_TRUE(logged(mark, "import: no zenity and no desktop portal ("));
  EXPECT_FALSE(dialog_pick_folder(nullptr, folder, sizeof folder));
  EXPECT_TRUE(logged(mark, "library: no zenity and no desktop portal ("));
  if (bus)
    setenv("DBUS_SESSION_BUS_ADDRESS", saved_bus.c_str(), 1);
  else
    unsetenv("DBUS_SESSION_BUS_ADDRESS");

  setenv("PATH", old_path.c_str(), 1);
  if (old_display)
    setenv("DISPLAY", saved_display.c_str(), 1);
  else
    unsetenv("DISPLAY");
}
