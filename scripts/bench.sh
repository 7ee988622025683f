#!/usr/bin/env bash
# Runs every benchmark scenario end to end (server process over TCP, the
# screen's own methods, headless) on SQLite and on PostgreSQL, on the large
# warehouse and on one a tenth of its size, and writes the report.
#
#   bash scripts/bench.sh [--smoke | --huge] [--out DIR] [--data DIR]
#                         [--engines "sqlite postgres"] [--build DIR]
#                         [--scenarios "load toggle filter history transfer"]
#
#   --smoke    the tenth-size warehouse only, two runs a step: keeps the
#              command working (CI), says nothing about speed
#   --huge     the huge warehouse too (100,000 operators, 10,000,000 clients,
#              a 1,000,000-value filter), before the other two; generating it
#              takes minutes and the run about an hour
#   --out      where the report goes (default bench-results/<UTC time>)
#   --data     where the generated warehouses and the PostgreSQL cluster are
#              kept between runs (default /var/tmp/quv-bench); each is made
#              only when missing
#   --build    use the programs of an existing build folder instead of
#              setting up the machine and building build/
#   --scenarios  which programs to run (default all five)
#
# Prints the table and leaves DIR/report.md, DIR/report.json, DIR/results.jsonl
# and each program's own output (DIR/*.log).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

smoke=0
huge=0
out=""
data=/var/tmp/quv-bench
engines="sqlite postgres"
scenarios="load toggle filter history transfer"
build=""
while (($#)); do
  case $1 in
    --smoke) smoke=1 ;;
    --huge) huge=1 ;;
    --out) out=$2; shift ;;
    --data) data=$2; shift ;;
    --engines) engines=$2; shift ;;
    --build) build=$2; shift ;;
    --scenarios) scenarios=$2; shift ;;
    -h|--help) sed -n '2,24p' "$0"; exit 0 ;;
    *) echo "bench: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done
out=${out:-bench-results/$(date -u +%Y%m%dT%H%M%SZ)}

if [[ -z $build ]]; then
  bash scripts/setup.sh
  build=$root/build
fi
bin=$(cd "$build" && pwd)/bin
mkdir -p "$out" "$data"
out=$(cd "$out" && pwd)
data=$(cd "$data" && pwd)
chmod 755 "$data"
results=$out/results.jsonl
: >"$results"

if ((smoke)); then
  sizes="large-tenth"
  load_runs=2; walk=50; toggle_runs=2; bulk_runs=1; filter_runs=1; history_runs=2; undo_runs=1
  transfer_runs=1; copy_runs=1
else
  sizes="large large-tenth"
  ((huge)) && sizes="huge $sizes"
  load_runs=30; walk=1000; toggle_runs=20; bulk_runs=8; filter_runs=5; history_runs=30; undo_runs=8
  transfer_runs=3; copy_runs=5
fi

# --------------------------------------------------------------- PostgreSQL
pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
pg_data=$data/pg
pg_port=""
as_pg=()
[[ $(id -u) -eq 0 ]] && as_pg=(runuser -u postgres --)

stop_postgres() {
  if [[ -n $pg_port ]]; then
    "${as_pg[@]}" "$pg_bin/pg_ctl" -D "$pg_data" -m fast -w stop >/dev/null 2>&1 || true
  fi
}
trap stop_postgres EXIT

free_port() {
  local port
  for port in $(seq 55432 55532); do
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return
    fi
  done
  echo "bench: no free port for PostgreSQL in 55432-55532" >&2
  exit 1
}

