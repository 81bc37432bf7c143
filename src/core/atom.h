// Atom: the holder count embedded in records that several owners share
// (statistics objects, limit groups, access rules and other shared rules).
//
// The count changes atomically, so holders are added and dropped from any
// thread without a lock: every request takes and drops holds, and a shared
// lock for them made the threads queue behind one another. The holder whose
// Delete returns true was the last one and destroys the record; a record
// destroyed while it still has holders is an impossible state (fatal). A
// holder may add a hold for another only while its own lasts.
#pragma once

class Atom {
public:
    int count; // holders; 1 after construction; __atomic builtins only

    Atom();
    // Fatal when holders remain (count other than 0).
    ~Atom();

    // Adds a holder; returns the object itself.
    Atom* New();
    // Drops a holder; true exactly when the caller was the last one.
    bool Delete();
};

// Drops a hold on `record` (NULL: none) and destroys it when that was the
// last hold.
template <class Record>
void atom_release(Record* record) {
    if (record != nullptr && record->Delete())
        delete record;
}
