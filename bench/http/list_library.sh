#!/usr/bin/env bash
# Load test of kinoro-host with wrk: "list_library" over keep-alive
# connections, once per worker count. Prints requests per second and the
# 50th and 99th percentile latencies.
#
# usage: bench/http/list_library.sh --host BUILD/kinoro-host --module BUILD/libkinoro_webapi.so
#          [--users-db PATH] [--uid N] [--workers "1 2"] [--connections 32] [--threads 2]
#          [--duration 10s] [--query QUERY]
#
# The module reads the video database of the root it was built for; import the
# sample library there first (kinoro-db init && kinoro-db import ...). The
# users.db given is copied, never changed: a bench user is added to the copy.
set -euo pipefail

host=""
module=""
users_db=""
uid=1024
workers_list="1 2"
connections=32
threads=2
duration=10s
query="api=VELM.Kinoro.AcrossLibrary&version=1&method=list_library&policy=recently_added"

while [ $# -gt 0 ]; do
  case "$1" in
    --host) host=$2; shift 2 ;;
    --module) module=$2; shift 2 ;;
    --users-db) users_db=$2; shift 2 ;;
    --uid) uid=$2; shift 2 ;;
    --workers) workers_list=$2; shift 2 ;;
    --connections) connections=$2; shift 2 ;;
    --threads) threads=$2; shift 2 ;;
    --duration) duration=$2; shift 2 ;;
    --query) query=$2; shift 2 ;;
    *) echo "list_library.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
if [ -z "$host" ] || [ -z "$module" ]; then
  echo "list_library.sh: --host and --module are required" >&2
  exit 2
fi
command -v wrk >/dev/null || { echo "list_library.sh: wrk is not installed (scripts/setup)" >&2; exit 2; }

work=$(mktemp -d /tmp/kinoro-bench.XXXXXX)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill -TERM "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

db="$work/users.db"
if [ -n "$users_db" ] && [ -f "$users_db" ]; then
  sqlite3 "$users_db" ".backup '$db'"
fi
password="bench-$$-$RANDOM"
printf '%s\n' "$password" | "$host" user add kinoro-bench --uid "$uid" --admin --users-db "$db" 2>/dev/null ||
  { sqlite3 "$db" "DELETE FROM users WHERE name='kinoro-bench' OR uid=$uid;" &&
    printf '%s\n' "$password" | "$host" user add kinoro-bench --uid "$uid" --admin --users-db "$db"; }

printf '%-8s %12s %10s %10s\n' workers requests/s p50 p99
for workers in $workers_list; do
  rm -f "$work/port"
  "$host" --listen 127.0.0.1:0 --module "$module" --workers "$workers" --foreground \
    --users-db "$db" --port-file "$work/port" --access-log "$work/access.log" \
    2>"$work/server.log" &
  server_pid=$!
  for _ in $(seq 1 100); do [ -s "$work/port" ] && break; sleep 0.05; done
  [ -s "$work/port" ] || { cat "$work/server.log" >&2; exit 1; }
  port=$(cat "$work/port")
  base="http://127.0.0.1:${port}/webapi/entry.cgi"

  sid=$(curl -fsS -d "api=VELM.API.Auth&version=1&method=login&account=kinoro-bench&passwd=${password}" "${base}" |
        sed -n 's/.*"sid":"\([0-9a-f]*\)".*/\1/p')
  [ -n "$sid" ] || { echo "list_library.sh: login failed" >&2; exit 1; }
  answer=$(curl -fsS -b "id=${sid}" "${base}?${query}")
  case "$answer" in
    *'"success":true'*) ;;
    *) echo "list_library.sh: the call does not succeed: ${answer}" >&2; exit 1 ;;
  esac

  wrk -t "$threads" -c "$connections" -d "$duration" --latency -H "Cookie: id=${sid}" \
    "${base}?${query}" >"$work/wrk.txt"
  rps=$(awk '/^Requests\/sec:/ {print $2}' "$work/wrk.txt")
  p50=$(awk '$1 == "50%" {print $2}' "$work/wrk.txt")
  p99=$(awk '$1 == "99%" {print $2}' "$work/wrk.txt")
  errors=$(awk '/Non-2xx|Socket errors/ {print}' "$work/wrk.txt")
  printf '%-8s %12s %10s %10s\n' "$workers" "$rps" "$p50" "$p99"
  [ -z "$errors" ] || echo "  ${errors}"

  kill -TERM "$server_pid"
  wait "$server_pid" || true
  server_pid=""
done
echo "(${connections} keep-alive connections, ${threads} wrk threads, ${duration} each; answer: ${#answer} bytes)"
