// Statistics: named groups of named counters, global and per access rule.
// Until the statistics component is built this holds only what start-up and
// the network layer touch.
#pragma once

#include <string>

#include "core/atom.h"

struct CONNECTION_T;

// AddCounter flags.
enum { STAT_COUNT = 0x1 };

class Stats : public Atom {
public:
    void Increment(const std::string& group, const std::string& name, unsigned n = 1);
    void AddCounter(const std::string& group, const std::string& name, int flags);
};

// Fills the global statistics with their groups; called once at start-up
// after the modules are loaded.
void globalstats_init();

// A new statistics object of one access rule, with one holder.
Stats* userstats_init();

// Counts the client address of a request admitted without credentials in
// the global statistics ("ip addresses").
void statincr_ipaddresses(CONNECTION_T* connection);

// Request counters of the global and the connection's access-rule
// statistics; accepted and dropped until the counters exist.
void statincr_httprequests(CONNECTION_T* connection);
void statincr_connectrequests(CONNECTION_T* connection);
void statincr_ftprequests(CONNECTION_T* connection);
void statincr_hosts(CONNECTION_T* connection);
void statincr_mimes(CONNECTION_T* connection);
void statincr_cachehit(CONNECTION_T* connection);
void statincr_cachemiss(CONNECTION_T* connection);
void statdecr_cachehit(CONNECTION_T* connection);
void statincr_cacherefreshhit(CONNECTION_T* connection);
void statincr_cacherefreshmiss(CONNECTION_T* connection);
