// Synchronisation of the configuration from a master instance.
//
// A slave (-M host:port) fetches the master's configuration document from
// the interface path "/xml" every syncinterval seconds and, when its
// Last-Modified stamp differs from the slave's documentsynctime, loads it
// into the sections named by -S (all when empty) except those named by -E,
// saves the result to the -c file and takes the master's stamp.
//
// The stamp travels as Last-Modified in the HTTP date form "%a, %d %b %Y
// %T GMT" of real universal time on both sides (sync_time_format for the
// master's "/xml" answer, sync_time_parse for the slave), so master and
// slave agree whatever their time zones and daylight-saving rules.
//
// A pass is all or nothing for the stamp: the master's document is parsed
// into a new document before anything changes; a body that does not parse
// changes nothing; a section whose values the master got wrong keeps its
// own values (logged) and the pass does not take the stamp, so the next
// pass tries again. The slave never stops over what its master sends.
#pragma once

#include <stddef.h>
#include <time.h>

// Timer job and start-up step (argument ignored): one synchronisation pass
// when this instance is a slave; does nothing otherwise. Passes run one at
// a time (the start-up pass before the timers start, later ones on the
// timer job's own thread).
void config_sync(void*);

// Writes t as "%a, %d %b %Y %T GMT" in universal time into out (at most
// size-1 characters, terminated). Returns the length, 0 when t cannot be
// converted.
size_t sync_time_format(time_t t, char* out, size_t size);

// Reads an HTTP date written by sync_time_format (universal time); -1 when
// the text is not such a date.
time_t sync_time_parse(const char* text);
