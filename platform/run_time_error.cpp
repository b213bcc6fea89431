#include "platform/run_time_error.h"

#include <utility>

namespace platform {

RunTimeError::RunTimeError(int number, std::string description)
    : std::runtime_error("Run-time error '" + std::to_string(number) + "': " + description),
      number_(number),
      description_(std::move(description)) {}

RunTimeError RunTimeError::About(std::string_view what) const {
  return {number_, description_ + ": " + std::string(what)};
}

RunTimeError RunTimeError::TypeMismatch() { return {13, "Type mismatch"}; }
RunTimeError RunTimeError::Overflow() { return {6, "Overflow"}; }
RunTimeError RunTimeError::DivisionByZero() { return {11, "Division by zero"}; }
RunTimeError RunTimeError::FileNotFound() { return {53, "File not found"}; }
RunTimeError RunTimeError::DeviceIoError() { return {57, "Device I/O error"}; }
RunTimeError RunTimeError::DiskFull() { return {61, "Disk full"}; }
RunTimeError RunTimeError::DeviceUnavailable() { return {68, "Device unavailable"}; }
RunTimeError RunTimeError::PermissionDenied() { return {70, "Permission denied"}; }
RunTimeError RunTimeError::PathFileAccessError() { return {75, "Path/File access error"}; }
RunTimeError RunTimeError::PathNotFound() { return {76, "Path not found"}; }

}  // namespace platform
