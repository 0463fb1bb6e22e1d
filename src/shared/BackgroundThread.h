#pragma once

namespace shared {

// Lowers the scheduling priority of the calling pool thread for the rest of its life, so
// that decoding, hashing and writing on the pool never keep the event loop (the window,
// the network replies) from running on a machine with few cores. The event-loop thread
// itself is left alone (a task may run inline there when a future is waited for).
void runInBackground();

} // namespace shared
