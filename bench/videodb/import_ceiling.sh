#!/usr/bin/env bash
# `kinoro-db import` of N generated movies against the same rows written
# directly in one transaction (the ceiling), ROUNDS times, with the machine's
# load before and after. Targets: import at least 0.8 of the ceiling, and
# under 200 MB of memory at 1M movies.
#   bench/videodb/import_ceiling.sh [BUILD_DIR] [MOVIES] [ROUNDS]
set -euo pipefail
build=$(realpath "${1:-build}")
echo "load: $(uptime)"
"${build}/import_ceiling" "${build}/kinoro-db" "${2:-100000}" "${3:-3}" \
  "${build}/bench-data/import_ceiling"
echo "load: $(uptime)"
