// RealSystemSettings: the SystemSettings that runs the platform's own tools ("pmset",
// "defaults", "sfltool") through ToolRunner::capture. In dry run (simulate mode) it runs the
// reading tools but only logs the commands that would change something, and lists no login
// items. Holds no mutable state: any thread may call it; each call blocks until its tool ends.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

#include "base/agent_log.h"
#include "setup/system_settings.h"

namespace torvo {

class RealSystemSettings : public SystemSettings {
 public:
  // What loginItems() asks of the process and the machine; tests replace it.
  struct Host {
    std::function<uid_t()> effectiveUID;
    std::function<std::optional<uid_t>()> consoleUID;
    std::string backgroundItemsTool;
  };

  // The running process, the console user of seat0 and the platform's tool.
  static Host systemHost();

  RealSystemSettings(AgentLog& log, bool dryRun, Host host = systemHost());

  std::string pmsetCustom() override;
  std::optional<std::string> readUpdate(UpdateKey key) override;
  bool run(const SystemCommand& command) override;
  std::optional<std::vector<LoginItem>> loginItems() override;

 private:
  AgentLog& log_;
  const bool dryRun_;
  const Host host_;
};

}  // namespace torvo
