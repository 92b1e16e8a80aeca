#!/usr/bin/env bash
# Builds the Debian package from the built tree and checks what an installation gets: the
# control fields and computed dependencies, the file list, the maintainer scripts' handling of
# /etc/quorvel.json (installed into throwaway roots), the packaged program's start-up errors,
# the systemd units (systemd-analyze verify), and the layout of a plain `cmake --install`.
#
# Environment: QUORVEL_SOURCE_DIR, QUORVEL_BINARY_DIR (set by ctest). Skips (exit 0) when
# cpack, dpkg-deb or dpkg-shlibdeps is missing. Nothing here touches the network.
set -euo pipefail

SRC=${QUORVEL_SOURCE_DIR:?QUORVEL_SOURCE_DIR is not set}
BIN=${QUORVEL_BINARY_DIR:?QUORVEL_BINARY_DIR is not set}

for tool in cpack dpkg-deb dpkg-shlibdeps; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool not found (install cmake and dpkg-dev to run this test)"
    exit 0
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-package-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
ok() { echo "ok: $*"; }
# Stops the test at once: what follows depends on this step.
die() {
  echo "FAIL: $*" >&2
  exit 1
}

[ -f "$BIN/CPackConfig.cmake" ] || die "$BIN/CPackConfig.cmake missing: packaging/ not configured"

# ---------------------------------------------------------------------------------------------
# Build the package into a folder of its own; the build tree is only read.
if ! cpack --config "$BIN/CPackConfig.cmake" -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  die "cpack failed"
fi
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$BIN/CPackConfig.cmake")
arch=$(dpkg --print-architecture)
deb="$work/pkg/quorvel_${version}_${arch}.deb"
[ -n "$version" ] && [ -f "$deb" ] || {
  ls -l "$work/pkg" >&2
  die "package quorvel_${version}_${arch}.deb not produced"
}
ok "built $(basename "$deb")"

# ---------------------------------------------------------------------------------------------
# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = quorvel ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)'"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Section)" ] || fail "no Section"
[ -n "$(field Description)" ] || fail "no Description"
depends=$(field Depends)
case "$depends" in
  *libc6*) ok "Depends: $depends" ;;
  *) fail "Depends not computed from the program (got '$depends')" ;;
esac

# Every dependency must be satisfiable on this Debian system, so the package installs here.
IFS=',' read -ra deps <<<"$depends"
for dep in "${deps[@]}"; do
  satisfied=no
  IFS='|' read -ra alternatives <<<"$dep"
  for alt in "${alternatives[@]}"; do
    read -r name op ver <<<"$(echo "$alt" | sed 's/[()]/ /g')"
    have=$(dpkg-query -W -f '${Version}' "$name" 2>/dev/null || true)
    [ -n "$have" ] || continue
    if [ -z "${op:-}" ] || dpkg --compare-versions "$have" "$op" "$ver"; then satisfied=yes; fi
  done
  [ "$satisfied" = yes ] || fail "dependency '$dep' is not satisfied on this system"
done

# Maintainer scripts.
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  if [ -x "$work/control/$script" ]; then
    sh -n "$work/control/$script" || fail "$script is not valid sh"
  else
    fail "maintainer script $script missing or not executable"
  fi
done

# ---------------------------------------------------------------------------------------------
# Contents.
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/contents"
has() { grep -qx "$1" "$work/contents"; }
for path in /usr/bin/quorvel /lib/systemd/system/quorvel.service \
  /lib/systemd/system/quorvel@.service /usr/share/quorvel/quorvel.json.example \
  /usr/share/doc/quorvel/README.md; do
  has "$path" || fail "package lacks $path"
done
# Every simulator built next to the program ships with it.
while IFS= read -r sim; do
  name=$(basename "$sim")
  if has "/usr/bin/$name"; then ok "package has /usr/bin/$name"; else fail "package lacks /usr/bin/$name"; fi
