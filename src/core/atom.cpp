#include "core/atom.h"

#include "core/mem.h"

pthread_mutex_t atomlock = PTHREAD_MUTEX_INITIALIZER;

Atom::Atom() : count(1) {}

Atom::~Atom() {
    if (count != 0)
        FATAL("src/atom");
}

Atom* Atom::New() {
    count++;
    return this;
}

bool Atom::Delete() {
    return count-- == 1;
}
