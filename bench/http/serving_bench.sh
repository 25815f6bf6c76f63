#!/usr/bin/env bash
# kinoro-host against nginx on the same machine, in one run: each pair is
# measured back to back with wrk, over the same keep-alive connections, for
# the same bytes:
#   backdrop     a backdrop "get" of a 300 KB JPEG  |  nginx serving that file
#   backdrop-304 the same with a matching ETag      |  nginx's 304 for the file
#   list_library list_library on the sample library |  nginx serving the answer
#                                                     as a static JSON file
#   static-backdrop, static-list: kinoro-host serving those same two files
#                from --web-root (its HTTP layer alone: no module, no
#                worker) | nginx, the most the module's answers could reach
# and prints, per pair, the medians over the rounds and kinoro-host's share of
# nginx's requests per second. Then, when asked:
#   --rss N      N requests mixed from the methods above, list_movie and
#                tmdb_similar; each worker's resident size after the first
#                10,000 and at the end, and whether any worker was replaced
#   --similar    tmdb_similar latencies on the MovieLens library (DATA_DIR,
#                default ../shared/data), one request at a time per worker
#
# usage: bench/http/serving_bench.sh BUILD_DIR [--rounds 3] [--duration 10s]
#          [--connections 32] [--threads 2] [--workers 2] [--rss N]
#          [--similar [--data DATA_DIR]]
#
# It replaces the build root's video database with the sample library (as
# scripts/serve-demo does), with a 300 KB backdrop on its first movie, and for
# --similar with the MovieLens library. The users.db is copied, never changed.
set -euo pipefail

build=$(cd "${1:?usage: serving_bench.sh BUILD_DIR [options]}" && pwd)
shift
rounds=3
duration=10s
connections=32
threads=2
workers=2
rss_requests=0
similar=0
data=$(cd "$(dirname "$0")/../.." && pwd)/../shared/data
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=$2; shift 2 ;;
    --duration) duration=$2; shift 2 ;;
    --connections) connections=$2; shift 2 ;;
    --threads) threads=$2; shift 2 ;;
    --workers) workers=$2; shift 2 ;;
    --rss) rss_requests=$2; shift 2 ;;
    --similar) similar=1; shift ;;
    --data) data=$2; shift 2 ;;
    *) echo "serving_bench.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
here=$(cd "$(dirname "$0")" && pwd)
"${here}/../../scripts/setup" --bench

root=$(sed -n 's/^KINORO_ROOT:[A-Z]*=//p' "${build}/CMakeCache.txt")
[ -n "${root}" ] || { echo "serving_bench.sh: ${build} has no KINORO_ROOT" >&2; exit 2; }
db=${root}/var/packages/Kinoro/var/kinoro.db

work=$(mktemp -d /tmp/kinoro-serving.XXXXXX)
chmod 755 "${work}"  # nginx's workers run as another user
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "${pid}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "${work}"
}
trap cleanup EXIT

# The sample library with a 300 KB backdrop (a sample image grown with JPEG
# comment segments, which decoders skip) on its first movie.
python3 - "${build}/sample" "${work}" <<'PY'
import json, sys
sample, work = sys.argv[1], sys.argv[2]
doc = json.load(open(sample + "/library.json"))
movie = doc["movies"][0]
image = open(sample + "/" + movie["backdrops"][0], "rb").read()
pad = b""
while len(image) + len(pad) < 300 * 1024:
    n = min(65533, max(1, 300 * 1024 - len(image) - len(pad) - 4))
    pad += b"\xff\xfe" + (n + 2).to_bytes(2, "big") + b"k" * n
open(work + "/big.jpg", "wb").write(image[:2] + pad + image[2:])
movie["backdrops"] = ["big.jpg"] + movie["backdrops"][1:]
json.dump(doc, open(work + "/library.json", "w"))
PY
ln -s "${build}/sample/images" "${work}/images"
rm -f "${db}" "${db}-wal" "${db}-shm"
"${build}/kinoro-db" init >/dev/null
"${build}/kinoro-db" import "${work}/library.json" >/dev/null
mapper_id=$(sqlite3 "${db}" "SELECT mapper_id FROM movie ORDER BY id LIMIT 1")