done < <(find "$BIN" -maxdepth 1 -type f -name 'quorvel-*-sim' -perm -u+x)
# Nothing in /etc (the configuration is made by postinst, so dpkg never asks about it) and
# nothing under /usr/local.
if grep -E '^/(etc|usr/local)/' "$work/contents"; then fail "package ships files in /etc or /usr/local"; fi
dpkg-deb -c "$deb" | awk '$1 ~ /^-/ && $6 ~ /usr\/bin\// && $1 != "-rwxr-xr-x" {print}' |
  grep . && fail "programs in /usr/bin are not mode 0755"

dpkg-deb -x "$deb" "$work/x"
cmp -s "$work/x/usr/share/quorvel/quorvel.json.example" "$SRC/packaging/quorvel.json" ||
  fail "packaged example differs from packaging/quorvel.json"

# ---------------------------------------------------------------------------------------------
# The example configuration names every key the program reads, in strict JSON.
grep -o 'root\["[a-z_]*"\]' "$SRC/src/config/config.cpp" | sed 's/root\["\(.*\)"\]/\1/' |
  sort -u >"$work/keys.program"
[ -s "$work/keys.program" ] || die "no configuration keys found in src/config/config.cpp"
example_keys() {
  if command -v python3 >/dev/null 2>&1; then
    python3 -c 'import json,sys; print("\n".join(json.load(open(sys.argv[1]))))' "$1"
  elif command -v node >/dev/null 2>&1; then
    node -e 'const fs=require("fs");console.log(Object.keys(JSON.parse(fs.readFileSync(process.argv[1],"utf8"))).join("\n"))' "$1"
  else
    return 2
  fi
}
if example_keys "$SRC/packaging/quorvel.json" >"$work/keys.raw" 2>"$work/keys.err"; then
  sort -u "$work/keys.raw" >"$work/keys.example"
  if diff "$work/keys.program" "$work/keys.example" >"$work/keys.diff"; then
    ok "example names all $(wc -l <"$work/keys.program") configuration keys"
  else
    fail "example keys differ from the program's (< program, > example):"
    cat "$work/keys.diff" >&2
  fi
elif [ $? -eq 2 ]; then
  echo "note: neither python3 nor node found; strict JSON check of the example skipped"
else
  fail "packaging/quorvel.json is not strict JSON: $(grep . "$work/keys.err" | tail -n 1)"
fi
while IFS= read -r key; do
  grep -q "\`$key\`" "$SRC/README.md" || fail "README.md does not document the key $key"
done <"$work/keys.program"

# ---------------------------------------------------------------------------------------------
# The packaged program: start-up errors and exit status.
run_packaged() { # config-path; fills $work/out, $work/err, $status
  status=0
  QUORVEL_CFG="$1" timeout 10 "$work/x/usr/bin/quorvel" >"$work/out" 2>"$work/err" || status=$?
}
run_packaged "$work/missing.json"
expected_err="[ERR] Cannot open config file: $work/missing.json"
if [ "$status" -eq 1 ] && [ "$(cat "$work/err")" = "$expected_err" ] &&
  grep -qx '=== Quorvel ===' "$work/out" &&
  grep -qxF "[INFO] Loading config from: $work/missing.json" "$work/out"; then
  ok "missing configuration: status 1 and '$expected_err'"
else
  fail "missing configuration: status $status, stdout/stderr:"
  cat "$work/out" "$work/err" >&2
fi

# The shipped example, with a switcher address that is refused before any packet is sent.
sed 's/"atem_ip": "[^"]*"/"atem_ip": "not-an-ip"/' "$SRC/packaging/quorvel.json" >"$work/bad-ip.json"
grep -q '"atem_ip": "not-an-ip"' "$work/bad-ip.json" || die "could not edit atem_ip in the example"
run_packaged "$work/bad-ip.json"
if [ "$status" -eq 1 ] &&
  grep -qxF '[INFO] Connecting to ATEM at not-an-ip...' "$work/out" &&
  [ "$(cat "$work/err")" = $'[ERR] Invalid ATEM IP: not-an-ip\n[ERR] Failed to initiate ATEM connection' ]; then
  ok "example with a bad switcher address: status 1 and the two error lines"
