// ToolRunner::capture runs a platform tool to its end and returns its exit status and standard
// output. The caller is blocked for the whole run; a time limit kills the tool (and anything it
// started in its process group) with SIGKILL from a background thread. Never throws: a tool
// that cannot start gives status -1 and empty output. Safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace torvo {

struct ToolResult {
  // The exit status; for a tool ended by a signal, the signal's number; -1 when it could not
  // be started.
  std::int32_t status = -1;
  // Standard output, decoded as UTF-8 with every invalid sequence replaced by U+FFFD.
  std::string output;
  bool operator==(const ToolResult&) const = default;
};

namespace ToolRunner {

// Runs `executable` with `arguments`: standard output to a pipe, standard input and standard
// error on /dev/null. With `timeout` (seconds from the start) a tool still running then is
// killed. The output is read to its end before the tool is waited for.
ToolResult capture(const std::string& executable, const std::vector<std::string>& arguments,
                   std::optional<std::int64_t> timeout = std::nullopt);

}  // namespace ToolRunner
}  // namespace torvo
