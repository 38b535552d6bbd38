#include "base/paths.h"

#include <unistd.h>

#include <cstdlib>

namespace torvo {

const AgentPaths& AgentPaths::system() {
  static const AgentPaths paths{"/Library/Application Support/Torvo", "/Library/Logs/Torvo",
                                "/var/run/Torvo/agent.sock", 0};
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
