#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The main job: builds histfeed, its reference service and the example data
# source, then watches values travel through both families into two
# databases while the primary service is killed and restarted midway.
#
#   scripts/demo.sh [--keep] [--postgresql] [UNIVERSAL_VALUES [POINTS [CLASSIC_VALUES]]]
#   HISTFEED_DEMO_SOURCE="wine .../feed_demo.exe" scripts/demo.sh ...
#
# Exits non-zero when a universal value that a service acknowledged, or a
# classic value that the library accepted, is missing from the databases,
# or when anything along the way fails. The temporary directory with the
# databases and logs is removed at the end, unless --keep (or
# HISTFEED_DEMO_KEEP=1) asks to keep it or the demo failed.
#
# --postgresql has both services store into one PostgreSQL database, on a
# throw-away server that the demo starts on a loopback port (an
# unprivileged initdb + pg_ctl cluster in a temporary directory) and
# removes at the end. Once the primary is back from its outage, the demo
# also stops PostgreSQL for a while: both services then refuse every frame,
# and the sources' queues carry the values across.
#
# Both services show their pages while the demo runs (the addresses are
# printed at the start); HISTFEED_DEMO_HTTP_PORT=8080 puts the primary's on
# port 8080 and the alternate's on 8081, else free ports are taken.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
outage_seconds=${HISTFEED_DEMO_OUTAGE_SECONDS:-4}
keep=${HISTFEED_DEMO_KEEP:-}
postgresql=
while [ $# -gt 0 ]; do
  case $1 in
    --keep) keep=1; shift ;;
    --postgresql) postgresql=1; shift ;;
    *) break ;;
  esac
done
http_port=${HISTFEED_DEMO_HTTP_PORT:-0}

say() { printf 'demo: %s\n' "$*"; }

scripts/install-deps.sh build ${postgresql:+--postgresql}
say "building into build/ (the first build takes a few minutes)"
cmake -S . -B build -G Ninja -DHISTFEED_WERROR=ON >/dev/null
# Ninja's "[done/total]" lines, shown at every tenth of the way.
build_log=$(mktemp "${TMPDIR:-/tmp}/histfeed-demo-build.XXXXXX")
if ! cmake --build build -j "$(nproc)" --target histfeed-service feed_demo 2>&1 |
     tee "$build_log" |
     awk -F'[][/]' '/^\[[0-9]+\/[0-9]+\]/ {
         step = int($2 * 10 / $3)
         if (step > shown) { shown = step; printf "demo: building %3d%% (%d of %d steps)\n", step * 10, $2, $3; fflush() }
       }'; then
  cat "$build_log"
  rm -f "$build_log"
  say "the build failed"
  exit 1
fi
rm -f "$build_log"
say "built"

service=$root/build/service/histfeed-service
work=$(mktemp -d "${TMPDIR:-/tmp}/histfeed-demo.XXXXXX")
mkdir -p "$work/cache"
succeeded=
# The database each service stores into: a file of its own, or with
# --postgresql the one PostgreSQL database both share.
database_of() { if [ -n "$postgresql" ]; then echo "$pg_url"; else echo "$work/$1.db"; fi; }

