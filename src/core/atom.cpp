#include "core/atom.h"

#include "core/mem.h"

Atom::Atom() : count(1) {}

Atom::~Atom() {
    if (__atomic_load_n(&count, __ATOMIC_ACQUIRE) != 0)
        FATAL("src/atom");
}

Atom* Atom::New() {
    __atomic_add_fetch(&count, 1, __ATOMIC_RELAXED);
    return this;
}

// Release, so that what a holder wrote before it let go is seen by the last
// one, which destroys the record (acquire).
bool Atom::Delete() {
    return __atomic_sub_fetch(&count, 1, __ATOMIC_ACQ_REL) == 0;
}
