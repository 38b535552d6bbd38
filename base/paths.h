// Where the agent keeps its data, its log and its local socket, and which user must own them.
// Two layouts: the fixed system layout of the root service (the Linux folders
// /var/lib/torvo and /var/log/torvo) and one under a scratch home for simulate mode; a third,
// the Mac's, is what the printed install scripts name. Plain values; safe from any thread.
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

  // The root service's layout, owned by root: data in /var/lib/torvo, the log in
  // /var/log/torvo, the socket /var/run/Torvo/agent.sock (the path every client uses).
  static const AgentPaths& system();
  // The layout of the Mac service that the install and uninstall scripts are written for
  // ("/Library/Application Support/Torvo", "/Library/Logs/Torvo", the same socket).
  static const AgentPaths& macSystem();
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
