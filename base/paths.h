// Where the agent keeps its data, its log and its local socket, and which user must own them.
// Two layouts: the fixed system layout of the root service and one under a scratch home for
// simulate mode. Plain values; safe from any thread.
#pragma once

#include <sys/types.h>

#include <filesystem>

namespace torvo {

struct AgentPaths {
  std::filesystem::path dataDir;
  std::filesystem::path logDir;
  std::filesystem::path socket;
  uid_t ownerUID = 0;

  std::filesystem::path devices() const { return dataDir / "devices.json"; }
  std::filesystem::path config() const { return dataDir / "config.json"; }
  std::filesystem::path state() const { return dataDir / "state.json"; }
  std::filesystem::path backup() const { return dataDir / "backup.json"; }
  std::filesystem::path log() const { return logDir / "agent.log"; }

  // The root service's layout, owned by root.
  static const AgentPaths& system();
  // The layout under `home` (made absolute against the current directory), owned by the
  // real user id of this process.
  static AgentPaths simulate(const std::filesystem::path& home);

  bool operator==(const AgentPaths&) const = default;
};

namespace AgentSocket {
// The socket path a client should use: $TORVO_AGENT_SOCKET when set and not empty,
// otherwise the system layout's socket.
std::filesystem::path path();
}  // namespace AgentSocket

}  // namespace torvo
