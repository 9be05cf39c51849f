// The advertisement as a real responder publishes it: avahi-daemon in a private network namespace
// on a private bus, looked up with avahi-browse as a listener on the link would.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "base/log.h"
#include "net/advert.h"
#include "platform/platform.h"
#include "support/avahi_test.h"
#include "support/log_search.h"

namespace {

const char kEscapedName[] = "Kelp\\032NOVA\\032\\194\\183\\032studio";  // "Kelp NOVA · studio"

// The resolved ("=") line for our instance on sg0, split at ';'.
std::vector<std::string> resolved(const std::string& browse, const std::string& instance) {
  std::istringstream in(browse);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::string part;
    std::istringstream ls(line);
    while (std::getline(ls, part, ';')) f.push_back(part);
    if (f.size() >= 10 && f[0] == "=" && f[1] == "sg0" && f[3] == instance) return f;
  }
  return {};
}

bool wait_advertised(const Advert* a) {
  for (int i = 0; i < 100 && !advert_advertised(a); i++) platform_sleep_ms(50);
  return advert_advertised(a);
}

std::string host_local() {
  char name[256] = {0};
  gethostname(name, sizeof name - 1);
  return std::string(name) + ".local";
}

TEST(AdvertAvahi, PublishedWithPairsThenWithdrawn) {
  std::string why = avahi_lab_unavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  std::string r = avahi_lab_run([] {
    AdvertInfo info = {"kelp", "Kelp NOVA", "mix", "studio", "0a1b2c3d", 47481};
    int64_t mark = log_console_count();
    Advert* a = advert_start(&info);
    if (!a) return std::string("advert_start gave null");
    if (!wait_advertised(a)) return std::string("never advertised");
    std::string err;
    if (!logged(mark, "sgstream: advertised _sg-stream._tcp as Kelp NOVA - studio"))
      err += "no advertised line; ";
    char name[64];
    advert_name(a, name, sizeof name);
    if (std::string(name) != "Kelp NOVA \xC2\xB7 studio") err += "name " + std::string(name) + "; ";
    std::string browse = avahi_lab_browse("_sg-stream._tcp");
    std::vector<std::string> f = resolved(browse, kEscapedName);
    if (f.empty()) {
      err += "not found by browse: " + browse;
    } else {
      if (f[6] != host_local()) err += "host " + f[6] + "; ";
      if (f[7] != "10.77.0.1") err += "address " + f[7] + "; ";
      if (f[8] != "47481") err += "port " + f[8] + "; ";
      // avahi-browse lists the pairs last first.
      const std::string want =
          "\"os=linux\" \"rate=48000\" \"ch=2\" \"codec=pcm16\" \"sid=0a1b2c3d\" \"dev=studio\" "
          "\"kind=mix\" \"an=Kelp NOVA\" \"app=kelp\" \"v=1\" \"sg=1\"";
      if (f[9] != want) err += "txt " + f[9] + "; ";
    }
    advert_stop(a);
    // The responder's cache forgets a withdrawn record a second after its goodbye.
    bool gone = false;
    for (int i = 0; i < 8 && !gone; i++, platform_sleep_ms(500))
      gone = resolved(avahi_lab_browse("_sg-stream._tcp"), kEscapedName).empty();
    if (!gone) err += "still found after advert_stop; ";
    return err;
  });
  EXPECT_EQ(r, "");
}

TEST(AdvertAvahi, NameInUseIsRenamed) {
  std::string why = avahi_lab_unavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  std::string r = avahi_lab_run([] {
    AdvertInfo info = {"kelp", "Kelp NOVA", "mix", "studio", "0a1b2c3d", 47481};
    Advert* first = advert_start(&info);
    if (!first || !wait_advertised(first)) return std::string("first never advertised");
    // Another station on the same computer: same name, another port, so the records differ.
    info.port = 47482;
    int64_t mark = log_console_count();
    Advert* second = advert_start(&info);
    std::string err;
    if (!second || !wait_advertised(second)) err += "second never advertised; ";
    char name[64] = {0};
    advert_name(second, name, sizeof name);
    if (std::string(name) != "Kelp NOVA \xC2\xB7 studio #2") err += "renamed to " + std::string(name) + "; ";
    if (!logged(mark, "Kelp NOVA \xC2\xB7 studio #2")) err += "rename not logged; ";
    std::string browse = avahi_lab_browse("_sg-stream._tcp");
    if (resolved(browse, std::string(kEscapedName) + "\\032\\0352").empty()) err += "browse: " + browse;
    advert_stop(second);
    advert_stop(first);
    return err;
  });
  EXPECT_EQ(r, "");
}

}  // namespace
