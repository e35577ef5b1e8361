#!/bin/sh
# The sorted query's sort core beside GNU sort on the same lines.
#
#   bench/sort_vs_gnu.sh <build dir> <records> [random|presorted|reversed|equal90] [MiB]
#
# 1. Writes <records> lines of 100 bytes: 10 random printable characters as
#    the key, filler, an 8-digit ordinal, a newline (presorted and reversed
#    order the keys; equal90 gives 90% of the lines one key).
# 2. Runs `LC_ALL=C sort -S 64M --parallel=1 -T <dir>` and the engine's sort
#    core (KIVO_RUN_MEM=67108864, six work files in <dir>, the pointer file,
#    then the lines written in its order), warm cache, median of three each,
#    and checks the two orders.
# 3. I/O amplification: bytes read and written on work files per input byte;
#    GNU sort's from a separate traced run (its temporary files in <dir>).
# Prints one line:
#   records=N kivo_s=T kivo_out_s=T gnu_s=T ratio=R out_ratio=R passes=P
#   io_amp=A gnu_io_amp=A kivo_anon_mb=M kivo_rss_mb=M gnu_rss_mb=M order=same
# ratio is the sort phase over GNU sort's whole run, out_ratio the sort and
# the write of its output over the same; kivo_anon_mb is the engine's peak of
# anonymous memory over what the process held before the sort (KIVO_RUN_MEM
# bounds it), gnu_rss_mb GNU sort's peak resident size (the whole process).
set -eu

build=${1:?build dir}
n=${2:?records}
kind=${3:-random}
mem_mb=${4:-64}  # the memory budget of both, 64 MiB unless given
bench="$build/bench/sort_core_bench"
[ -x "$bench" ] || { echo "$bench not built (cmake --build $build --target sort_core_bench)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kivo_sort_vs_gnu.XXXXXX")
trap 'rm -rf "$work"' EXIT
lines="$work/lines"
mkdir "$work/tmp"

python3 - "$n" "$kind" "$lines" <<'EOF'
import random, sys
n, kind, path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
rng = random.Random(2026)
keys = [bytes(rng.randint(33, 126) for _ in range(10)) for _ in range(n)]
if kind == "presorted": keys.sort()
elif kind == "reversed": keys.sort(reverse=True)
elif kind == "equal90":
    same = keys[0]
    keys = [same if rng.random() < 0.9 else k for k in keys]
filler = b"." * 81
with open(path, "wb", buffering=1 << 20) as f:
    for i, k in enumerate(keys):
        f.write(k + filler + b"%08d\n" % i)
EOF
cat "$lines" >/dev/null  # warm cache

median() { sort -n | sed -n 2p; }

# Wall seconds and peak RSS (KB) of GNU sort.
gnu_run() {
  /usr/bin/time -f "%e %M" -o "$work/gnu_time" env LC_ALL=C sort -S "${mem_mb}M" --parallel=1 -T "$work/tmp" \
    -o "$work/gnu_out" "$lines"
  cat "$work/gnu_time"
}
# The sort core's line: kivo_s, passes, io_bytes, rss_kb.
kivo_run() {
  rm -rf "$work/kivo" && mkdir "$work/kivo"
  KIVO_RUN_MEM=$((mem_mb * 1048576)) "$bench" --sort "$lines" "$work/kivo" "$work/kivo_out"
}

: >"$work/gnu_runs"
: >"$work/kivo_runs"
for _ in 1 2 3; do
  gnu_run >>"$work/gnu_runs"
  kivo_run >>"$work/kivo_runs"
done
gnu_s=$(cut -d' ' -f1 "$work/gnu_runs" | median)
gnu_rss=$(cut -d' ' -f2 "$work/gnu_runs" | sort -n | tail -1)
kivo_s=$(sed 's/.*kivo_s=\([0-9.]*\).*/\1/' "$work/kivo_runs" | median)
kivo_out_s=$(sed 's/.*out_s=\([0-9.]*\).*/\1/' "$work/kivo_runs" | median)
kivo_anon=$(sed 's/.*anon_kb=\([0-9]*\).*/\1/' "$work/kivo_runs" | sort -n | tail -1)
last=$(tail -1 "$work/kivo_runs")
val() { echo "$last" | sed "s/.*$1=\([0-9]*\).*/\1/"; }
passes=$(val passes)
io_bytes=$(val io_bytes)
rss_kb=$(val rss_kb)

order=differ
cmp -s "$work/gnu_out" "$work/kivo_out" && order=same

# GNU sort's temporary-file traffic: reads and writes on the files it opens
# under the temporary directory, from a traced run.
strace -f -qq -e trace=openat,read,write,pread64,pwrite64,close -o "$work/trace" \
  env LC_ALL=C sort -S "${mem_mb}M" --parallel=1 -T "$work/tmp" -o "$work/gnu_out2" "$lines"
gnu_io=$(python3 - "$work/trace" "$work/tmp" <<'EOF'
import re, sys
tmp = sys.argv[2]
open_fds, total = {}, 0
call = re.compile(r'^(\d+)\s+(\w+)\((.*)\)\s+=\s+(-?\d+)')
for line in open(sys.argv[1], errors="replace"):
    m = call.match(line)
    if not m: continue
    pid, name, args, ret = m.group(1), m.group(2), m.group(3), int(m.group(4))
    if name == "openat":
        path = args.split('"')[1] if '"' in args else ""
        if ret >= 0: open_fds[(pid, ret)] = path.startswith(tmp)
    elif name == "close":
        open_fds.pop((pid, int(args.strip() or -1)), None)
    elif ret > 0 and open_fds.get((pid, int(args.split(",")[0]))):
        total += ret
print(total)
EOF
)

in_bytes=$(stat -c %s "$lines")
awk -v n="$n" -v k="$kivo_s" -v ko="$kivo_out_s" -v ka="$kivo_anon" -v g="$gnu_s" -v p="$passes" -v io="$io_bytes" -v gio="$gnu_io" -v in_b="$in_bytes" \
  -v krss="$rss_kb" -v grss="$gnu_rss" -v order="$order" 'BEGIN {
  printf "records=%d kivo_s=%.2f kivo_out_s=%.2f gnu_s=%.2f ratio=%.2f out_ratio=%.2f passes=%d io_amp=%.2f gnu_io_amp=%.2f kivo_anon_mb=%.1f kivo_rss_mb=%d gnu_rss_mb=%.1f order=%s\n",
    n, k, ko, g, (g > 0 ? k / g : 0), (g > 0 ? ko / g : 0), p, io / in_b, gio / in_b, ka / 1024, krss / 1024, grss / 1024, order }'
[ "$order" = same ]
