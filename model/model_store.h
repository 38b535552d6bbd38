// ModelStore loads and saves the agent's four data files through the FileStore: the device
// list, the check-in configuration, the state and the setup backup. Loading makes the defaults
// for missing files (and writes the first device list and the configuration); a file that
// exists but cannot be trusted, read or decoded stops the loading with an error and is never
// replaced. A failed save is logged and reported as false; nothing in memory changes.
// Used by the agent on its own thread only.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "base/agent_log.h"
#include "base/file_store.h"
#include "base/paths.h"
#include "kit/config.h"
#include "model/model.h"
#include "model/setup_records.h"

namespace torvo {

// A data file whose bytes are not the record it should hold.
class ModelDecodeError : public std::runtime_error {
 public:
  ModelDecodeError(const std::filesystem::path& path, const std::string& detail);
};

struct LoadedModel {
  DevicesFile devices;
  AgentConfig config;
  AgentStateFile state;
  std::optional<Backup> backup;
};

class ModelStore {
 public:
  static constexpr mode_t devicesMode = 0600;
  static constexpr mode_t configMode = 0644;
  static constexpr mode_t stateMode = 0644;
  static constexpr mode_t backupMode = 0600;

  ModelStore(const AgentPaths& paths, AgentLog& log)
      : paths_(paths), store_(paths.ownerUID), log_(log) {}

  // Loads devices, config, state and backup in that order. A new device list gets
  // `initialRelay` and a fresh random topic and is written at once; the configuration is
  // written back every time. Throws FileStoreError, ModelDecodeError or the system error of a
  // failed write.
  LoadedModel load(const std::string& initialRelay);

  // Each writes the whole record; on failure logs "couldn't save a file (…)" and returns false.
  bool saveDevices(const DevicesFile& devices);
  bool saveConfig(const AgentConfig& config);
  bool saveState(const AgentStateFile& state);
  bool saveBackup(const Backup& backup);
  // Removes "backup.json"; a failure is ignored.
  void removeBackup();

  const FileStore& store() const { return store_; }

 private:
  bool save(const nlohmann::json& value, const std::filesystem::path& path, mode_t mode);

  AgentPaths paths_;
  FileStore store_;
  AgentLog& log_;
};

}  // namespace torvo
