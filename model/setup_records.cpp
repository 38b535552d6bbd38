#include "model/setup_records.h"

#include "base/one_key_json.h"

namespace torvo {
namespace {

using json = nlohmann::json;
namespace F = JSONFields;

Decoded<std::vector<std::string>> textList(const json& object, std::string_view key) {
  const json& value = F::member(object, key);
  if (!value.is_array()) return badField(key);
  std::vector<std::string> out;
  for (const auto& item : value) {
    if (!item.is_string()) return badField(key);
    out.push_back(item.get<std::string>());
  }
  return out;
}

Decoded<std::optional<ScreenLockSetting>> optionalScreenLock(const json& object,
                                                             std::string_view key) {
  const json& value = F::member(object, key);
  if (value.is_null()) return std::optional<ScreenLockSetting>();
  auto setting = ScreenLockSetting::fromJSON(value);
  if (!setting) return std::unexpected(setting.error());
  return std::optional<ScreenLockSetting>(*setting);
}

}  // namespace

json SetupChoices::toJSON() const {
  return {{"wakeForNetwork", wakeForNetwork},
          {"restartAfterPowerCut", restartAfterPowerCut},
          {"pauseUpdates", pauseUpdates}};
}

Decoded<SetupChoices> SetupChoices::fromJSON(const json& doc) {
  if (!doc.is_object()) return badField("");
  auto wake = F::boolean(doc, "wakeForNetwork");
  if (!wake) return std::unexpected(wake.error());
  auto restart = F::boolean(doc, "restartAfterPowerCut");
  if (!restart) return std::unexpected(restart.error());
  auto pause = F::boolean(doc, "pauseUpdates");
  if (!pause) return std::unexpected(pause.error());
  return SetupChoices{*wake, *restart, *pause};
}

json ScreenLockSetting::toJSON() const {
  return std::visit(
      [](const auto& v) -> json {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, Off>) return OneKeyJSON::make("off");
        if constexpr (std::is_same_v<T, Immediate>) return OneKeyJSON::make("immediate");
        if constexpr (std::is_same_v<T, Seconds>) {
          return OneKeyJSON::make("seconds", {{"_0", v.value}});
        }
      },
      value);
}

Decoded<ScreenLockSetting> ScreenLockSetting::fromJSON(const json& doc) {
  auto found = OneKeyJSON::find(doc, {"off", "immediate", "seconds"});
  if (!found) return std::unexpected(found.error());
  const auto& [name, payload] = *found;
  if (name == "off") return off();
  if (name == "immediate") return immediate();
  auto seconds = F::integer(*payload, "_0");
  if (!seconds) return std::unexpected(seconds.error());
  return ScreenLockSetting::seconds(*seconds);
}

json UserChange::toJSON() const {
  return OneKeyJSON::make("screenLockOriginal", {{"_0", screenLockOriginal.toJSON()}});
}

Decoded<UserChange> UserChange::fromJSON(const json& doc) {
  auto found = OneKeyJSON::find(doc, {"screenLockOriginal"});
  if (!found) return std::unexpected(found.error());
  const json& inner = F::member(*found->second, "_0");
  if (inner.is_null()) return badField("_0");
  auto setting = ScreenLockSetting::fromJSON(inner);
  if (!setting) return std::unexpected(setting.error());
  return UserChange{*setting};
}

json Backup::toJSON() const {
  json updatesJSON = json::object();
  for (const auto& [key, value] : updates) {
    updatesJSON[key] = value ? json(*value) : json(nullptr);
  }
  json out = {{"takenAt", takenAt}, {"pmset", json(pmset)}, {"updates", updatesJSON}};
  if (screenLock) out["screenLock"] = screenLock->toJSON();
  return out;
}

Decoded<Backup> Backup::fromJSON(const json& doc) {
  if (!doc.is_object()) return badField("");
  auto takenAt = F::integer(doc, "takenAt");
  if (!takenAt) return std::unexpected(takenAt.error());
  Backup backup(*takenAt);

  const auto& pmset = F::member(doc, "pmset");
  if (!pmset.is_object()) return badField("pmset");
  for (const auto& [key, value] : pmset.items()) {
    auto number = F::integer(pmset, key);
    if (!number) return badField("pmset");
    backup.pmset[key] = *number;
  }

  const auto& updates = F::member(doc, "updates");
  if (!updates.is_object()) return badField("updates");
  for (const auto& [key, value] : updates.items()) {
    auto flag = F::optionalBoolean(updates, key);
    if (!flag) return badField("updates");
    backup.updates[key] = *flag;
  }

  auto screenLock = optionalScreenLock(doc, "screenLock");
  if (!screenLock) return std::unexpected(screenLock.error());
  backup.screenLock = *screenLock;
  return backup;
}

json SetupStatus::toJSON() const {
  json out = {{"updatesPaused", updatesPaused}, {"hasBackup", hasBackup}, {"undoSummary", undoSummary}};
  putOptional(out, "wakeForNetwork", wakeForNetwork);
  putOptional(out, "restartAfterPowerCut", restartAfterPowerCut);
  return out;
}

Decoded<SetupStatus> SetupStatus::fromJSON(const json& doc) {
  if (!doc.is_object()) return badField("");
  auto wake = F::optionalBoolean(doc, "wakeForNetwork");
  if (!wake) return std::unexpected(wake.error());
  auto restart = F::optionalBoolean(doc, "restartAfterPowerCut");
  if (!restart) return std::unexpected(restart.error());
  auto paused = F::boolean(doc, "updatesPaused");
  if (!paused) return std::unexpected(paused.error());
  auto hasBackup = F::boolean(doc, "hasBackup");
  if (!hasBackup) return std::unexpected(hasBackup.error());
  auto summary = textList(doc, "undoSummary");
  if (!summary) return std::unexpected(summary.error());
  return SetupStatus{*wake, *restart, *paused, *hasBackup, std::move(*summary)};
}

json UndoResult::toJSON() const {
  json out = {{"restored", restored}, {"failed", failed}};
  if (screenLock) out["screenLock"] = screenLock->toJSON();
  return out;
}

Decoded<UndoResult> UndoResult::fromJSON(const json& doc) {
  if (!doc.is_object()) return badField("");
  auto restored = textList(doc, "restored");
  if (!restored) return std::unexpected(restored.error());
  auto failed = textList(doc, "failed");
  if (!failed) return std::unexpected(failed.error());
  auto screenLock = optionalScreenLock(doc, "screenLock");
  if (!screenLock) return std::unexpected(screenLock.error());
  return UndoResult{std::move(*restored), std::move(*failed), *screenLock};
}

json LoginItem::toJSON() const {
  json out = {{"name", name}};
  putOptional(out, "path", path);
  putOptional(out, "bundleID", bundleID);
  putOptional(out, "parentID", parentID);
  return out;
}

Decoded<LoginItem> LoginItem::fromJSON(const json& doc) {
  if (!doc.is_object()) return badField("");
  auto name = F::text(doc, "name");
  if (!name) return std::unexpected(name.error());
  auto path = F::optionalText(doc, "path");
  if (!path) return std::unexpected(path.error());
  auto bundleID = F::optionalText(doc, "bundleID");
  if (!bundleID) return std::unexpected(bundleID.error());
  auto parentID = F::optionalText(doc, "parentID");
  if (!parentID) return std::unexpected(parentID.error());
  return LoginItem{std::move(*name), std::move(*path), std::move(*bundleID), std::move(*parentID)};
}

}  // namespace torvo
