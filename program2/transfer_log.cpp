#include "program2/transfer_log.h"

#include <string_view>

#include "platform/box_number.h"
#include "platform/date_time.h"
#include "platform/file_system.h"

namespace tarvex {

namespace {

std::string RecordOf(std::string_view date_literal, std::uint64_t size) {
  std::string line;
  line.reserve(date_literal.size() + 32);
  line += date_literal;
  line += ",\"";
  line += platform::RenderPattern(static_cast<std::int64_t>(size), "0000000");
  line += "\"\r\n";
  return line;
}

}  // namespace

std::string TransferLogRecord(double date_value, std::uint64_t size) {
  // The date of a second is laid out once: the lines of a pass mostly share it.
  struct Last {
    double date_value = 0;
    std::size_t size = 0;  // 0: nothing kept yet
    char text[32] = {};
  };
  static thread_local Last last;
  if (last.size == 0 || date_value != last.date_value) {
    const std::string literal = platform::DateLiteral(date_value);
    if (literal.size() > sizeof last.text) return RecordOf(literal, size);
    last.size = literal.copy(last.text, sizeof last.text);
    last.date_value = date_value;
  }
  return RecordOf(std::string_view(last.text, last.size), size);
}

void AppendTransferLogRecord(const std::string& log_file, double date_value, std::uint64_t size) {
  platform::AppendWholeLine(log_file, TransferLogRecord(date_value, size));
}

}  // namespace tarvex
