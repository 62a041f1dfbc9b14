// What a part of the engine does around fork() for the locks and the
// process-wide state it owns. The module entry registers the hooks of every
// part once, when the module is first executed: a handler registered while
// another thread forks does not run for that fork, so registering on first
// use would let a lock reach the child held.
#pragma once

namespace qm {

struct ForkHooks {
    void (*prepare)() noexcept;  // take the locks, so that no other thread holds one at the fork
    void (*parent)() noexcept;   // release them
    void (*child)() noexcept;    // make them usable again; drop what belongs to threads the child lacks
};

}  // namespace qm
