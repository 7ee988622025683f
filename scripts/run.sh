#!/usr/bin/env bash
# Builds, creates the demo warehouse (SQLite) and an administrator token on
# first use, and runs the application server in the foreground.
#   QUV_DATA_DIR  where the database and the token live (default build/data)
#   QUV_PORT      the server's port (default 5211)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

data="${QUV_DATA_DIR:-$PWD/build/data}"
mkdir -p "$data"
database="$data/demo.db"
if [[ ! -f "$database" ]]; then
  build/bin/quv-db create --db "sqlite:$database" --size demo
fi

tokens="$data/tokens"
if [[ ! -f "$tokens" ]]; then
  (umask 077 && echo "admin $(head -c 24 /dev/urandom | base64 | tr '+/' '-_')" >"$tokens")
fi
echo "run: database $database"
echo "run: administrator 'admin', token in $tokens"

exec build/bin/quv-server --db "sqlite:$database" --tokens-file "$tokens" --port "${QUV_PORT:-5211}"
