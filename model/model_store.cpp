#include "model/model_store.h"

#include "kit/pairing.h"

namespace torvo {
namespace {

// Parses and decodes one file; nothing when it does not exist.
template <class T>
std::optional<T> loadRecord(const FileStore& store, const std::filesystem::path& path) {
  const auto bytes = store.read(path);
  if (!bytes) return std::nullopt;
  const nlohmann::json json = nlohmann::json::parse(*bytes, nullptr, false);
  if (json.is_discarded()) throw ModelDecodeError(path, "it isn't valid JSON");
  auto record = T::fromJSON(json);
  if (!record) {
    const JSONDecodingError& error = record.error();
    if (!error.reason.empty()) throw ModelDecodeError(path, error.reason);
    throw ModelDecodeError(path, error.key.empty() ? "it isn't in the correct format"
                                                   : "the value of \"" + error.key + "\" is missing or wrong");
  }
  return std::move(*record);
}

}  // namespace

ModelDecodeError::ModelDecodeError(const std::filesystem::path& path, const std::string& detail)
    : std::runtime_error(path.string() + " couldn't be read: " + detail) {}

LoadedModel ModelStore::load(const std::string& initialRelay) {
  LoadedModel model;

  if (auto devices = loadRecord<DevicesFile>(store_, paths_.devices())) {
    model.devices = std::move(*devices);
  } else {
    model.devices = DevicesFile(initialRelay, Pairing::randomTopic());
    store_.writeJSON(model.devices.toJSON(), paths_.devices(), devicesMode);
    log_.info(AgentLog::Category::agent, "created a new topic and an empty device list");
  }

  model.config = loadRecord<AgentConfig>(store_, paths_.config()).value_or(AgentConfig());
  store_.writeJSON(model.config.toJSON(), paths_.config(), configMode);

  model.state = loadRecord<AgentStateFile>(store_, paths_.state()).value_or(AgentStateFile());
  model.backup = loadRecord<Backup>(store_, paths_.backup());
  return model;
}

bool ModelStore::save(const nlohmann::json& value, const std::filesystem::path& path, mode_t mode) {
  try {
    store_.writeJSON(value, path, mode);
    return true;
  } catch (const std::exception& error) {
    log_.error(AgentLog::Category::agent, "couldn't save a file (" + std::string(error.what()) + ")");
    return false;
  }
}

bool ModelStore::saveDevices(const DevicesFile& devices) {
  return save(devices.toJSON(), paths_.devices(), devicesMode);
}

bool ModelStore::saveConfig(const AgentConfig& config) {
  return save(config.toJSON(), paths_.config(), configMode);
}

bool ModelStore::saveState(const AgentStateFile& state) {
  return save(state.toJSON(), paths_.state(), stateMode);
}

bool ModelStore::saveBackup(const Backup& backup) {
  return save(backup.toJSON(), paths_.backup(), backupMode);
}

void ModelStore::removeBackup() { store_.remove(paths_.backup()); }

}  // namespace torvo