# Stops both services cleanly (SIGTERM) and waits until they have ended.
stop_all() {
  local name pid
  for name in primary alternate; do
    [ -f "$work/$name.pid" ] || continue
    pid=$(cat "$work/$name.pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    rm -f "$work/$name.pid"
  done
}
# At the end: the services stopped, the directory removed unless it is to be
# kept (or the demo failed, when its logs tell why).
finish() {
  stop_all
  if [ -n "$keep" ] || [ -z "$succeeded" ]; then
    say "databases and logs kept in $work"
    [ -z "$pg_dir" ] || { scripts/postgres-cluster.sh stop "$pg_dir"
                           say "the PostgreSQL cluster (stopped) kept in $pg_dir"; }
  else
    rm -rf "$work"
    [ -z "$pg_dir" ] || scripts/postgres-cluster.sh remove "$pg_dir"
  fi
}
pg_dir=
trap finish EXIT

# The PostgreSQL server lives outside $work: its unprivileged owner must
# reach its directory.
if [ -n "$postgresql" ]; then
  pg_dir=$(mktemp -d "${TMPDIR:-/tmp}/histfeed-demo-postgresql.XXXXXX")
  pg_port=$(scripts/postgres-cluster.sh start "$pg_dir" 0 | sed -n 's/^port //p')
  psql -X -q -v ON_ERROR_STOP=1 "postgresql://histfeed@127.0.0.1:$pg_port/postgres" \
    -c "CREATE DATABASE histfeed" >/dev/null
  pg_url=postgresql://histfeed@127.0.0.1:$pg_port/histfeed
  say "PostgreSQL on 127.0.0.1:$pg_port, both services store into $pg_url"
fi

# start_service NAME UNIVERSAL_PORT CLASSIC_PORT HTTP_PORT: port 0 lets the
# service choose; the ports it took are read back from its log.
start_service() {
  local name=$1 log=$work/$1.log
  : >"$log.new"
  "$service" serve --db "$(database_of "$name")" --universal-port "$2" --classic-port "$3" \
    --http "127.0.0.1:$4" 2>>"$log.new" &
  echo $! >"$work/$name.pid"
  # Not a job of this shell: the demo's own kill is not news.
  disown $!
  for _ in $(seq 100); do
    if grep -q "listening on" "$log.new"; then break; fi
    if ! kill -0 "$(cat "$work/$name.pid")" 2>/dev/null; then break; fi
    sleep 0.1
  done
  cat "$log.new" >>"$log"
  local line
  line=$(grep -m1 "listening on" "$log.new" || true)
  rm -f "$log.new"
  if [ -z "$line" ]; then
    say "the $name service did not start; its log: $log"
    exit 1
  fi
  # "... universal listening on 127.0.0.1:PORT, classic on 127.0.0.1:PORT, ..."
  read -r universal_port classic_port < <(sed -E 's/.*listening on [^:]+:([0-9]+), classic on [^:]+:([0-9]+),.*/\1 \2/' <<<"$line")
  local pages_port
  pages_port=$(sed -nE 's|.*http pages on http://[^:]+:([0-9]+)/.*|\1|p' "$log" | tail -1)
  printf '%s %s %s\n' "$universal_port" "$classic_port" "$pages_port" >"$work/$name.ports"
}

start_service primary 0 0 "$http_port"
read -r primary_port primary_classic primary_pages <"$work/primary.ports"
start_service alternate 0 0 "$([ "$http_port" -eq 0 ] && echo 0 || echo $((http_port + 1)))"
read -r alternate_port _ alternate_pages <"$work/alternate.ports"
say "primary service on ports $primary_port (universal) and $primary_classic (classic), alternate on $alternate_port"
say "pages: http://127.0.0.1:$primary_pages/ (primary), http://127.0.0.1:$alternate_pages/ (alternate)"
say "databases and logs in $work (removed at the end unless --keep)"

# Stops PostgreSQL (its fast shutdown, which ends every session), keeps it
# down for a while and starts it again on the same port.
database_outage() {
  say "stopping PostgreSQL for ${outage_seconds} s"
  scripts/postgres-cluster.sh stop "$pg_dir" fast
  sleep "$outage_seconds"
  scripts/postgres-cluster.sh start "$pg_dir" "$pg_port" >/dev/null
  say "PostgreSQL started again"
}

# Kills the primary outright, keeps it down for a while, and starts it again
# on the same ports and database.
outage() {
  say "killing the primary service (SIGKILL) for ${outage_seconds} s"
  kill -KILL "$(cat "$work/primary.pid")"
  sleep "$outage_seconds"
  start_service primary "$primary_port" "$primary_classic" "$primary_pages"
  say "primary service restarted"
  [ -z "$postgresql" ] || database_outage
}

# HISTFEED_DEMO_SOURCE may name another build of the source program, with
# the command that runs it (the Windows build runs it under Wine).
source_program=${HISTFEED_DEMO_SOURCE:-$root/build/examples/feed_demo}
export HISTFEED_SERVICES="PLANT=127.0.0.1:$primary_classic"
set +e
$source_program "$primary_port" "$alternate_port" PLANT "$work" "$@" |
  {
    while IFS= read -r line; do
      printf '%s\n' "$line"
      printf '%s\n' "$line" >>"$work/source.log"
      case $line in
        "progress:  40%"*) outage & ;;
      esac
    done
    wait
  }
