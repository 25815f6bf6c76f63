#!/usr/bin/env bash
# First scan and unchanged rescan of N empty files named like films, in
# files per second. Uses the build's root (its shares.conf names the share
# "benchscan"), a database and a tree of its own under bench-data/.
#   bench/scan/scan_bench.sh [BUILD_DIR] [FILES]
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
echo "first scan:     $("${build}/kinoro-db" --db "${db}" scan | head -1)"
echo "unchanged scan: $("${build}/kinoro-db" --db "${db}" scan | head -1)"
