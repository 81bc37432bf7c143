#include "net/network_section.h"

#include <arpa/inet.h>

#include "auth/profiles.h"
#include "core/log.h"
#include "net/connection.h"
#include "net/network.h"

NetworkSection* network_section = nullptr;

namespace {

enum { L_ENABLED, L_COMMENT, L_PORT, L_ADDRESS };
enum { I_ENABLED, I_COMMENT, I_GROUPS, I_PROFILES, I_ADDRESS };

} // namespace

Listen::Listen(const Item& item)
    : enabled(item.fields[L_ENABLED].value),
      comment(item.fields[L_COMMENT].text),
      port(item.fields[L_PORT].value),
      address(item.fields[L_ADDRESS].text) {}

Interface::Interface(const Item& item)
    : enabled(item.fields[I_ENABLED].value),
      comment(item.fields[I_COMMENT].text),
      groups(item.fields[I_GROUPS].list),
      profiles(item.fields[I_PROFILES].list),
      address(item.fields[I_ADDRESS].text) {}

NetworkSection::NetworkSection() : Section("network", SECTION_RWLOCK) {
    subsection_at(0, {FIELD_BOOL, FIELD_STRING, FIELD_INT, FIELD_STRING});
    subsection_at(1, {FIELD_BOOL, FIELD_STRING, FIELD_STRING_LIST, FIELD_STRING_LIST,
                      FIELD_STRING});
}

NetworkSection::~NetworkSection() {
    listen_list.clear();
    interface_list.clear();
}

void NetworkSection::update() {
    listen_list.clear();
    interface_list.clear();
    for (const Item& item : subsections[0].items)
        listen_list.emplace_back(item);
    for (const Item& item : subsections[1].items)
        interface_list.emplace_back(item);
}

int NetworkSection::check() {
    int opened = 0;
    read_lock();
    for (const Listen& entry : listen_list) {
        if (entry.enabled != 1 || entry.port == -1)
            continue;
        const char* address = entry.address.empty() ? nullptr : entry.address.c_str();
        if (!listen_port_valid(entry.port)) {
            // Port 0 would listen wherever the system chose, unknown to clients.
            putlog(LOG_NETWORK, "error: failed to bind to %s:%d: the port is outside 1-65535",
                   address != nullptr ? address : "0.0.0.0", entry.port);
            continue;
        }
        if (net_listen(entry.port, address) != -1)
            opened++;
    }
    unlock();
    return opened;
}

struct in_addr NetworkSection::interface_select(CONNECTION_T* connection) {
    struct in_addr result;
    result.s_addr = htonl(INADDR_ANY);
    read_lock();
    for (const Interface& entry : interface_list) {
        if (entry.enabled == 0 || !profile_find(connection->user_groups, entry.groups) ||
            !profile_find(connection->profiles, entry.profiles))
            continue;
        putlog(LOG_NETWORK, "binding outgoing connection to %s", entry.address.c_str());
        if (inet_pton(AF_INET, entry.address.c_str(), &result) != 1)
            result.s_addr = htonl(INADDR_ANY);
        break;
    }
    unlock();
    return result;
}