else
  fail "example with a bad switcher address: status $status, stdout/stderr:"
  cat "$work/out" "$work/err" >&2
fi

# ---------------------------------------------------------------------------------------------
# Units.
unit="$work/x/lib/systemd/system/quorvel.service"
template="$work/x/lib/systemd/system/quorvel@.service"
for u in "$unit" "$template"; do
  for line in Type=simple ExecStart=/usr/bin/quorvel Restart=on-failure DynamicUser=yes \
    NoNewPrivileges=yes ProtectSystem=strict ProtectHome=yes PrivateTmp=yes \
    'RestrictAddressFamilies=AF_INET AF_UNIX' CapabilityBoundingSet= KillSignal=SIGTERM \
    'WantedBy=multi-user.target'; do
    grep -qxF "$line" "$u" || fail "$(basename "$u") lacks '$line'"
  done
done
grep -qxF 'Environment=QUORVEL_CFG=/etc/quorvel.json' "$unit" ||
  fail "quorvel.service does not read /etc/quorvel.json"
grep -qxF 'Environment=QUORVEL_CFG=/etc/quorvel/%i.json' "$template" ||
  fail "quorvel@.service does not read /etc/quorvel/%i.json"

if command -v systemd-analyze >/dev/null 2>&1; then
  # Verified as packaged, except that ExecStart names the extracted program: verify checks that
  # the program exists, and /usr/bin/quorvel need not exist on this machine.
  mkdir -p "$work/units"
  for u in "$unit" "$template"; do
    sed "s|^ExecStart=/usr/bin/quorvel|ExecStart=$work/x/usr/bin/quorvel|" "$u" >"$work/units/$(basename "$u")"
  done
  vstatus=0
  systemd-analyze verify "$work/units/quorvel.service" "$work/units/quorvel@cam1.service" \
    >"$work/verify.log" 2>&1 || vstatus=$?
  # verify reports unknown keys and bad values but still exits 0: any line about the units fails.
  if [ "$vstatus" -ne 0 ] || grep -q quorvel "$work/verify.log"; then
    fail "systemd-analyze verify (status $vstatus):"
    cat "$work/verify.log" >&2
  else
    ok "systemd-analyze verify: both units clean"
    [ -s "$work/verify.log" ] && { echo "note: verify also said:"; cat "$work/verify.log"; }
  fi
else
  echo "note: systemd-analyze not found; unit verification skipped"
fi

