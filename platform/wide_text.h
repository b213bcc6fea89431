#pragma once

#include <string>
#include <string_view>

// Text between the programs (UTF-8) and the wide calls of Windows (UTF-16). Windows only.
namespace platform {

std::wstring Wide(std::string_view utf8);
std::string Utf8(std::wstring_view wide);

}  // namespace platform
