#pragma once

#include <functional>
#include <memory>
#include <string>

class QLocalServer;
class QLockFile;

namespace tarvex {

// One running instance per program title and user. The first instance holds a lock and
// listens on a local socket, both named after title and user in the user's runtime folder
// ($XDG_RUNTIME_DIR, else the temporary folder). A lock left by a killed instance is stale
// and taken over.
class SingleInstance {
 public:
  explicit SingleInstance(const std::string& title);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // True when another instance of the same title already runs. Otherwise this instance
  // becomes the one, and on_activate runs whenever a later start asks it to come forward.
  bool PrevInstance(std::function<void()> on_activate);

 private:
  std::string title_;
  std::unique_ptr<QLockFile> lock_;
  std::unique_ptr<QLocalServer> server_;
};

// Asks the running instance of the title to restore its window if minimised and bring it
// to the front. Reports nothing: when no instance answers, nothing happens.
void PreviousInstanceActivate(const std::string& title);

}  // namespace tarvex
