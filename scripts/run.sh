#!/usr/bin/env bash
# Runs the product on the demo warehouse: builds, creates the SQLite demo
# database and an administrator token on first use, starts the application
# server, then the host with the access-control screen open.
#
#   scripts/run.sh                 server + host window (needs a display)
#   scripts/run.sh --png FILE      no display needed: renders the opened screen
#                                  and each of its pages to PNG files, then stops
#   scripts/run.sh --png FILE --maximized [WxH]
#                                  the same, showing the whole host window at
#                                  WxH (1280x800) with the screen maximised
#   scripts/run.sh --server-only   only the server, in the foreground
#
#   QUV_DATA_DIR  where the database, token and host settings live (build/data)
#   QUV_PORT      the server's port (default 5211)
set -euo pipefail
cd "$(dirname "$0")/.."

mode=window
png=""
maximized=()
case "${1:-}" in
  "") ;;
  --png) mode=png; png="${2:?--png needs a file name}" ;;
  --server-only) mode=server ;;
  -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "run: unknown option '$1' (see --help)" >&2; exit 2 ;;
esac
if [[ $mode == png && "${3:-}" == --maximized ]]; then
  maximized=(--render-maximized "${4:-1280x800}")
elif [[ $mode == png && -n "${3:-}" ]]; then
  echo "run: unknown option '$3' (see --help)" >&2; exit 2
fi

bash scripts/setup.sh

data="${QUV_DATA_DIR:-$PWD/build/data}"
port="${QUV_PORT:-5211}"
mkdir -p "$data"
database="$data/demo.db"
if [[ ! -f "$database" ]]; then
  # A past to look at in the history window ("Histórico de alterações…").
  build/bin/quv-db create --db "sqlite:$database" --size demo --audit-rows 2000
fi
tokens="$data/tokens"
if [[ ! -f "$tokens" ]]; then
  (umask 077 && echo "admin $(head -c 24 /dev/urandom | base64 | tr '+/' '-_')" >"$tokens")
fi
# The host reads its token from a settings file, not from the command line,
# so it never shows in the process list.
hostini="$data/host.ini"
(umask 077 && cat >"$hostini" <<INI
[database]
connection=sqlite:$database
[server]
host=127.0.0.1
port=$port
token="$(awk '$1 == "admin" { print $2 }' "$tokens")"
INI
)
echo "run: database $database"
echo "run: administrator 'admin', token in $tokens"

if [[ $mode == server ]]; then
  exec build/bin/quv-server --db "sqlite:$database" --tokens-file "$tokens" --port "$port"
fi

if [[ $mode == window && -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "run: there is no display to open the host window on." >&2
  echo "run: render the screen to PNG files instead:  scripts/run.sh --png screen.png" >&2
  echo "run: or run under a virtual display:          xvfb-run -a scripts/run.sh" >&2
  echo "run: or start only the server:                scripts/run.sh --server-only" >&2
  exit 1
fi

log="$data/server.log"
build/bin/quv-server --db "sqlite:$database" --tokens-file "$tokens" --port "$port" >"$log" 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  grep -q '^listening on' "$log" 2>/dev/null && break
  kill -0 "$server" 2>/dev/null || { cat "$log" >&2; echo "run: the server did not start" >&2; exit 1; }
  sleep 0.1
done
echo "run: server $(head -n 1 "$log") (log in $log)"

if [[ $mode == png ]]; then
  QT_QPA_PLATFORM=offscreen build/bin/quv-host --config "$hostini" --render-png "$png" \
    "${maximized[@]}"
else
  echo "run: opening the host; close its window to stop both"
  build/bin/quv-host --config "$hostini" --open QUV01000
fi