source_status=${PIPESTATUS[0]}
set -e
if [ "$source_status" -ne 0 ]; then
  say "the example source failed ($source_status)"
  exit 1
fi
# A frame set aside or dropped by the library did not reach a database.
if grep -E "library: QueueThread (set aside|dropped) a frame" "$work/source.log"; then
  say "FAILED: the library set frames aside that no service took"
  exit 1
fi

# The primary's pages, JSON and metrics answer while it still runs.
check_pages() {
  local base=http://127.0.0.1:$primary_pages key="family=universal&kind=point&point=FIC001" path
  for path in / /points "/point?$key" /pages.js /api/overview "/api/points?q=FIC&limit=5" \
              "/api/point?$key" "/api/series?$key&columns=100" "/chart.svg?$key"; do
    if ! curl -sf -o /dev/null "$base$path"; then
      say "FAILED: the primary's page $path did not answer"
      exit 1
    fi
  done
  local listed
  listed=$(curl -sf "$base/api/points?q=FIC001" || true)
  if [[ $listed != *'"point":"FIC001"'* ]]; then
    say "FAILED: the primary's points do not list FIC001"
    exit 1
  fi
  # promtool comes with the test tools (scripts/install-deps.sh test).
  if command -v promtool >/dev/null && ! curl -sf "$base/metrics" | promtool check metrics; then
    say "FAILED: the primary's /metrics does not pass promtool"
    exit 1
  fi
  say "the primary's pages, JSON and /metrics answer ($base/)"
}
check_pages
stop_all

summary() { grep "^summary $1 " "$work/source.log" | tr ' ' '\n' | sed -n "s/^$2=//p"; }

