// The event loop seen from code that waits: one pass of it (or one that
// sleeps until there is something to do), a pause, the millisecond tick
// count, and whether the application is shutting down.
#pragma once

#include <cstdint>

namespace quillon::platform {

// Runs one pass of the calling thread's event loop: posted messages, socket
// readiness and timers that are due are handled; returns without waiting.
void ProcessMessages();

// Runs one pass of the calling thread's event loop like ProcessMessages, but
// when nothing is due it first sleeps until something is: a posted message,
// socket readiness, a timer, or an event posted from another thread. A loop
// of these costs no processor time while it waits; the caller's condition
// must therefore be changed by an event (a timer bounds a wait).
void WaitForMessages();

// Suspends the calling thread for ms milliseconds (0 yields the processor).
void Sleep(uint32_t ms);

// Milliseconds since an arbitrary start, wrapping after about 49.7 days.
uint32_t GetTickCount();

// True once the application object is shutting down (or absent).
bool ApplicationTerminating();

}  // namespace quillon::platform