users_db=${root}/etc/velm/users.db
[ -f "${users_db}" ] && sqlite3 "${users_db}" ".backup '${work}/users.db'"
password="bench-$$-${RANDOM}"
sqlite3 "${work}/users.db" "DELETE FROM users WHERE name = 'kinoro-bench' OR uid = 1024" 2>/dev/null || true
printf '%s\n' "${password}" |
  "${build}/kinoro-host" user add kinoro-bench --uid 1024 --admin --users-db "${work}/users.db" >/dev/null

mkdir -p "${work}/www"
"${build}/kinoro-host" --listen 127.0.0.1:0 --module "${build}/libkinoro_webapi.so" \
  --workers "${workers}" --max-workers "${workers}" --foreground --users-db "${work}/users.db" --port-file "${work}/port" \
  --web-root "${work}/www" \
  --access-log /dev/null 2>"${work}/host.log" &
pids+=($!)
for _ in $(seq 1 200); do [ -s "${work}/port" ] && break; sleep 0.05; done
[ -s "${work}/port" ] || { cat "${work}/host.log" >&2; exit 1; }
host="http://127.0.0.1:$(cat "${work}/port")/webapi/entry.cgi"
sid=$(curl -fsS -d "api=VELM.API.Auth&version=1&method=login&account=kinoro-bench&passwd=${password}" \
  "${host}" | sed -n 's/.*"sid":"\([^"]*\)".*/\1/p')
[ -n "${sid}" ] || { echo "serving_bench.sh: login failed" >&2; exit 1; }

# nginx serves what kinoro-host answers, as files.
mkdir -p "${work}/www" "${work}/nginx"
backdrop_query="api=VELM.Kinoro.Backdrop&version=1&method=get&mapper_id=${mapper_id}"
list_query="api=VELM.Kinoro.AcrossLibrary&version=1&method=list_library&policy=recently_added"
curl -fsS -b "id=${sid}" -D "${work}/backdrop.head" -o "${work}/www/backdrop.jpg" "${host}?${backdrop_query}"
curl -fsS -b "id=${sid}" -o "${work}/www/list.json" "${host}?${list_query}"
etag=$(sed -n 's/^[Ee][Tt]ag: *\(.*\)\r$/\1/p' "${work}/backdrop.head")
[ "$(stat -c %s "${work}/www/backdrop.jpg")" -ge 300000 ] ||
  { echo "serving_bench.sh: the backdrop answer is not the 300 KB image" >&2; exit 1; }
nginx_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"${work}/nginx/nginx.conf" <<CONF
worker_processes ${workers};
pid ${work}/nginx/nginx.pid;
error_log ${work}/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  keepalive_requests 10000000;
  sendfile on;  # as Debian's own configuration has it
  tcp_nopush on;
  types { image/jpeg jpg; application/json json; }
  client_body_temp_path ${work}/nginx;
  proxy_temp_path ${work}/nginx;
  fastcgi_temp_path ${work}/nginx;
  uwsgi_temp_path ${work}/nginx;
  scgi_temp_path ${work}/nginx;
  server {
    listen 127.0.0.1:${nginx_port};
    root ${work}/www;
  }
}
CONF
nginx -c "${work}/nginx/nginx.conf" -g 'daemon off;' 2>"${work}/nginx/stderr" &
pids+=($!)
for _ in $(seq 1 100); do curl -fs -o /dev/null "http://127.0.0.1:${nginx_port}/list.json" && break; sleep 0.05; done
nginx_etag=$(curl -fsS -D - -o /dev/null "http://127.0.0.1:${nginx_port}/backdrop.jpg" |
  sed -n 's/^[Ee][Tt]ag: *\(.*\)\r$/\1/p')

# One wrk run: "requests/s p50 p99" (latencies in ms). Non-2xx/3xx answers
# or socket errors fail the run.
measure() {
  local url=$1
  shift
  wrk -t "${threads}" -c "${connections}" -d "${duration}" --latency "$@" "${url}" >"${work}/wrk.txt"
  if grep -q 'Non-2xx\|Socket errors' "${work}/wrk.txt"; then
    echo "serving_bench.sh: errors while measuring ${url}:" >&2
    cat "${work}/wrk.txt" >&2
    exit 1
  fi
  awk '
    function ms(v) { if (v ~ /us$/) return v / 1000; if (v ~ /ms$/) return v + 0; return v * 1000 }
    /^Requests\/sec:/ { rps = $2 }
    $1 == "50%" { p50 = ms($2) }
    $1 == "99%" { p99 = ms($2) }
    END { printf "%.0f %.2f %.2f\n", rps, p50, p99 }' "${work}/wrk.txt"
}

