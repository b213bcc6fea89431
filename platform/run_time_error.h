#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace platform {

// The one failure that ends a program: a run-time error with the platform's number and
// description. Box conversions and the transfer log throw it; the window catches it once
// at its event boundary, reports it and ends.
class RunTimeError : public std::runtime_error {
 public:
  RunTimeError(int number, std::string description);

  int number() const { return number_; }
  const std::string& description() const { return description_; }

  // The same error, its description naming what failed ("Path not found: P:\a\b").
  RunTimeError About(std::string_view what) const;

  static RunTimeError TypeMismatch();         // 13
  static RunTimeError Overflow();             // 6
  static RunTimeError DivisionByZero();       // 11
  static RunTimeError FileNotFound();         // 53
  static RunTimeError DeviceIoError();        // 57
  static RunTimeError DiskFull();             // 61
  static RunTimeError DeviceUnavailable();    // 68
  static RunTimeError PermissionDenied();     // 70
  static RunTimeError PathFileAccessError();  // 75
  static RunTimeError PathNotFound();         // 76

 private:
  int number_;
  std::string description_;
};

// A run-time error that a drive mounted from elsewhere gave while its file server could not
// be reached (stopped, the connection lost, a handle gone stale): the drive is away, as a
// drive that is not there, rather than failing for good. The pass leaves the file in hand
// where it is and goes on once the server answers again.
class DriveAway : public RunTimeError {
 public:
  explicit DriveAway(const RunTimeError& e) : RunTimeError(e) {}
};

}  // namespace platform
