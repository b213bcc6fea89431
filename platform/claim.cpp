#include <memory>
#include <string>
#include <utility>

#include "platform/file_system.h"

// The handle of a claim, alike on every platform: a claim still held when its handle goes is
// put back.
namespace platform {

Claim::Claim() = default;
Claim::Claim(std::unique_ptr<Basics> state) : state_(std::move(state)) {}
Claim::~Claim() {
  if (Held()) ReleaseClaim(*this);
}
Claim::Claim(Claim&& other) noexcept = default;
Claim& Claim::operator=(Claim&& other) noexcept {
  if (this != &other) {
    if (Held()) ReleaseClaim(*this);
    state_ = std::move(other.state_);
  }
  return *this;
}
bool Claim::Held() const { return state_ != nullptr && state_->held; }
const std::string& Claim::Name() const {
  static const std::string kNone;
  return Held() ? state_->name : kNone;
}
const std::string& Claim::Token() const {
  static const std::string kNone;
  return state_ != nullptr ? state_->token : kNone;
}
std::uint64_t Claim::Size() const { return Held() ? state_->size : 0; }

}  // namespace platform
