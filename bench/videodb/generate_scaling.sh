#!/usr/bin/env bash
# `kinoro-db generate` at SMALL and at LARGE movies (default 100,000 and
# 1,000,000), each into a fresh database: wall and CPU seconds, the
# machine's load before and after, and LARGE's time over SMALL's.
# Target: at most 12 times (as many movies take 10 times as long).
#   bench/videodb/generate_scaling.sh [BUILD_DIR] [SMALL] [LARGE]
set -euo pipefail
build=$(realpath "${1:-build}")
dir="${build}/bench-data/generate_scaling"
mkdir -p "${dir}"
declare -A wall cpu
for movies in "${2:-100000}" "${3:-1000000}"; do
  rm -f "${dir}/generated.db" "${dir}/generated.db-wal" "${dir}/generated.db-shm"
  load=$(cut -d' ' -f1-3 /proc/loadavg)
  TIMEFORMAT="%R %U %S"
  { time "${build}/kinoro-db" --db "${dir}/generated.db" generate --movies "${movies}" \
      >/dev/null 2>&1; } 2>"${dir}/time"
  read -r seconds user sys <"${dir}/time"
  wall[${movies}]=${seconds}
  cpu[${movies}]=$(awk -v u="${user}" -v s="${sys}" 'BEGIN { print u + s }')
  echo "${movies} movies: ${seconds} s (cpu ${user}+${sys} s)," \
    "load ${load} -> $(cut -d' ' -f1-3 /proc/loadavg)," \
    "journal $(sqlite3 "${dir}/generated.db" 'PRAGMA journal_mode')"
done
rm -f "${dir}/generated.db" "${dir}/generated.db-wal" "${dir}/generated.db-shm" "${dir}/time"
# CPU time beside wall time: on a busy machine the wall times also measure
# the other processes.
awk -v small="${wall[${2:-100000}]}" -v large="${wall[${3:-1000000}]}" \
  -v small_cpu="${cpu[${2:-100000}]}" -v large_cpu="${cpu[${3:-1000000}]}" \
  'BEGIN { printf "large over small: %.1f wall, %.1f cpu (target at most 12)\n",
           large / small, large_cpu / small_cpu }'
