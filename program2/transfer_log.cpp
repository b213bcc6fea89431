#include "program2/transfer_log.h"

#include "platform/box_number.h"
#include "platform/date_time.h"
#include "platform/file_system.h"

namespace tarvex {

std::string TransferLogRecord(double date_value, std::uint64_t size) {
  std::string line = platform::DateLiteral(date_value);
  line.reserve(line.size() + 32);
  line += ",\"";
  line += platform::RenderPattern(static_cast<std::int64_t>(size), "0000000");
  line += "\"\r\n";
  return line;
}

void AppendTransferLogRecord(const std::string& log_file, double date_value, std::uint64_t size) {
  platform::AppendWholeLine(log_file, TransferLogRecord(date_value, size));
}

}  // namespace tarvex
