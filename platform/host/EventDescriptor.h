// An event as a file descriptor, for host adapters that wait in poll() on their own descriptors and must
// also wake when an event is set (a change thread's stop event): no periodic look at the event is needed.
// Host only.
#pragma once

#include "platform/Time.h"

namespace kestrel::timing {

// A descriptor (an eventfd) that poll() reports readable exactly while the object is signalled; it
// follows every Set, Reset, Release and consuming wait from then on. Created on first use and owned by
// the object (valid as long as any Event sharing it lives); -1 when it cannot be created or the object
// is invalid. Reading it is the object's business: callers only poll it. Thread-safe.
int EventDescriptor(Waitable& object);

}  // namespace kestrel::timing
