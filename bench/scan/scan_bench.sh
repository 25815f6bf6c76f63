#!/usr/bin/env bash
# First scan and unchanged rescan of N empty files named like films, in
# files per second. Uses the build's root (its shares.conf names the share
# "benchscan"), a database and a tree of its own under bench-data/.
# With --host, kinoro-host serves that database meanwhile and wrk measures
# list_library's latency while the first scan writes.
#   bench/scan/scan_bench.sh [BUILD_DIR] [FILES] [--host]
set -euo pipefail
build=$(realpath "${1:-build}")
files=${2:-100000}
data=${build}/bench-data/scan
root=$(sed -n 's/^KINORO_ROOT:STRING=//p' "${build}/CMakeCache.txt")
rm -rf "${data}"
mkdir -p "${data}/tree/films" "${root}/etc/velm"
shares=${root}/etc/velm/shares.conf
[ -f "${shares}" ] && cp "${shares}" "${data}/shares.conf.saved"
trap '[ -f "${data}/shares.conf.saved" ] && cp "${data}/shares.conf.saved" "${shares}" || rm -f "${shares}"' EXIT
echo "{\"shares\": [{\"name\": \"benchscan\", \"path\": \"${data}/tree\"}]}" >"${shares}"
python3 - "${data}/tree/films" "${files}" <<'PY'
import os, sys
base, n = sys.argv[1], int(sys.argv[2])
words = ["Silent", "River", "Night", "Empire", "Shadow", "Garden", "Winter", "Echo"]
for i in range(n):
    d = os.path.join(base, "d%03d" % (i // 1000))
    os.makedirs(d, exist_ok=True)
    name = "%s %s %d (%d).mkv" % (words[i % 8], words[(i // 8) % 8], i, 1950 + i % 70)
    open(os.path.join(d, name), "w").close()
PY
db=${data}/scan.db
"${build}/kinoro-db" --db "${db}" init >/dev/null
"${build}/kinoro-db" --db "${db}" library add --title Films --type movie --path /benchscan/films \
  --public >/dev/null
echo "load: $(uptime)"
if [ "${3:-}" = --host ]; then
  printf 'pw\n' | "${build}/kinoro-host" user add bench --uid 1024 --admin \
    --users-db "${data}/users.db" >/dev/null
  "${build}/kinoro-host" --listen 127.0.0.1:0 --module "${build}/libkinoro_webapi.so" --workers 2 \
    --foreground --db "${db}" --users-db "${data}/users.db" --port-file "${data}/port" \
    --access-log /dev/null 2>"${data}/host.log" &
  host_pid=$!
  trap 'kill -TERM ${host_pid} 2>/dev/null; [ -f "${data}/shares.conf.saved" ] && cp "${data}/shares.conf.saved" "${shares}" || rm -f "${shares}"' EXIT
  for _ in $(seq 1 100); do [ -s "${data}/port" ] && break; sleep 0.05; done
  url="http://127.0.0.1:$(cat "${data}/port")/webapi/entry.cgi"
  sid=$(curl -fsS -d "api=VELM.API.Auth&version=1&method=login&account=bench&passwd=pw" "${url}" |
    sed -n 's/.*"sid":"\([^"]*\)".*/\1/p')
  "${build}/kinoro-db" --db "${db}" scan >"${data}/scan.txt" &
  scan_pid=$!
  wrk -t 1 -c 4 -d 3s --latency -H "Cookie: id=${sid}" \
    "${url}?api=VELM.Kinoro.AcrossLibrary&version=1&method=list_library&policy=recently_added" \
    >"${data}/wrk.txt"
  wait "${scan_pid}"
  echo "first scan:     $(head -1 "${data}/scan.txt")"
  echo "list_library during it (4 connections, 3 s):" \
    "$(awk '$1 == "50%" || $1 == "99%" { printf "p%s %s  ", $1, $2 } /^Requests\/sec/ { printf "%s req/s", $2 }' "${data}/wrk.txt" | sed 's/%//g')"
else
  echo "first scan:     $("${build}/kinoro-db" --db "${db}" scan | head -1)"
fi
echo "unchanged scan: $("${build}/kinoro-db" --db "${db}" scan | head -1)"
