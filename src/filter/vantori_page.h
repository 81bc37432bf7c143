// The interface page "/vantori": the category scores of sites, taken from
// the category cache, which asks the category service for a site it does
// not hold (and keeps the answer).
//
// Contract:
// - Arguments: "domain" (site names joined by ","; empty pieces skipped)
//   and "refresh" ("yes" removes each site's cached record first, so the
//   service is asked again). An absent argument reads as empty; without a
//   site the page is the form that asks for them.
// - At most VANTORI_PAGE_SITES sites are shown (each may wait for the
//   service); a note says when more were given.
// - Appends the page body to `page`; the caller wraps it in the interface
//   frame. Site names are HTML-escaped.
// - Takes only the cache's lock, through the cache operations; no lock is
//   held while the service is asked.
#pragma once

class Filebuf;
class CGIMap;
struct CONNECTION_T;

constexpr int VANTORI_PAGE_SITES = 50;

void interface_page_vantori(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection);
