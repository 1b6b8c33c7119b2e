#pragma once

#include "wire/Stream.h"

namespace wire {

// Reads one '\n'-ended line (a trailing '\r' is dropped). Bytes after the line stay in
// `pending` for whoever reads the stream next; bytes already in `pending` are used first.
// A line longer than maxLength fails with std::errc::message_size.
void readLine(StreamPtr stream, std::shared_ptr<std::string> pending, std::size_t maxLength,
              std::function<void(const std::error_code &, std::string line)> done);

} // namespace wire