pairs=(backdrop backdrop-304 list_library static-backdrop static-list)
declare -A results
for round in $(seq 1 "${rounds}"); do
  echo "round ${round} of ${rounds} ($(cut -d' ' -f1-3 /proc/loadavg) load)" >&2
  for pair in "${pairs[@]}"; do
    case "${pair}" in
      backdrop)
        k=$(measure "${host}?${backdrop_query}" -H "Cookie: id=${sid}")
        n=$(measure "http://127.0.0.1:${nginx_port}/backdrop.jpg") ;;
      backdrop-304)
        k=$(measure "${host}?${backdrop_query}" -H "Cookie: id=${sid}" -H "If-None-Match: ${etag}")
        n=$(measure "http://127.0.0.1:${nginx_port}/backdrop.jpg" -H "If-None-Match: ${nginx_etag}") ;;
      list_library)
        k=$(measure "${host}?${list_query}" -H "Cookie: id=${sid}")
        n=$(measure "http://127.0.0.1:${nginx_port}/list.json") ;;
      static-backdrop)
        k=$(measure "${host%/webapi/entry.cgi}/backdrop.jpg")
        n=$(measure "http://127.0.0.1:${nginx_port}/backdrop.jpg") ;;
      static-list)
        k=$(measure "${host%/webapi/entry.cgi}/list.json")
        n=$(measure "http://127.0.0.1:${nginx_port}/list.json") ;;
    esac
    results[${pair}.kinoro]+="${k};"
    results[${pair}.nginx]+="${n};"
  done
done

