# Sourced by scripts/soak and scripts/idle-cost: builds what they need, starts quenlar-standin on free loopback
# ports and prepares a program folder (quenlar, the sign-in browser, db.db, a conf.ini pointing at the stand-in).
#   world_start ACCOUNTS [quenlar-standin options...]   sets WORLD, PROGRAM, STANDIN_PID, PHONE, PASSWORD
#   world_quenlar [quenlar options...]                   starts quenlar headless in the background, sets QUENLAR_PID
# Everything started is stopped when the sourcing script exits.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUENLAR_BUILD:-$root/build}

world_build() {
  if [ ! -f "$build/CMakeCache.txt" ]; then
    "$root/scripts/install-deps"
    "$root/scripts/build" "$build"
  fi
  cmake --build "$build" --target quenlar quenlar-standin quenlar_signin_browser quenlar-initdb -j2 >/dev/null
}

world_stop() {
  [ -n "${QUENLAR_PID:-}" ] && kill "$QUENLAR_PID" 2>/dev/null && wait "$QUENLAR_PID" 2>/dev/null
  [ -n "${STANDIN_PID:-}" ] && kill "$STANDIN_PID" 2>/dev/null && wait "$STANDIN_PID" 2>/dev/null
  [ -n "${WORLD:-}" ] && rm -rf "$WORLD"
  return 0
}

# A string member of the stand-in's READY line.
ready_value() {
  sed -n "s/.*\"$1\":\"\([^\"]*\)\".*/\1/p" "$WORLD/standin.out" | head -n 1
}

world_start() {
  local accounts=$1
  shift
  world_build
  WORLD=$(mktemp -d)
  trap world_stop EXIT
  PROGRAM=$WORLD/program
  mkdir -p "$PROGRAM"
  "$build/standin/quenlar-standin" --operator-port 0 --intake-port 0 --top-port 0 --publisher-port 0 \
    --media-port 0 --signin-port 0 --control-port 0 --accounts "$accounts" --cert "$WORLD/standin-ca.pem" "$@" \
    >"$WORLD/standin.out" 2>&1 &
  STANDIN_PID=$!
  local waited=0
  until grep -q '^READY ' "$WORLD/standin.out"; do
    if ! kill -0 "$STANDIN_PID" 2>/dev/null || [ $waited -gt 300 ]; then
      cat "$WORLD/standin.out" >&2
      echo "quenlar-standin did not start" >&2
      exit 1
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  PHONE=$(ready_value phone)
  PASSWORD=$(ready_value password)
  CONTROL=$(ready_value control)
  # The stand-in's sign-in browser: nobody is at a screen to sign in through the web-engine one.
  cp "$build/src/app/quenlar" "$build/standin/browser/browser.exe" "$PROGRAM/"
  "$build/src/store/quenlar-initdb" "$PROGRAM/db.db" >/dev/null
  {
    echo "[hosts]"
    for key in operatorService operatorIntake topGateway alimamaPublisher alimamaMedia signIn caFile; do
      echo "$key=$(ready_value $key)"
    done
    echo "[setting]"
    echo "syncysh=0"
    echo "openLarge=0"
  } >"$PROGRAM/conf.ini"
}

world_quenlar() {
  QUENLAR_PASSWORD=$PASSWORD "$PROGRAM/quenlar" --headless --phone "$PHONE" "$@" >"$WORLD/quenlar.out" \
    2>"$WORLD/quenlar.err" &
  QUENLAR_PID=$!
}

# How many lines of the program's output hold the text.
quenlar_lines() {
  grep -c -- "$1" "$WORLD/quenlar.out" || true
}

quenlar_alive() {
  kill -0 "$QUENLAR_PID" 2>/dev/null
}
