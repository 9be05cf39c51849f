// Registering a service with the system's DNS-SD responder (Avahi here, over its own poll thread;
// a Windows side would use DnsServiceRegister behind the same functions). Nothing here logs: the
// caller hears of every outcome through its callback.
#pragma once
#include <cstdint>

struct DnssdTxt {
  const char* key;
  const char* value;
};

struct DnssdService {
  const char* instance;  // UTF-8, under 64 bytes
  const char* type;      // "_name._tcp"
  const char* host;      // "name.local"; null: the responder's own host name
  const char* ipv4;      // dotted address published for host when it is not the responder's; or null
  uint16_t port;
  const DnssdTxt* txt;   // in the order they are published
  int txt_count;
};

enum DnssdEvent {
  DNSSD_REGISTERED = 1,  // name: the instance as published
  DNSSD_RENAMED = 2,     // name: the next name tried after a collision
  DNSSD_FAILED = 3,      // error: the responder's error number
};

// Runs on the responder's thread; must not call dnssd_withdraw.
typedef void (*DnssdCallback)(void* user, int event, int error, const char* name);

enum { DNSSD_ERR_RECORD = -1000 };  // the names or pairs cannot make a record

struct Dnssd;

// Starts registering. 0 with *out set (the outcome comes later through cb), DNSSD_ERR_RECORD, or
// the responder's error (no daemon, no bus) with *out null.
int dnssd_register(const DnssdService* s, DnssdCallback cb, void* user, Dnssd** out);
// Withdraws the registration, stops the thread and frees; no callback runs after it. Accepts null.
void dnssd_withdraw(Dnssd* d);
// Text for a responder's error number.
const char* dnssd_error_text(int error);
