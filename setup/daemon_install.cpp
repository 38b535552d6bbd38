#include "setup/daemon_install.h"

#include <unistd.h>

#include "base/paths.h"
#include "base/product.h"
#include "base/regular_file.h"

namespace torvo {
namespace {

std::string replaceAll(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  std::size_t start = 0;
  for (std::size_t at = text.find(from); at != std::string_view::npos;
       at = text.find(from, start)) {
    out.append(text.substr(start, at - start));
    out.append(to);
    start = at + from.size();
  }
  out.append(text.substr(start));
  return out;
}

std::string xmlEscape(std::string_view text) {
  std::string out = replaceAll(text, "&", "&amp;");
  out = replaceAll(out, "<", "&lt;");
  out = replaceAll(out, ">", "&gt;");
  return replaceAll(out, "\"", "&quot;");
}

std::string appleEscape(std::string_view text) {
  return replaceAll(replaceAll(text, "\\", "\\\\"), "\"", "\\\"");
}

std::string joinLines(std::initializer_list<std::string> lines) {
  std::string out;
  for (const auto& line : lines) {
    if (!out.empty()) out += '\n';
    out += line;
  }
  return out;
}

}  // namespace

const std::string& DaemonInstall::agentRequirement() {
  static const std::string text = "identifier \"" + std::string(Product::agentLabel) + "\"";
  return text;
}

std::string DaemonInstall::q(std::string_view text) {
  // Appended in steps: g++ 12 at -O3 warns falsely (-Wrestrict) on "'" + std::string.
  std::string quoted = "'";
  quoted += replaceAll(text, "'", "'\\''");
  quoted += "'";
  return quoted;
}

std::string DaemonInstall::plist(std::string_view appPath) {
  const std::string label(Product::agentLabel);
  const std::string folder(Product::folder);
  return joinLines({
             R"(<?xml version="1.0" encoding="UTF-8"?>)",
             R"(<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">)",
             R"(<plist version="1.0">)",
             "<dict>",
             "  <key>Label</key><string>" + label + "</string>",
             "  <key>ProgramArguments</key>",
             "  <array>",
             "    <string>" + std::string(Product::installedAgentPath) + "</string>",
             "    <string>--allowed-client</string>",
             "    <string>" + xmlEscape(appPath) + "</string>",
             "  </array>",
             "  <key>RunAtLoad</key><true/>",
             "  <key>KeepAlive</key><true/>",
             "  <key>ProcessType</key><string>Interactive</string>",
             "  <key>StandardErrorPath</key><string>/Library/Logs/" + folder +
                 "/agent.stderr.log</string>",
             "</dict>",
             "</plist>",
         }) +
         "\n";
}

std::string DaemonInstall::installScript(std::string_view appPath, std::string_view agentSource) {
  const std::string label(Product::agentLabel);
  const std::string agent = q(Product::installedAgentPath);
  const std::string job = q(Product::daemonPlistPath);
  return joinLines({
      "set -eu",
      "/bin/launchctl bootout system/" + label + " 2>/dev/null || true",
      "/bin/mkdir -p /Library/PrivilegedHelperTools /Library/Logs/" + std::string(Product::folder),
      "/bin/rm -f " + agent,
      "/bin/cp " + q(agentSource) + " " + agent,
      "/usr/sbin/chown root:wheel " + agent,
      "/bin/chmod 755 " + agent,
      "/usr/bin/codesign --verify -R=" + q(agentRequirement()) + " " + agent,
      "/usr/bin/printf '%s' " + q(plist(appPath)) + " > " + job,
      "/usr/sbin/chown root:wheel " + job,
      "/bin/chmod 644 " + job,
      "/bin/launchctl bootstrap system " + job,
  });
}

std::string DaemonInstall::uninstallScript() {
  const AgentPaths& paths = AgentPaths::macSystem();
  const std::string label(Product::agentLabel);
  return joinLines({
      "set -u",
      "/bin/launchctl bootout system/" + label + " 2>/dev/null || true",
      "/bin/rm -f " + q(Product::daemonPlistPath) + " " + q(Product::installedAgentPath),
      "/bin/rm -rf " + q(paths.dataDir.string()) + " " + q(paths.logDir.string()) + " " +
          q(paths.socket.parent_path().string()),
  });
}

std::string DaemonInstall::appleScript(std::string_view script, std::string_view prompt) {
  return "do shell script \"" + appleEscape(script) +
         "\" with administrator privileges with prompt \"" + appleEscape(prompt) + "\"";
}

std::optional<bool> HelperFreshness::isOutdated(const std::filesystem::path& bundled,
                                                const std::filesystem::path& installed) {
  const auto a = readRegularFile(bundled);
  if (!a) return std::nullopt;
  const auto b = readRegularFile(installed);
  if (!b) return std::nullopt;
  return *a != *b;
}

}  // namespace torvo
