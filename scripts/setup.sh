#!/usr/bin/env bash
# Installs the Debian 12 packages that build, test and run torvo-agent, and the browser
# test's puppeteer-core from npm.
# Idempotent: packages already installed are skipped, and the package lists are
# refreshed only when something is missing. Needs root (or sudo) only to install.
set -euo pipefail

packages=(
  # toolchain
  g++ cmake make pkg-config git
  # libraries of the product
  nlohmann-json3-dev libssl-dev libcurl4-openssl-dev libasio-dev libicu-dev
  libsystemd-dev libplist-dev libqrencode-dev libboost-dev
  # tests, benchmarks, fuzzing and sanitizers
  libgtest-dev libgmock-dev libbenchmark-dev clang-19 libclang-rt-19-dev time
  # end-to-end helpers: unprivileged runs, a private D-Bus with a mock logind
  util-linux dbus python3-dbusmock procps
  # the Debian package: CPack's shlibdeps and hardening flags, lintian, unit checks, man pages
  dpkg-dev file lintian systemd man-db
  # what the package's system setup changes: Wake-on-LAN (ethtool), unattended upgrades
  ethtool unattended-upgrades
  # the web phone's browser test: headless Chromium
  chromium
)
# node and npm run the web phone's tests; Debian's packages only where no node is installed
# (they conflict with other builds of node).
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  packages+=(nodejs npm)
fi

# puppeteer-core for the browser test, as tests/browser/package-lock.json pins it; it drives
# the installed Chromium and downloads no browser.
install_browser_test() {
  local dir
  dir="$(dirname "$0")/../tests/browser"
  if [ -f "$dir/node_modules/.package-lock.json" ] && [ "$dir/node_modules/.package-lock.json" -nt "$dir/package-lock.json" ]; then
    return
  fi
  echo "setup: installing the browser test's puppeteer-core"
  (cd "$dir" && npm ci --no-audit --no-fund --ignore-scripts)
}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#packages[@]} packages are installed"
  install_browser_test
  exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "setup: missing packages (${missing[*]}) and not root" >&2; exit 1; }
  sudo=(sudo)
fi

echo "setup: installing ${missing[*]}"
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
echo "setup: done"
install_browser_test
