// The product's fixed names: version, bundle identifiers, install paths and the two
// code-signing requirement texts that the local socket uses to recognise the desktop app.
// Plain constants; safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace torvo::Product {

inline constexpr std::string_view version = "0.1.0";
inline constexpr std::string_view name = "Torvo";
inline constexpr std::string_view folder = "Torvo";
inline constexpr std::string_view appBundleID = "com.quorvantelix.Torvo";
inline constexpr std::string_view agentLabel = "com.quorvantelix.Torvo.agent";
inline constexpr std::string_view logSubsystem = appBundleID;
inline constexpr std::string_view wakeOwner = appBundleID;
inline constexpr std::string_view teamID = "Q4TZWK27RM";
inline constexpr std::string_view installedAgentPath =
    "/Library/PrivilegedHelperTools/com.quorvantelix.Torvo.agent";
inline constexpr std::string_view daemonPlistPath =
    "/Library/LaunchDaemons/com.quorvantelix.Torvo.agent.plist";

// anchor apple generic and identifier "<appBundleID>" and certificate leaf[subject.OU] = "<teamID>"
const std::string& signedClientRequirement();
// identifier "<appBundleID>": used when the agent itself is not team-signed.
const std::string& devClientRequirement();

}  // namespace torvo::Product
