#!/usr/bin/env bash
# The main job: builds histfeed, its reference service and the example data
# source, then watches values travel through both families into two
# databases while the primary service is killed and restarted midway.
#
#   scripts/demo.sh [UNIVERSAL_VALUES [POINTS [CLASSIC_VALUES]]]
#
# Exits non-zero when a value that a service acknowledged is missing from
# the databases, or when anything along the way fails.
#
# Both services show their pages while the demo runs (the addresses are
# printed at the start); HISTFEED_DEMO_HTTP_PORT=8080 puts the primary's on
# port 8080 and the alternate's on 8081, else free ports are taken.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
outage_seconds=${HISTFEED_DEMO_OUTAGE_SECONDS:-4}
http_port=${HISTFEED_DEMO_HTTP_PORT:-0}

say() { printf 'demo: %s\n' "$*"; }

scripts/install-deps.sh
say "building"
cmake -S . -B build -G Ninja -DHISTFEED_WERROR=ON >/dev/null
cmake --build build -j "$(nproc)" --target histfeed-service feed_demo >/dev/null

service=$root/build/service/histfeed-service
work=$(mktemp -d "${TMPDIR:-/tmp}/histfeed-demo.XXXXXX")
mkdir -p "$work/cache"

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
trap stop_all EXIT

# start_service NAME UNIVERSAL_PORT CLASSIC_PORT HTTP_PORT: port 0 lets the
# service choose; the ports it took are read back from its log.
start_service() {
  local name=$1 log=$work/$1.log
  : >"$log.new"
  "$service" serve --db "$work/$name.db" --universal-port "$2" --classic-port "$3" \
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
say "databases and logs in $work"

# Kills the primary outright, keeps it down for a while, and starts it again
# on the same ports and database.
outage() {
  say "killing the primary service (SIGKILL) for ${outage_seconds} s"
  kill -KILL "$(cat "$work/primary.pid")"
  sleep "$outage_seconds"
  start_service primary "$primary_port" "$primary_classic" "$primary_pages"
  say "primary service restarted"
}

export HISTFEED_SERVICES="PLANT=127.0.0.1:$primary_classic"
started=$(date +%s.%N)
set +e
"$root/build/examples/feed_demo" "$primary_port" "$alternate_port" PLANT "$work" "$@" |
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
elapsed=$(awk -v s="$started" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }')
if [ "$source_status" -ne 0 ]; then
  say "the example source failed ($source_status)"
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
  if ! curl -sf "$base/metrics" | promtool check metrics; then
    say "FAILED: the primary's /metrics does not pass promtool"
    exit 1
  fi
  say "the primary's pages, JSON and /metrics answer ($base/)"
}
check_pages
stop_all

summary() { grep "^summary $1 " "$work/source.log" | tr ' ' '\n' | sed -n "s/^$2=//p"; }

# What the services stored, checked value by value against what the source
# says the library accepted. Acknowledgements arrive in order, so the
# acknowledged values of a family are the first ones it sent.
sqlite3 -batch "$work/check.db" >"$work/check.txt" <<SQL
ATTACH '$work/primary.db' AS p;
ATTACH '$work/alternate.db' AS a;
CREATE TABLE sent(seq INTEGER, family TEXT, service TEXT, point TEXT, time INTEGER,
                  msec INTEGER, value REAL);
.mode csv
.import '$work/sent.csv' sent
.mode list
.separator ' '
CREATE TABLE stored AS
  SELECT family, point, time, msec, value FROM p.point_values
  UNION ALL SELECT family, point, time, msec, value FROM a.point_values;
CREATE INDEX stored_key ON stored(family, point, time, msec);
CREATE TABLE found AS
  SELECT s.family, s.seq,
         (SELECT count(*) FROM stored d
           WHERE d.family = s.family
             AND d.point = CASE s.family WHEN 'classic' THEN upper(s.service) || '.' || s.point
                                         ELSE s.point END
             AND d.time = s.time AND d.msec = s.msec AND abs(d.value - s.value) < 1e-6) AS copies
  FROM sent s;
SELECT family, count(*), sum(copies > 0), sum(max(copies - 1, 0)) FROM found GROUP BY family;
SELECT 'configs', (SELECT count(*) FROM p.point_configs), (SELECT count(*) FROM a.point_configs),
       (SELECT count(*) FROM p.deletions) + (SELECT count(*) FROM a.deletions);
SQL

missing_total=0
printf '\n%-10s %8s %13s %8s %8s %10s %14s %15s %9s\n' family sent acknowledged stored missing \
  failovers "frames queued" "frames replayed" elapsed
for family in universal classic; do
  read -r _ sent_rows stored duplicates < <(grep "^$family " "$work/check.txt" || echo "$family 0 0 0")
  acknowledged=$(summary "$family" acknowledged)
  missing=$(sqlite3 -batch "$work/check.db" \
    "SELECT count(*) FROM found WHERE family = '$family' AND seq <= $acknowledged AND copies = 0")
  missing_total=$((missing_total + missing))
  if [ "$family" = universal ]; then
    failovers=$(summary universal failovers)
    queued=$(summary universal queued)
    replayed=$(summary universal replayed)
  else
    failovers=- queued=- replayed=-
  fi
  printf '%-10s %8s %13s %8s %8s %10s %14s %15s %8ss\n' "$family" "$sent_rows" "$acknowledged" \
    "$stored" "$missing" "$failovers" "$queued" "$replayed" "$elapsed"
  if [ "${duplicates:-0}" -gt 0 ]; then
    say "$family: $duplicates values were stored twice (a service stored them but its answer was lost)"
  fi
done
read -r _ primary_configs alternate_configs deletions < <(grep "^configs " "$work/check.txt")
printf '\nconfigurations: %s on the primary, %s on the alternate, %s deletions applied\n' \
  "$primary_configs" "$alternate_configs" "$deletions"

if [ "$missing_total" -ne 0 ]; then
  say "FAILED: $missing_total acknowledged values are missing from the databases"
  exit 1
fi
say "every acknowledged value is in the databases ($work)"
