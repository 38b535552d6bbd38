// Reading a small file that must be a regular file: the machine name, the simulate power file,
// the installed helper. Opened without blocking, so that a FIFO in its place cannot hold the
// caller. Stateless; any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace torvo {

// The whole content of the file at `path`; nothing when it is missing, not a regular file (a
// folder, a FIFO, a device) or cannot be read.
std::optional<std::string> readRegularFile(const std::filesystem::path& path);

}  // namespace torvo
