#!/usr/bin/env bash
# Installs the Debian 12 packages that build, test and run torvo-agent.
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
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#packages[@]} packages are installed"
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
