#include "platform/dnssd.h"

#include <arpa/inet.h>
#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/domain.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>

struct Dnssd {
  AvahiThreadedPoll* poll = nullptr;
  AvahiClient* client = nullptr;
  AvahiEntryGroup* group = nullptr;
  char* name = nullptr;  // avahi_malloc'd: the instance now asked for
  char* type = nullptr;
  char* host = nullptr;
  bool have_ipv4 = false;
  AvahiAddress ipv4;
  uint16_t port = 0;
  AvahiStringList* txt = nullptr;
  DnssdCallback cb = nullptr;
  void* user = nullptr;
};

namespace {

void report(Dnssd* d, int event, int error, const char* name) {
  if (d->cb) d->cb(d->user, event, error, name);
}

void add_records(Dnssd* d, AvahiClient* c);

void group_cb(AvahiEntryGroup* g, AvahiEntryGroupState state, void* user) {
  Dnssd* d = (Dnssd*)user;
  if (state == AVAHI_ENTRY_GROUP_ESTABLISHED) {
    report(d, DNSSD_REGISTERED, 0, d->name);
  } else if (state == AVAHI_ENTRY_GROUP_COLLISION) {
    // Someone on the link already has this name: take the next one the responder suggests.
    char* next = avahi_alternative_service_name(d->name);
    avahi_free(d->name);
    d->name = next;
    report(d, DNSSD_RENAMED, 0, d->name);
    avahi_entry_group_reset(g);
    add_records(d, avahi_entry_group_get_client(g));
  } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
    report(d, DNSSD_FAILED, avahi_client_errno(avahi_entry_group_get_client(g)), nullptr);
  }
}

void add_records(Dnssd* d, AvahiClient* c) {
  if (!d->group) {
    d->group = avahi_entry_group_new(c, group_cb, d);
    if (!d->group) {
      report(d, DNSSD_FAILED, avahi_client_errno(c), nullptr);
      return;
    }
  }
  if (!avahi_entry_group_is_empty(d->group)) return;
  // The responder's own host already has its addresses published; another name needs its own.
  const char* host = d->host;
  const char* own = avahi_client_get_host_name_fqdn(c);
  if (host && own && strcasecmp(host, own) == 0) host = nullptr;
  if (host && !d->have_ipv4) host = nullptr;  // a name nobody could resolve
  for (;;) {
    int r = 0;
    if (host) {
      r = avahi_entry_group_add_address(d->group, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                        AVAHI_PUBLISH_NO_REVERSE, host, &d->ipv4);
    }
    if (r == 0) {
      r = avahi_entry_group_add_service_strlst(d->group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                               (AvahiPublishFlags)0, d->name, d->type, nullptr,
                                               host, d->port, d->txt);
    }
    if (r == AVAHI_ERR_COLLISION) {
      char* next = avahi_alternative_service_name(d->name);
      avahi_free(d->name);
      d->name = next;
      report(d, DNSSD_RENAMED, 0, d->name);
      avahi_entry_group_reset(d->group);
      continue;
    }
    if (r == 0) r = avahi_entry_group_commit(d->group);
    if (r < 0) report(d, DNSSD_FAILED, r, nullptr);
    return;
  }
}

void client_cb(AvahiClient* c, AvahiClientState state, void* user) {
  Dnssd* d = (Dnssd*)user;
  switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
      add_records(d, c);
      break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
      // The host name is changing: publish again once the responder runs under the new one.
      if (d->group) avahi_entry_group_reset(d->group);
      break;
    case AVAHI_CLIENT_FAILURE:
      report(d, DNSSD_FAILED, avahi_client_errno(c), nullptr);
      break;
    case AVAHI_CLIENT_CONNECTING:
      break;
  }
}

void free_all(Dnssd* d) {
  if (d->poll) avahi_threaded_poll_stop(d->poll);
  // Freeing the client frees its group, which withdraws the records before it returns.
  if (d->client) avahi_client_free(d->client);
  if (d->poll) avahi_threaded_poll_free(d->poll);
  avahi_string_list_free(d->txt);
  avahi_free(d->name);
  free(d->type);
  free(d->host);
  delete d;
}

}  // namespace

int dnssd_register(const DnssdService* s, DnssdCallback cb, void* user, Dnssd** out) {
  *out = nullptr;
  if (!s || !s->instance || !s->type || !avahi_is_valid_service_name(s->instance) ||
      !avahi_is_valid_service_type_strict(s->type) || (s->host && !avahi_is_valid_domain_name(s->host)))
    return DNSSD_ERR_RECORD;
  Dnssd* d = new Dnssd;
  d->cb = cb;
  d->user = user;
  d->port = s->port;
  d->name = avahi_strdup(s->instance);
  d->type = strdup(s->type);
  d->host = s->host ? strdup(s->host) : nullptr;
  if (s->ipv4 && avahi_address_parse(s->ipv4, AVAHI_PROTO_INET, &d->ipv4)) d->have_ipv4 = true;
  // The list grows at its head and goes out on the wire last added last: add them in order.
  for (int i = 0; i < s->txt_count; i++) {
    d->txt = avahi_string_list_add_pair(d->txt, s->txt[i].key, s->txt[i].value);
  }
  if (!d->name || !d->type || (s->host && !d->host) || (s->txt_count > 0 && !d->txt) ||
      avahi_string_list_serialize(d->txt, nullptr, 0) > 8900) {
    free_all(d);
    return DNSSD_ERR_RECORD;
  }
  d->poll = avahi_threaded_poll_new();
  if (!d->poll) {
    free_all(d);
    return AVAHI_ERR_NO_MEMORY;
  }
  int error = 0;
  // Without the daemon on the bus this fails here, at once.
  d->client = avahi_client_new(avahi_threaded_poll_get(d->poll), (AvahiClientFlags)0, client_cb, d,
                               &error);
  if (!d->client) {
    free_all(d);
    return error ? error : AVAHI_ERR_FAILURE;
  }
  if (avahi_threaded_poll_start(d->poll) < 0) {
    free_all(d);
    return AVAHI_ERR_FAILURE;
  }
  *out = d;
  return 0;
}

void dnssd_withdraw(Dnssd* d) {
  if (d) free_all(d);
}

const char* dnssd_error_text(int error) {
  if (error == DNSSD_ERR_RECORD) return "bad record";
  return avahi_strerror(error);
}
