#!/usr/bin/env bash
# Builds the Debian package from the built tree and checks its name, contents, owners and modes,
# changelog, dependencies, maintainer scripts, the packaged program's start-up error, the units,
# what lintian finds (where it is installed) and an installation into throwaway roots.
# Skips (exit 77) when cpack, dpkg-deb, dpkg-shlibdeps or file (which cpack's DEB generator
# runs) is missing.
set -euo pipefail
SRC=${QUORVEL_SOURCE_DIR:?QUORVEL_SOURCE_DIR is not set}
BIN=${QUORVEL_BINARY_DIR:?QUORVEL_BINARY_DIR is not set}
for tool in cpack dpkg-deb dpkg-shlibdeps file; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool not found"; exit 77; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-package-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
die() { echo "FAIL: $*" >&2; exit 1; }
ok() { echo "ok: $*"; }

cpack --config "$BIN/CPackConfig.cmake" -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; die "cpack failed"; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$BIN/CPackConfig.cmake")
deb="$work/pkg/quorvel_${version}_$(dpkg --print-architecture).deb"
{ [ -n "$version" ] && [ -f "$deb" ]; } ||
  { ls -l "$work/pkg" >&2; die "$(basename "$deb") not produced"; }
ok "built $(basename "$deb")"

depends=$(dpkg-deb -f "$deb" Depends)
[[ "$depends" == *libc6* ]] || fail "Depends not computed from the program (got '$depends')"
[[ "$depends" == *libmicrohttpd* && "$depends" == *libcurl* ]] ||
  fail "Depends lacks the HTTP libraries the bridge loads (got '$depends')"
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  { [ -x "$work/control/$script" ] && sh -n "$work/control/$script"; } ||
    fail "maintainer script $script missing, not executable or not valid sh"
done

dpkg-deb -c "$deb" >"$work/listing"
awk '{print $6}' "$work/listing" | sed 's|^\./|/|' >"$work/contents"
sims=$(find "$BIN" -maxdepth 1 -type f \( -name 'quorvel-*-sim' -o -name quorvel-tally-watch \) \
  -perm -u+x -printf '/usr/bin/%f\n')
[ -n "$sims" ] || die "no simulators built in $BIN"
doc=/usr/share/doc/quorvel
for path in /usr/bin/quorvel $sims /lib/systemd/system/quorvel.service \
  /lib/systemd/system/quorvel@.service /usr/share/quorvel/quorvel.json.example \
  $doc/copyright $doc/changelog.Debian.gz /usr/share/man/man1/quorvel.1.gz \
  /usr/share/man/man5/quorvel.5.gz \
  $(sed 's|^/usr/bin/\(.*\)|/usr/share/man/man1/\1.1.gz|' <<<"$sims"); do
  grep -qx "$path" "$work/contents" || fail "package lacks $path"
done
# Everything belongs to root; programs are 0755, every other file 0644, folders 0755.
bad=$(awk '$2 != "root/root" || ($1 ~ /^d/ && $1 != "drwxr-xr-x") ||
  ($1 ~ /^-/ && $1 != ($6 ~ /^\.\/usr\/bin\// ? "-rwxr-xr-x" : "-rw-r--r--"))' "$work/listing")
[ -z "$bad" ] || fail "wrong owner or mode:"$'\n'"$bad"
dpkg-deb -x "$deb" "$work/x"
gzip -dc "$work/x$doc/changelog.Debian.gz" >"$work/changelog"
changelog_version=$(dpkg-parsechangelog -l "$work/changelog" -S Version) || true
[ "$changelog_version" = "$version" ] ||
  fail "changelog's latest entry is for '$changelog_version', the package is $version"
# The configuration's page is a gzip'd manual page of section 5 about the file.
[[ "$(gzip -dc "$work/x/usr/share/man/man5/quorvel.5.gz" 2>/dev/null | sed -n 1p)" == ".TH QUORVEL 5 "* ]] ||
  fail "/usr/share/man/man5/quorvel.5.gz is not the configuration's manual page"

status=0
missing="$work/missing.json"
QUORVEL_CFG="$missing" timeout 10 "$work/x/usr/bin/quorvel" >/dev/null 2>"$work/err" || status=$?
# The reason the file could not be opened follows the path; its wording is the C library's.
{ [ "$status" -eq 1 ] && [[ "$(cat "$work/err")" == "[ERR] Cannot open config file: $missing ("* ]]; } ||
  { fail "missing configuration: status $status, stderr:"; cat "$work/err" >&2; }

if command -v systemd-analyze >/dev/null 2>&1; then
  # verify checks that ExecStart exists, so the units point at the extracted program.
  mkdir -p "$work/units"
  for u in quorvel.service quorvel@.service; do
    sed "s|^ExecStart=/usr/bin/quorvel|ExecStart=$work/x/usr/bin/quorvel|" \
      "$work/x/lib/systemd/system/$u" >"$work/units/$u"
  done
  vstatus=0
  systemd-analyze verify "$work/units/quorvel.service" "$work/units/quorvel@cam1.service" \
    >"$work/verify.log" 2>&1 || vstatus=$?
  # verify still exits 0 on unknown keys and bad values: any line about the units fails.
  if [ "$vstatus" -ne 0 ] || grep -q quorvel "$work/verify.log"; then
    fail "systemd-analyze verify (status $vstatus):"
    cat "$work/verify.log" >&2
  else
    ok "systemd-analyze verify: both units clean"
  fi
else
  echo "note: systemd-analyze not found; unit verification skipped"
fi

if command -v lintian >/dev/null 2>&1; then
  # Errors fail the test; warnings are shown for whoever reads the log. Status 2: lintian broke.
  lstatus=0
  lintian "$deb" >"$work/lintian.log" 2>&1 || lstatus=$?
  sed 's/^/lintian: /' "$work/lintian.log"
  if grep -q '^E: ' "$work/lintian.log"; then
    fail "lintian reports errors"
  elif [ "$lstatus" -gt 1 ]; then
    fail "lintian could not check the package (status $lstatus)"
  else
    ok "lintian: no errors"
  fi
else
  echo "note: lintian not found; the package is not linted"
fi

# Maintainer scripts run outside a chroot with DPKG_ROOT set; no libraries there: --force-depends.
if [ "$(id -u)" -eq 0 ] && [[ "$(dpkg --force-help 2>&1 || true)" == *script-chrootless* ]]; then
  install_into() { # root
    mkdir -p "$1/var/lib/dpkg/info" "$1/var/lib/dpkg/updates" "$1/var/lib/dpkg/triggers"
    touch "$1/var/lib/dpkg/status"
    dpkg --root="$1" --log="$1/dpkg.log" --force-script-chrootless --force-depends -i "$deb" \
      >>"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; die "dpkg --root=$1 -i failed"; }
  }
  install_into "$work/fresh"
  cmp -s "$work/fresh/etc/quorvel.json" "$SRC/packaging/quorvel.json" ||
    fail "fresh install did not create /etc/quorvel.json from the example"
  mkdir -p "$work/own/etc"
  echo '{ "atem_ip": "127.0.0.9" }' | tee "$work/own.json" >"$work/own/etc/quorvel.json"
  install_into "$work/own"
  cmp -s "$work/own/etc/quorvel.json" "$work/own.json" || fail "install replaced /etc/quorvel.json"
else
  echo "note: not root or dpkg lacks --force-script-chrootless; throwaway-root install skipped"
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "package test passed"
