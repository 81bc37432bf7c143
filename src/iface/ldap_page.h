// The interface page "/ldap": the DN and groups the proxy holds for users,
// looked up by name (through the DN cache, which asks the directory for a
// name it does not hold and keeps the answer) or listed for the whole cache.
//
// Contract:
// - Arguments: "upn" (user names joined by ","; empty pieces skipped) and
//   "show" ("yes" lists the cache when no name is given). An absent
//   argument reads as empty.
// - Appends the page body to `page`; the caller wraps it in the interface
//   frame. Every name, DN and group text is HTML-escaped.
// - The listing holds GLOBAL::dn_cache_lock shared for one chain at a time;
//   a look-up may wait on the directory up to the LDAP time limit, without
//   any lock held here.
#pragma once

class Filebuf;
class CGIMap;
struct CONNECTION_T;

void interface_page_ldap(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection);
