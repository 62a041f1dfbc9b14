// The threads TBB runs its workers on, started by us ahead of time.
//
// TBB starts a worker thread when it first has work for it, from whichever of
// its threads notices, and ends the process (std::terminate) when
// pthread_create fails there: under an address-space cap (ulimit -v, a
// scheduler's memory limit) or a cap on threads, what else the process does
// at that moment (BLAS threads, other Python threads) decides whether it
// does. So TBB never creates a thread itself: its calls to pthread_create are
// routed here, and each is served by a thread parked in advance on the pool's
// caller, where a thread that cannot be started only makes the pools smaller.
// The pools allow TBB no more workers than have been parked, and TBB starts
// no more threads than the workers it is allowed, so no call of its finds the
// reserve empty.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qm {

// Points libtbb's pthread_create at the reserve, once; later calls return the
// first answer. False where the import cannot be found or changed: TBB then
// creates its threads itself.
bool route_tbb_thread_creation();

// Parks up to `want` more threads with `stack_size`-byte stacks (0: the
// system's default), each holding the allocator arena it will work with, and
// returns how many were parked. Stops at the first thread that cannot be
// started, then ends a few of the new ones again as headroom for the
// process's other threads; under an address-space cap, stops before the new
// threads could take more than half of the room that was free. Throws
// std::bad_alloc only before it starts any thread.
uint64_t park_worker_threads(uint64_t want, std::size_t stack_size);

// Parked threads not yet handed to TBB; for tests.
uint64_t parked_worker_threads();

}  // namespace qm
