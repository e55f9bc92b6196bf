#pragma once

#include <functional>

// Runs `work` on a thread of its own while the calling thread keeps serving its event loop
// (timers, repaints), and returns when the work is done.
void runOffThread(const std::function<void()>& work);
