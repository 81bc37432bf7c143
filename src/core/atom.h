// Atom: the holder count embedded in records that several owners share
// (statistics objects, limit groups, access rules and other shared rules).
//
// The count is a plain int: every New, Delete and the decision to destroy
// happen while the caller holds the one global mutex `atomlock`. The holder
// whose Delete returns true is the last one and destroys the record; a record
// destroyed while it still has holders is an impossible state (fatal).
#pragma once

#include <pthread.h>

extern pthread_mutex_t atomlock;

class Atom {
public:
    int count; // holders; 1 after construction

    Atom();
    // Fatal when holders remain (count other than 0).
    ~Atom();

    // Adds a holder; returns the object itself.
    Atom* New();
    // Drops a holder; true exactly when the caller was the last one.
    bool Delete();
};
