#!/usr/bin/env bash
# Builds the Debian package build-package/torvo-agent_<version>_<arch>.deb from this tree: a
# Release build of the four programs only (no tests), packed by CPack (packaging/) with
# stripped binaries and the runtime dependencies that dpkg-shlibdeps finds. Then it shows what
# lintian says about the package (fails on an error, prints the warnings) and the exposure
# score of each systemd unit as `systemd-analyze security` rates it.
# Extra arguments go to CMake's configure step (for example -DTORVO_PACKAGE_TEST=ON).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null

build=build-package
log="$build/package.log"
mkdir -p "$build"
: >"$log"
fail() {
  echo "package: FAILED: $1 (log: $log)" >&2
  tail -n 40 "$log" >&2
  exit 1
}

# Hardened linking as Debian builds its packages (read-only relocations, immediate binding).
ldflags="$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS)"
# -O2 as Debian builds its packages: less compile time than CMake's -O3 for Release.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" \
  -DTORVO_TESTS=OFF -DTORVO_FUZZ=OFF \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" "$@" >>"$log" 2>&1 ||
  fail "configuring $build"
cmake --build "$build" -j2 --target torvo-agent torvo-ctl torvo-phone torvo-relay >>"$log" 2>&1 ||
  fail "building the programs"
rm -f "$build"/torvo-agent_*.deb
(cd "$build" && cpack -G DEB) >>"$log" 2>&1 || fail "packing with cpack"
deb=$(ls "$build"/torvo-agent_*.deb)
echo "package: $deb ($(du -k "$deb" | cut -f1) KiB)"
echo "package: Depends: $(dpkg-deb -f "$deb" Depends)"

# lintian: errors fail the package, warnings are shown. Tags are listed once each.
lintian_out="$build/lintian.txt"
lintian --tag-display-limit 0 "$deb" >"$lintian_out" 2>/dev/null || true
if grep -q '^E: ' "$lintian_out"; then
  grep '^E: ' "$lintian_out" >&2
  fail "lintian reports errors"
fi
if grep -q '^W: ' "$lintian_out"; then
  echo "package: lintian warnings:"
  grep '^W: ' "$lintian_out" | sed 's/^/    /'
else
  echo "package: lintian: no errors, no warnings"
fi

# The sandbox of each unit as systemd rates it (0 safest, 10 unprotected).
for unit in packaging/torvo-agent.service packaging/torvo-relay.service \
  packaging/torvo-wake-on-lan.service; do
  exposure=$(systemd-analyze security --offline=yes "$unit" 2>/dev/null |
    sed -n 's/^→ Overall exposure level for \(.*\)$/\1/p') || true
  echo "package: systemd-analyze security: ${exposure:-no rating (systemd-analyze security --offline=yes failed)}"
done
