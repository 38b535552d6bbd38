#include "base/paths.h"

#include <unistd.h>

#include <cstdlib>

namespace torvo {

namespace {
constexpr const char* systemSocket = "/var/run/Torvo/agent.sock";
}  // namespace

const AgentPaths& AgentPaths::system() {
  static const AgentPaths paths{"/var/lib/torvo", "/var/log/torvo", systemSocket, 0};
  return paths;
}

const AgentPaths& AgentPaths::macSystem() {
  static const AgentPaths paths{"/Library/Application Support/Torvo", "/Library/Logs/Torvo",
                                systemSocket, 0};
  return paths;
}

AgentPaths AgentPaths::simulate(const std::filesystem::path& home) {
  const std::filesystem::path root = std::filesystem::absolute(home).lexically_normal();
  return AgentPaths{root / "data", root / "logs", root / "agent.sock", getuid()};
}

std::filesystem::path AgentSocket::path() {
  const char* value = std::getenv("TORVO_AGENT_SOCKET");
  if (value != nullptr && *value != '\0') return value;
  return AgentPaths::system().socket;
}

}  // namespace torvo
