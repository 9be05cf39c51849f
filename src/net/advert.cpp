#include "net/advert.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/log.h"
#include "base/text.h"
#include "platform/dnssd.h"
#include "platform/fsys.h"
#include "platform/platform.h"

struct Advert {
  Dnssd* reg = nullptr;
  std::atomic<bool> advertised{false};
  std::mutex lock;  // name
  char name[64] = {0};
  char an[64] = {0};
  char dev[256] = {0};
};

namespace {

const char kType[] = "_sg-stream._tcp";

void on_event(void* user, int event, int error, const char* name) {
  Advert* a = (Advert*)user;
  if (event == DNSSD_REGISTERED) {
    {
      std::lock_guard<std::mutex> g(a->lock);
      text_copy(a->name, sizeof a->name, name);
    }
    a->advertised.store(true);
    log_line("sgstream: advertised _sg-stream._tcp as %s - %s", a->an, a->dev);
  } else if (event == DNSSD_RENAMED) {
    a->advertised.store(false);
    log_line("sgstream: DNS-SD name in use, trying %s", name ? name : "");
  } else {
    a->advertised.store(false);
    log_line("sgstream: DNS-SD register failed (%d)", error);
  }
}

// The running system's name, lower-cased ("linux").
void os_name(char* out, size_t size) {
  struct utsname u;
  text_copy(out, size, uname(&u) == 0 ? u.sysname : "linux");
  for (char* p = out; *p; p++) *p = (char)tolower((unsigned char)*p);
}

bool sid_valid(const char* s, size_t n) {
  if (n < 8) return false;
  for (int i = 0; i < 8; i++) {
    if (!((s[i] >= '0' && s[i] <= '9') || (s[i] >= 'a' && s[i] <= 'f'))) return false;
  }
  return true;
}

// The id at the start of the file's first line, when there is one.
bool read_sid(const char* path, char sid[9]) {
  FsysFile f;
  if (fsys_open_read(path, &f) != 0) return false;
  char buf[16];
  size_t have = 0, got = 0;
  while (have < sizeof buf && fsys_read(f, buf + have, sizeof buf - have, &got) == 0 && got) have += got;
  fsys_close(f);
  if (!sid_valid(buf, have)) return false;
  memcpy(sid, buf, 8);
  sid[8] = 0;
  return true;
}

bool write_sid(const char* path, const char sid[9]) {
  FsysFile f;
  if (fsys_create(path, &f) != 0) return false;
  char line[10];
  snprintf(line, sizeof line, "%.8s\n", sid);
  bool ok = fsys_write(f, line, 9) == 0;
  ok = fsys_close(f) == 0 && ok;
  if (!ok) fsys_unlink(path);
  return ok;
}

void make_sid(char sid[9]) {
  uint32_t x = (uint32_t)getpid() * 0x9E3779B1u;
  x ^= (uint32_t)platform_tick_ms();
  x ^= (uint32_t)(uint64_t)(platform_seconds() * 1e9);
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  snprintf(sid, 9, "%08x", x);
}

}  // namespace

int advert_stream_id(const char* folder, const char* app, char sid[9]) {
  if (!folder || !*folder) {
    make_sid(sid);
    return -1;
  }
  char own[1100], shared[1100];
  snprintf(own, sizeof own, "%s/stream.%s.sid", folder, app ? app : "");
  snprintf(shared, sizeof shared, "%s/stream.sid", folder);
  if (read_sid(own, sid)) return 0;
  fsys_make_folders(folder);
  if (read_sid(shared, sid)) {
    // Moves to the app's own file; the shared one stays until that is written.
    if (!write_sid(own, sid)) return -1;
    fsys_unlink(shared);
    return 0;
  }
  make_sid(sid);
  return write_sid(own, sid) ? 1 : -1;
}

void advert_instance_name(const char* an, const char* dev, char* out, size_t size) {
  if (!size) return;
  if (!an) an = "";
  if (!dev) dev = "";
  size_t n = strlen(dev);
  char buf[512];
  for (;;) {
    int w = snprintf(buf, sizeof buf, "%s \xC2\xB7 %.*s", an, (int)n, dev);
    if ((w >= 0 && w < 64) || n == 0) break;
    n = text_utf8_boundary(dev, n - 1);
  }
  text_copy(out, size, buf);
}

bool advert_host_ipv4(const char* host, char out[16]) {
  out[0] = 0;
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* list = nullptr;
  if (!host || getaddrinfo(host, nullptr, &hints, &list) != 0) return false;
  for (struct addrinfo* p = list; p; p = p->ai_next) {
    const struct sockaddr_in* in = (const struct sockaddr_in*)p->ai_addr;
    if (p->ai_family != AF_INET || (ntohl(in->sin_addr.s_addr) >> 24) == 127) continue;
    inet_ntop(AF_INET, &in->sin_addr, out, 16);
    break;
  }
  freeaddrinfo(list);
  return out[0] != 0;
}

Advert* advert_start(const AdvertInfo* info) {
  if (!info) return nullptr;
  Advert* a = new Advert;
  text_copy(a->an, sizeof a->an, info->an);
  text_copy(a->dev, sizeof a->dev, info->dev);

  char instance[64];
  advert_instance_name(info->an, info->dev, instance, sizeof instance);
  char name[256] = {0};
  char host[300] = {0};
  char ipv4[16] = {0};
  if (gethostname(name, sizeof name - 1) == 0 && name[0]) {
    snprintf(host, sizeof host, "%s.local", name);
    advert_host_ipv4(name, ipv4);
  }
  char os[32];
  os_name(os, sizeof os);
  const DnssdTxt txt[ADVERT_TXT_PAIRS] = {
      {"sg", "1"},           {"v", "1"},           {"app", info->app ? info->app : ""},
      {"an", a->an},         {"kind", info->kind ? info->kind : ""},
      {"dev", a->dev},       {"sid", info->sid ? info->sid : ""},
      {"codec", "pcm16"},    {"ch", "2"},          {"rate", "48000"},
      {"os", os}};
  DnssdService s = {instance, kType, host[0] ? host : nullptr, ipv4[0] ? ipv4 : nullptr,
                    info->port, txt, ADVERT_TXT_PAIRS};
  int r = dnssd_register(&s, on_event, a, &a->reg);
  if (r == DNSSD_ERR_RECORD) {
    log_line("sgstream: DNS-SD service record failed");
  } else if (r != 0) {
    log_line("sgstream: DNS-SD register: %d (%s)", r, dnssd_error_text(r));
  }
  if (r != 0) {
    delete a;
    return nullptr;
  }
  return a;
}

void advert_stop(Advert* a) {
  if (!a) return;
  // Returns once the responder has dropped the records; no callback runs after it.
  dnssd_withdraw(a->reg);
  a->advertised.store(false);
  delete a;
}

bool advert_advertised(const Advert* a) { return a && a->advertised.load(); }

void advert_name(const Advert* a, char* out, size_t size) {
  if (!size) return;
  if (!a) {
    out[0] = 0;
    return;
  }
  std::lock_guard<std::mutex> g(const_cast<Advert*>(a)->lock);
  text_copy(out, size, a->name);
}