# ---------------------------------------------------------------------------------------------
# Installation into throwaway roots: the maintainer scripts run outside a chroot with DPKG_ROOT
# set. Library packages are not in these roots, hence --force-depends.
force_help=$(dpkg --force-help 2>&1 || true)
if [ "$(id -u)" -eq 0 ] && [[ "$force_help" == *script-chrootless* ]]; then
  newroot() {
    mkdir -p "$1/var/lib/dpkg/info" "$1/var/lib/dpkg/updates" "$1/var/lib/dpkg/triggers"
    : >"$1/var/lib/dpkg/status"
  }
  rdpkg() { # root, dpkg arguments...
    local root=$1
    shift
    dpkg --root="$root" --log="$root/dpkg.log" --force-script-chrootless --force-depends \
      "$@" >>"$work/dpkg.log" 2>&1
  }
  example="$SRC/packaging/quorvel.json"

  # A fresh system: /etc/quorvel.json comes from the example.
  r1="$work/root1"
  newroot "$r1"
  rdpkg "$r1" -i "$deb" || { cat "$work/dpkg.log" >&2; die "dpkg --root -i failed"; }
  [ "$(dpkg-query --admindir="$r1/var/lib/dpkg" -W -f '${Status}' quorvel)" = "install ok installed" ] ||
    fail "package not recorded as installed"
  [ -x "$r1/usr/bin/quorvel" ] || fail "installed root lacks /usr/bin/quorvel"
  if cmp -s "$r1/etc/quorvel.json" "$example"; then
    ok "fresh install created /etc/quorvel.json from the example"
  else
    fail "fresh install did not create /etc/quorvel.json from the example"
  fi
  [ "$(stat -c %a "$r1/etc/quorvel.json" 2>/dev/null)" = 644 ] ||
    fail "/etc/quorvel.json is not mode 0644 (the service's dynamic user must read it)"
  [ -d "$r1/etc/quorvel" ] || fail "install did not create /etc/quorvel/"
  ls "$r1"/etc/quorvel.json.* 2>/dev/null && fail "temporary copy left in /etc"
  rdpkg "$r1" --purge quorvel || { cat "$work/dpkg.log" >&2; die "dpkg --root --purge failed"; }
  [ -e "$r1/etc/quorvel.json" ] && fail "purge kept the unchanged example /etc/quorvel.json"
  [ -e "$r1/etc/quorvel" ] && fail "purge kept the empty /etc/quorvel/"
  [ -e "$r1/usr/bin/quorvel" ] && fail "purge kept /usr/bin/quorvel"

  # A system that already has its configuration: install, reinstall (the upgrade path) and
  # purge all leave it as it is, and an instance configuration too.
  r2="$work/root2"
  newroot "$r2"
  mkdir -p "$r2/etc/quorvel"
  printf '{ "atem_ip": "127.0.0.9", "watch_input_id": 4 }\n' >"$r2/etc/quorvel.json"
  printf '{ "atem_ip": "127.0.0.9", "watch_input_id": 5 }\n' >"$r2/etc/quorvel/cam5.json"
  cp "$r2/etc/quorvel.json" "$work/own.json"
  cp "$r2/etc/quorvel/cam5.json" "$work/cam5.json"
  rdpkg "$r2" -i "$deb" || { cat "$work/dpkg.log" >&2; die "dpkg --root -i (existing config) failed"; }
  cmp -s "$r2/etc/quorvel.json" "$work/own.json" || fail "install replaced an existing /etc/quorvel.json"
  rdpkg "$r2" -i "$deb" || { cat "$work/dpkg.log" >&2; die "dpkg --root reinstall failed"; }
  cmp -s "$r2/etc/quorvel.json" "$work/own.json" || fail "reinstall replaced /etc/quorvel.json"
  rdpkg "$r2" --purge quorvel || { cat "$work/dpkg.log" >&2; die "dpkg --root --purge failed"; }
  cmp -s "$r2/etc/quorvel.json" "$work/own.json" || fail "purge removed an edited /etc/quorvel.json"
  cmp -s "$r2/etc/quorvel/cam5.json" "$work/cam5.json" || fail "purge removed /etc/quorvel/cam5.json"
  ok "an existing configuration survives install, reinstall and purge"
else
  echo "note: not root or dpkg lacks --force-script-chrootless; throwaway-root install skipped"
fi

# ---------------------------------------------------------------------------------------------
# A plain `cmake --install` keeps everything under its prefix and points the units at it.
prefix=/opt/quorvel-test
if DESTDIR="$work/dest" cmake --install "$BIN" --prefix "$prefix" >"$work/install.log" 2>&1; then
  outside=$(find "$work/dest" -type f | grep -v "^$work/dest$prefix/" || true)
  [ -z "$outside" ] || fail "cmake --install wrote outside the prefix: $outside"
  for path in bin/quorvel share/quorvel/quorvel.json.example lib/systemd/system/quorvel.service \
    lib/systemd/system/quorvel@.service; do
    [ -f "$work/dest$prefix/$path" ] || fail "cmake --install lacks $prefix/$path"
  done
  for u in quorvel.service quorvel@.service; do
    grep -qxF "ExecStart=$prefix/bin/quorvel" "$work/dest$prefix/lib/systemd/system/$u" ||
      fail "installed $u does not start $prefix/bin/quorvel"
  done
  ok "cmake --install under $prefix"
else
  cat "$work/install.log" >&2
  fail "cmake --install failed"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "package test passed"
