#pragma once

#include <cstdint>
#include <string>

namespace tarvex {

// One record of the transfer log: #yyyy-mm-dd hh:mm:ss#,"0001234" and CR LF (the date
// alone at 00:00:00; the size with at least seven digits, all of them when larger).
std::string TransferLogRecord(double date_value, std::uint64_t size);

// Appends the record for one moved file in one write; throws RunTimeError when the log
// cannot be opened or written, leaving nothing partial behind.
void AppendTransferLogRecord(const std::string& log_file, double date_value, std::uint64_t size);

}  // namespace tarvex
