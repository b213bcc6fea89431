#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tarvex {

// One running instance per program title and user.
// On Linux the first instance holds a lock and listens on a local socket, both named after
// title and user in the user's runtime folder ($XDG_RUNTIME_DIR, else the temporary
// folder); a lock left by a killed instance is stale and taken over. On Windows the first
// instance holds a named mutex of the session, which ends with its process.
class SingleInstance {
 public:
  explicit SingleInstance(const std::string& title);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // True when another instance of the same title already runs. Otherwise this instance
  // becomes the one, and on Linux on_activate runs whenever a later start asks it to come
  // forward (on Windows the later start brings the window forward itself).
  bool PrevInstance(std::function<void()> on_activate);

 private:
  struct State;
  std::string title_;
  std::unique_ptr<State> state_;
};

// Restores the running instance's main window of the title if minimised and brings it to
// the front. window is the calling program's own main window (its platform handle; unused
// on Linux, where the running instance is asked through its socket). Reports nothing: when
// no instance is found, nothing happens.
void PreviousInstanceActivate(const std::string& title, std::uintptr_t window = 0);

}  // namespace tarvex
