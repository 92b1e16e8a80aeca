# Sourced by the interop tests. npm_scratch PACKAGE VERSION: exits 77 (skipped) where node or npm
# is missing, else sets SCRATCH to a folder holding PACKAGE@VERSION, installed once per version and
# kept between runs; the lock keeps parallel runs apart.
npm_scratch() {
  if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
    echo "skipped: node and npm are needed for the $1 interop test"
    exit 77
  fi
  SCRATCH="/tmp/quorvel-$1-$2"
  mkdir -p "$SCRATCH"
  exec 9>"$SCRATCH.lock"
  flock -w 240 9
  if ! (cd "$SCRATCH" && node -e "require('$1')" >/dev/null 2>&1); then
    rm -rf "$SCRATCH/node_modules" "$SCRATCH/package-lock.json"
    echo "installing $1@$2 into $SCRATCH"
    echo '{"private": true}' >"$SCRATCH/package.json"
    # --ignore-scripts: no install script is needed (atem-connection's is an optional native
    # font module, unused by a client session).
    (cd "$SCRATCH" && timeout 200 npm install --no-audit --no-fund --ignore-scripts \
      --loglevel=error "$1@$2")
  fi
  flock -u 9
}