median() {  # field number, "a b c;a b c;..."
  tr ';' '\n' <<<"$2" | awk -v f="$1" 'NF { print $f }' | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
[ "${rounds}" -gt 0 ] && printf '\n%-15s %-7s %12s %9s %9s %8s\n' pair server requests/s p50_ms p99_ms ratio
for pair in "${pairs[@]}"; do
  [ "${rounds}" -gt 0 ] || break
  for server in kinoro nginx; do
    r=${results[${pair}.${server}]}
    printf '%-15s %-7s %12s %9s %9s' "${pair}" "${server}" "$(median 1 "$r")" "$(median 2 "$r")" "$(median 3 "$r")"
    if [ "${server}" = kinoro ]; then
      awk -v a="$(median 1 "$r")" -v b="$(median 1 "${results[${pair}.nginx]}")" \
        'BEGIN { printf " %8.2f\n", a / b }'
    else
      echo
    fi
  done
done
[ "${rounds}" -gt 0 ] && echo "(medians of ${rounds} rounds; ${connections} keep-alive connections, ${threads} wrk threads," \
  "${duration} each; ${workers} workers each; load at the end: $(cut -d' ' -f1-3 /proc/loadavg);" \
  "backdrop $(stat -c %s "${work}/www/backdrop.jpg") bytes, list_library $(stat -c %s "${work}/www/list.json") bytes)"

# ---- Resident size over many requests ----
# One wrk run of `duration` over the mixed requests: the count it made.
mixed_run() {
  wrk -t "${threads}" -c "${connections}" -d "$1" -s "${work}/mixed.lua" -H "Cookie: id=${sid}" \
    "${host}" >"${work}/wrk.txt"
  if grep -q 'Non-2xx\|Socket errors' "${work}/wrk.txt"; then
    echo "serving_bench.sh: errors in the mixed run:" >&2
    cat "${work}/wrk.txt" >&2
    exit 1
  fi
  awk '/requests in/ { print $1 }' "${work}/wrk.txt"
}
# "pid:rss_kb ..." of the supervisor's single-threaded children: the workers
# (the front runs the HTTP threads).
worker_rss() {
  local supervisor=${pids[0]} out=""
  for child in $(cat /proc/"${supervisor}"/task/*/children); do
    [ "$(ls /proc/"${child}"/task | wc -l)" = 1 ] || continue
    out+="${child}:$(awk '/^VmRSS:/ { print $2 }' /proc/"${child}"/status) "
  done
  echo "${out% }"
}
if [ "${rss_requests}" -gt 0 ]; then
  movie_id=$(sqlite3 "${db}" "SELECT id FROM movie ORDER BY id LIMIT 1")
  cat >"${work}/mixed.lua" <<LUA
local paths = {
  "/webapi/entry.cgi?${backdrop_query}",
  "/webapi/entry.cgi?${list_query}",
  "/webapi/entry.cgi?api=VELM.Kinoro.AcrossLibrary&version=1&method=list_movie&policy=top_rating&limit=20&additional=%5B%22genre%22%2C%22file%22%5D",
  "/webapi/entry.cgi?api=VELM.Kinoro.AcrossLibrary&version=1&method=list_movie&policy=tmdb_similar&id=${movie_id}&offset=0&limit=5",
}
local i = 0
request = function()
  i = i + 1
  return wrk.format("GET", paths[i % #paths + 1])
end
LUA
  done_requests=0
  while [ "${done_requests}" -lt 10000 ]; do
    done_requests=$((done_requests + $(mixed_run 1s)))
  done
  early=$(worker_rss)
  echo "mixed requests: ${done_requests}; workers (pid:kB) ${early}" >&2
  while [ "${done_requests}" -lt "${rss_requests}" ]; do
    done_requests=$((done_requests + $(mixed_run 30s)))
    echo "mixed requests: ${done_requests}; workers (pid:kB) $(worker_rss)" >&2
  done
  late=$(worker_rss)
  echo
  echo "resident size of each worker after ${done_requests} mixed requests:"
  for entry in ${early}; do
    pid=${entry%%:*}
    now=$(tr ' ' '\n' <<<"${late}" | sed -n "s/^${pid}://p")
    if [ -z "${now}" ]; then
      echo "  worker ${pid}: ${entry#*:} kB after the first 10,000; replaced since (FAIL)"
    else
      awk -v p="${pid}" -v a="${entry#*:}" -v b="${now}" 'BEGIN {
        printf "  worker %s: %d kB after the first 10,000, %d kB at the end (%+.1f%%)%s\n",
          p, a, b, (b - a) * 100 / a, ((b - a) * 10 > a ? " (FAIL: over 10%)" : "") }'
    fi
  done
fi

# ---- tmdb_similar on the MovieLens library ----
if [ "${similar}" = 1 ]; then
  links=${data}/movielens-small
  [ -f "${links}/movies.csv" ] || { echo "serving_bench.sh: no MovieLens data in ${links}" >&2; exit 1; }
  "${build}/kinoro-db" movielens "${links}" "${work}/movielens.json" >/dev/null
  rm -f "${db}" "${db}-wal" "${db}-shm"
  "${build}/kinoro-db" init >/dev/null
  "${build}/kinoro-db" import "${work}/movielens.json" >/dev/null
  # Movies spread over the library, asked for in turn.
  sqlite3 "${db}" "SELECT id FROM movie WHERE id % 97 = 0 LIMIT 100" >"${work}/ids"
  {
    echo "local ids = {$(paste -sd, "${work}/ids")}"
    echo 'local i = 0'
    echo 'request = function()'
    echo '  i = i + 1'
    echo "  return wrk.format(\"GET\", \"/webapi/entry.cgi?api=VELM.Kinoro.AcrossLibrary&version=1&method=list_movie&policy=tmdb_similar&offset=0&limit=10&id=\" .. ids[i % #ids + 1])"
    echo 'end'
  } >"${work}/similar.lua"
  curl -fsS -b "id=${sid}" "${host}?api=VELM.Kinoro.AcrossLibrary&version=1&method=list_movie&policy=tmdb_similar&offset=0&limit=10&id=$(head -1 "${work}/ids")" |
    grep -q '"success":true' || { echo "serving_bench.sh: tmdb_similar does not succeed" >&2; exit 1; }
  wrk -t 1 -c "${workers}" -d "${duration}" --latency -s "${work}/similar.lua" -H "Cookie: id=${sid}" \
    "${host}" >"${work}/wrk.txt"
  echo
  echo "tmdb_similar on the MovieLens library ($(wc -l <"${work}/ids") movies in turn, ${workers} connections, ${duration}):"
  awk '/^Requests\/sec:/ { print "  requests/s " $2 } $1 == "50%" || $1 == "99%" { print "  p" $1 " " $2 }' \
    "${work}/wrk.txt" | sed 's/%//'
  grep -q 'Non-2xx\|Socket errors' "${work}/wrk.txt" && { cat "${work}/wrk.txt" >&2; exit 1; }
fi