# What the services stored (every value, as dump --values lists it),
# checked value by value against what the source says the library
# accepted. Acknowledgements arrive in order, so the universal family's
# acknowledged values are the first ones it sent.
if [ -n "$postgresql" ]; then
  "$service" dump --db "$pg_url" --values | tail -n +2 >"$work/primary-values.csv"
  : >"$work/alternate-values.csv"
  # The rows as PostgreSQL holds them, beside what the service reads back.
  read -r pg_values pg_configs pg_deletions < <(psql -X -A -t -F ' ' "$pg_url" -c \
    "SELECT (SELECT count(*) FROM point_values),
            (SELECT count(*) FROM points WHERE record_type IS NOT NULL),
            (SELECT count(*) FROM deletions)")
  if [ "$pg_values" -ne "$(wc -l <"$work/primary-values.csv")" ]; then
    say "FAILED: PostgreSQL holds $pg_values values, dump read $(wc -l <"$work/primary-values.csv")"
    exit 1
  fi
else
  for db in primary alternate; do
    "$service" dump --db "$work/$db.db" --values | tail -n +2 >"$work/$db-values.csv"
  done
fi
sqlite3 -batch "$work/check.db" >"$work/check.txt" <<SQL
CREATE TABLE sent(seq INTEGER, family TEXT, service TEXT, point TEXT, time INTEGER,
                  msec INTEGER, value REAL);
CREATE TABLE stored(family TEXT, id_kind TEXT, point TEXT, time INTEGER, msec INTEGER,
                    status INTEGER, value REAL);
.mode csv
.import '$work/sent.csv' sent
.import '$work/primary-values.csv' stored
.import '$work/alternate-values.csv' stored
.mode list
.separator ' '
CREATE INDEX stored_key ON stored(family, point, time, msec);
CREATE TABLE found AS
  SELECT s.family, s.seq,
         (SELECT count(*) FROM stored d
           WHERE d.family = s.family
             AND d.point = CASE s.family WHEN 'classic' THEN upper(s.service) || '.' || s.point
                                         ELSE s.point END
             AND d.time = s.time AND d.msec = s.msec AND abs(d.value - s.value) < 1e-6) AS copies
  FROM sent s;
SQL
if [ -z "$postgresql" ]; then
  sqlite3 -batch -separator ' ' "$work/check.db" >>"$work/check.txt" <<SQL
ATTACH '$work/primary.db' AS p;
ATTACH '$work/alternate.db' AS a;
SELECT 'configs', (SELECT count(*) FROM p.points WHERE record_type IS NOT NULL),
       (SELECT count(*) FROM a.points WHERE record_type IS NOT NULL),
       (SELECT count(*) FROM p.deletions) + (SELECT count(*) FROM a.deletions);
SQL
fi

# value_check FAMILY SEQ_LIMIT: "stored missing duplicates" of the family's
# values with a sequence number up to SEQ_LIMIT.
value_check() {
  sqlite3 -batch -separator ' ' "$work/check.db" \
    "SELECT sum(copies > 0), sum(copies = 0), sum(max(copies - 1, 0)) FROM found
      WHERE family = '$1' AND seq <= $2"
}

read -r u_stored _ u_duplicates < <(value_check universal 1000000000)
u_sent=$(summary universal sent)
u_acknowledged=$(summary universal acknowledged)
read -r _ u_missing _ < <(value_check universal "$u_acknowledged")
printf '\nuniversal family\n'
printf '%8s %13s %8s %8s %11s %10s %14s %16s %8s\n' sent acknowledged stored missing \
  duplicates failovers "frames queued" "frames replayed" elapsed
printf '%8s %13s %8s %8s %11s %10s %14s %16s %7ss\n' "$u_sent" "$u_acknowledged" \
  "${u_stored:-0}" "${u_missing:-0}" "${u_duplicates:-0}" "$(summary universal failovers)" \
  "$(summary universal queued)" "$(summary universal replayed)" "$(summary universal elapsed)"

read -r c_stored c_missing c_duplicates < <(value_check classic 1000000000)
printf '\nclassic family\n'
printf '%8s %8s %8s %8s %11s %8s\n' sent refused stored missing duplicates elapsed
printf '%8s %8s %8s %8s %11s %7ss\n' "$(summary classic sent)" "$(summary classic refused)" \
  "${c_stored:-0}" "${c_missing:-0}" "${c_duplicates:-0}" "$(summary classic elapsed)"

cat <<'LEGEND'

  sent             values the library accepted (universal: in frames it delivered or queued)
  acknowledged     universal values whose frame a service answered 0x06, counted from the
                   library's own trace lines
  refused          classic values the library did not accept
  stored           values found in the services' databases, compared value by value
  missing          universal: acknowledged values not stored; classic: accepted values not
                   stored once StopProcess drained the buffers (the classic family reports
                   no acknowledgement per value)
  duplicates       values stored twice: a service stored them but its answer was lost
  failovers        times the universal data moved to the alternate service
  frames queued    universal frames that waited in the queue (and its cache files)
  frames replayed  queued frames delivered later by the queue thread
  elapsed          from the family's first value until its last was delivered
LEGEND
missing_total=$(( ${u_missing:-0} + ${c_missing:-0} ))

if [ -n "$postgresql" ]; then
  printf '\nconfigurations stored: %s in PostgreSQL, %s deletions applied; %s value rows\n' \
    "$pg_configs" "$pg_deletions" "$pg_values"
else
  read -r _ primary_configs alternate_configs deletions < <(grep "^configs " "$work/check.txt")
  printf '\nconfigurations stored: %s on the primary, %s on the alternate, %s deletions applied\n' \
    "$primary_configs" "$alternate_configs" "$deletions"
fi

if [ "$missing_total" -ne 0 ]; then
  say "FAILED: $missing_total values are missing from the databases"
  exit 1
fi
succeeded=1
say "every acknowledged universal value and every accepted classic value is in the databases"
