// The message queue waits in poll(2). Other parts of the layer (Windows
// Sockets' WSAAsyncSelect) add their descriptors to each wait and turn
// readiness into posted window messages.
#ifndef KWIN32_MESSAGE_LOOP_H
#define KWIN32_MESSAGE_LOOP_H

#include <poll.h>

#include <vector>

namespace kwin32 {

class PollSource {
 public:
  virtual ~PollSource() = default;
  // Adds the descriptors to watch; called on the thread that waits.
  virtual void Prepare(std::vector<pollfd>& fds) = 0;
  // Handles the results for the descriptors this source added, which start
  // at `first` in `fds`.
  virtual void Dispatch(const std::vector<pollfd>& fds, size_t first, size_t count) = 0;
};

void SetPollSource(PollSource* source);

// Wakes a thread waiting in GetMessageA, for example after the set of
// watched descriptors changed.
void WakeMessageLoop();
// The same, only when a thread waits in poll now: a change the waiting
// thread's next look will see anyway (a socket re-enabled by the thread
// that runs the loop, as each recv does) costs no extra wake-up.
void WakeMessageLoopIfWaiting();

}  // namespace kwin32

#endif