start_postgres() {
  if [[ -z $pg_bin ]]; then
    echo "bench: PostgreSQL programs not found (scripts/setup.sh installs them)" >&2
    exit 1
  fi
  if [[ ! -f $pg_data/PG_VERSION ]]; then
    rm -rf "$pg_data"
    mkdir -p "$pg_data"
    ((${#as_pg[@]})) && chown postgres: "$pg_data"
    "${as_pg[@]}" "$pg_bin/initdb" -D "$pg_data" -U quv --auth=trust -E UTF8 --locale=C.UTF-8 \
      >"$out/initdb.log"
  fi
  pg_port=$(free_port)
  "${as_pg[@]}" "$pg_bin/pg_ctl" -D "$pg_data" -l "$pg_data/server.log" -w \
    -o "-p $pg_port -c listen_addresses=127.0.0.1 -c unix_socket_directories=''" start >/dev/null
}

psql_admin() {
  "$pg_bin/psql" -X -q -t -A -h 127.0.0.1 -p "$pg_port" -U quv -d postgres -v ON_ERROR_STOP=1 -c "$1"
}

# ------------------------------------------------------------- warehouses
# Made under a temporary name and renamed when complete, so an interrupted
# generation is never taken for a finished warehouse. A warehouse has the
# history an office would have: a million audit rows at full size. The
# names carry "v2" since the trail came in: one kept from before has none.
trail_rows() { [[ $1 == large ]] && echo 1000000 || echo 100000; }
warehouse() { # engine size -> connection string
  local engine=$1 size=$2
  local generate=(--size "$size" --audit-rows "$(trail_rows "$size")")
  if [[ $engine == sqlite ]]; then
    local file=$data/$size.v2.db
    if [[ ! -f $file ]]; then
      echo "bench: generating the $size warehouse on SQLite (once)" >&2
      rm -f "$file.new"
      "$bin/quv-db" create --db "sqlite:$file.new" "${generate[@]}" >&2
      mv "$file.new" "$file"
    fi
    echo "sqlite:$file"
  else
    local name=quv_${size//-/_}_v2
    if [[ -z $(psql_admin "SELECT 1 FROM pg_database WHERE datname = '$name'") ]]; then
      echo "bench: generating the $size warehouse on PostgreSQL (once)" >&2
      psql_admin "DROP DATABASE IF EXISTS ${name}_new" >/dev/null
      psql_admin "CREATE DATABASE ${name}_new" >/dev/null
      "$bin/quv-db" create --db "postgres://quv@127.0.0.1:$pg_port/${name}_new" "${generate[@]}" >&2
      psql_admin "ALTER DATABASE ${name}_new RENAME TO $name" >/dev/null
    fi
    echo "postgres://quv@127.0.0.1:$pg_port/$name"
  fi
}

run() { # log-name program args...
  local log=$out/$1.log
  shift
  echo "bench: $(basename "$1") ${*:2}" >&2
  if ! "$@" >>"$log" 2>&1; then
    echo "bench: $(basename "$1") failed; its output:" >&2
    cat "$log" >&2
    exit 1
  fi
}

has() { [[ " $scenarios " == *" $1 "* ]]; }

export QT_QPA_PLATFORM=offscreen
for engine in $engines; do
  [[ $engine == postgres ]] && start_postgres
  for size in $sizes; do
    conn=$(warehouse "$engine" "$size")
    values=100000
    runs=$filter_runs
    remote=()
    [[ $size == large-tenth ]] && values=10000
    if [[ $size == huge ]]; then
      # Ten million values through the server whole is no fallback anyone
      # waits for; fewer runs keep the huge size under an hour.
      values=1000000; runs=3; remote=(--remote-runs 0)
    fi
    common=(--db "$conn" --json "$results" --label "$size")
    if has load; then
      run "load-$engine-$size" "$bin/screen_load_bench" "${common[@]}" --runs "$load_runs" \
        --walk "$walk"
    fi
    if has toggle; then
      run "toggle-$engine-$size" "$bin/screen_toggle_bench" "${common[@]}" --runs "$toggle_runs" \
        --bulk-runs "$bulk_runs"
    fi
    if has filter; then
      run "filter-$engine-$size" "$bin/screen_filter_bench" "${common[@]}" --runs "$runs" \
        --values "$values" "${remote[@]}"
    fi
    # The history and the transfer grow with the trail and the grants, not
    # with the dimension's size: the two usual sizes tell their story.
    if has history && [[ $size != huge ]]; then
      run "history-$engine-$size" "$bin/history_bench" "${common[@]}" --runs "$history_runs" \
        --undo-runs "$undo_runs"
    fi
    if has transfer && [[ $size != huge ]]; then
      run "transfer-$engine-$size" "$bin/transfer_bench" "${common[@]}" --runs "$transfer_runs" \
        --copy-runs "$copy_runs" --values "$values"
    fi
  done
  [[ $engine == postgres ]] && { stop_postgres; pg_port=""; }
done

# Hostile peers against a fresh server each, on the large SQLite warehouse
# (the tenth-size one in a smoke run): the administrator's times and the
# server's peak memory.
if [[ " $engines " == *" sqlite "* ]]; then
  hostile_size=large
  ((smoke)) && hostile_size=large-tenth
  hostile_seconds=10
  ((smoke)) && hostile_seconds=3
  run "hostile-sqlite-$hostile_size" "$bin/hostile_bench" --db "$(warehouse sqlite "$hostile_size")" \
    --json "$results" --label "$hostile_size" --seconds "$hostile_seconds"
fi

label=""
((smoke)) && label=" --smoke"
((huge)) && label=" --huge"
title="Run: scripts/bench.sh$label, sizes: $sizes, engines: $engines."
"$bin/bench_report" "$results" --out "$out" --title "$title"
echo "bench: report in $out/report.md and $out/report.json"
