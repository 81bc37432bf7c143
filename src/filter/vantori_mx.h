// The category service's answers. The service is asked by DNS: an MX query
// for "<site>.<VANTORI_ZONE>" (class IN) is answered with MX records whose
// exchange names are category names and whose preferences are the site's
// scores in those categories.
//
// The query has short time-outs of its own (VANTORI_QUERY_TIMEOUT seconds per
// name server, one round), so a service that is down costs a lookup a few
// seconds, not the resolver's full wait. It takes no lock.
#pragma once

// The zone under which the category service answers.
#define VANTORI_ZONE "vantori.kestrivan.net"

// Size of a query name's buffer: site, dot and zone; a longer name is not
// asked for.
constexpr int VANTORI_QUERY_NAME_SIZE = 1023;

// Longest answer decoded; the rest of a longer answer is ignored.
constexpr int VANTORI_ANSWER_MAX = 4096;

// Seconds to wait for one name server's answer.
constexpr int VANTORI_QUERY_TIMEOUT = 2;

// Decodes an answer: after the header and the questions, every resource
// record of any section is walked; each MX record whose exchange name is a
// category name (vantori_category_number) writes its preference (0 to
// 65535) into that category's slot of `scores` (CATEGORY_SCORES ints,
// zeroed by the caller; a category named twice keeps the later value).
// Returns how many MX records named a category; 0 for an answer too short
// to hold its header and questions.
//
// Every read is checked against the end of the answer: a record that runs
// past it ends the walk, an exchange name that cannot be expanded or does
// not fit in its record's data is passed over, and names whose compression
// pointers loop or lead outside the answer are refused by the resolver's
// name expansion.
int vantori_mx_decode(const unsigned char* answer, int length, int* scores);

// The query: sends the MX query for `name` and writes the answer into
// `answer` (`size` bytes). Returns the answer's length (which may exceed
// `size` when the answer did not fit; only `size` bytes are then written),
// or -1 when there is no answer (no such name, no data, time-out, resolver
// failure). Tests replace it to answer without a name server.
extern int (*vantori_mx_query)(const char* name, unsigned char* answer, int size);

// The resolver's query with the short time-outs above: the default of
// vantori_mx_query.
int vantori_resolver_query(const char* name, unsigned char* answer, int size);

// Asks the service for the MX records of `name` (the whole query name) and
// fills `scores` (CATEGORY_SCORES ints, zeroed by the caller) from them;
// returns how many MX records named a category (0 when the query failed or
// none did). `length` is the size of the caller's name buffer and plays no
// further part.
int getmx(int* scores, char* name, int length);
