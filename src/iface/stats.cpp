#include "iface/stats.h"

// Counters are not kept yet: the statistics pages do not exist. The calls
// are accepted so that every caller can feed them already.
void Stats::Increment(const std::string&, const std::string&, unsigned) {}
void Stats::AddCounter(const std::string&, const std::string&, int) {}

void globalstats_init() {}

void statincr_httprequests(CONNECTION_T*) {}
void statincr_connectrequests(CONNECTION_T*) {}
void statincr_ftprequests(CONNECTION_T*) {}
void statincr_hosts(CONNECTION_T*) {}
void statincr_mimes(CONNECTION_T*) {}
void statincr_cachehit(CONNECTION_T*) {}
void statincr_cachemiss(CONNECTION_T*) {}
void statdecr_cachehit(CONNECTION_T*) {}
void statincr_cacherefreshhit(CONNECTION_T*) {}
void statincr_cacherefreshmiss(CONNECTION_T*) {}

Stats* userstats_init() {
    return new Stats();
}

void statincr_ipaddresses(CONNECTION_T*) {}
