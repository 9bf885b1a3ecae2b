#!/usr/bin/env bash
# Prints, in one run and side by side:
#  - MD5 of a 1 GiB file by the launcher's code under Wine vs md5sum;
#  - applying a patch between two ~500 MB versions of a file with the
#    launcher's streamed and in-memory appliers under Wine vs Debian's bspatch
#    on the equivalent BSDIFF40 patch (the same blocks, bzip2-packed),
#    each with its peak working set.
# Figures only: nothing is asserted. See bench/README.md.
#
# Environment: BUILD_DIR (default build-bench), BENCH_DIR (default
# /tmp/launcher-bench: inputs are made once and kept there), BENCH_MD5_MIB
# (default 1024), BENCH_VERSION_MB (default 500).
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${BUILD_DIR:-$repo/build-bench}
work=${BENCH_DIR:-/tmp/launcher-bench}
md5_mib=${BENCH_MD5_MIB:-1024}
version_mb=${BENCH_VERSION_MB:-500}

say() { printf '[bench] %s\n' "$*" >&2; }
for tool in bsdiff bspatch md5sum python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done

. "$repo/scripts/build-env.sh"
say "building update_bench.exe into $build_dir"
launcher_configure_and_build --target update_bench >/dev/null
bench_exe=$build_dir/bench/update_bench.exe

. "$repo/scripts/wine-env.sh"
trap 'wine_env_cleanup all' EXIT
wine_env_setup
wine_env_private_session

mkdir -p "$work"
winpath() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }

# ------------------------------------------------------------ inputs
big=$work/md5_${md5_mib}mib.bin
if [ ! -f "$big" ] || [ "$(stat -c %s "$big")" -ne $((md5_mib << 20)) ]; then
  say "making $big"
  head -c $((md5_mib << 20)) /dev/urandom >"$big.tmp" && mv "$big.tmp" "$big"
fi

old=$work/v${version_mb}_old.bin
new=$work/v${version_mb}_new.bin
bsd=$work/v${version_mb}.bsdiff40
patch=$work/v${version_mb}.patch
if [ ! -f "$patch" ] || [ ! -f "$bsd" ]; then
  say "making two ~${version_mb} MB versions"
  python3 - "$old" "$new" "$version_mb" <<'PY'
import random, sys
old_path, new_path, mb = sys.argv[1], sys.argv[2], int(sys.argv[3])
rng = random.Random(11)
size = mb * 1000 * 1000
# Game data is part noise (compressed assets), part structure (tables).
pieces, total = [], 0
while total < size:
    if rng.random() < 0.7:
        block = rng.randbytes(1 << 20)
    else:
        row = rng.randbytes(64)
        block = row * (1 << 14)
    pieces.append(block)
    total += len(block)
old = b"".join(pieces)[:size]
with open(old_path, "wb") as f:
    f.write(old)
# The next version: scattered small edits, inserted and removed blocks, new
# data at the end.
out, pos, step = [], 0, 1 << 20
while pos < len(old):
    chunk = bytearray(old[pos:pos + step])
    at = rng.randrange(0, max(1, len(chunk) - 64))
    chunk[at:at + 64] = rng.randbytes(64)
    r = rng.random()
    if r < 0.05:
        chunk[at:at] = rng.randbytes(4096)
    elif r < 0.08:
        del chunk[at:at + 8192]
    out.append(bytes(chunk))
    pos += step
out.append(rng.randbytes(5 << 20))
with open(new_path, "wb") as f:
    f.write(b"".join(out))
PY
  say "bsdiff (suffix sort over the old version: minutes, several GiB)"
  /usr/bin/time -f '%e %M' -o "$work/bsdiff.time" bsdiff "$old" "$new" "$bsd.tmp"
  mv "$bsd.tmp" "$bsd"
  say "re-packing bsdiff's blocks into the launcher's container"
  python3 - "$repo/tests/fixtures" "$bsd" "$patch" <<'PY'
import sys
sys.path.insert(0, sys.argv[1])
import build_content as bc
with open(sys.argv[2], "rb") as f:
    ctrl, diff, extra, new_size = bc.blocks_of_bsdiff40(f.read())
image = bc.image_from_blocks(ctrl, diff, extra, new_size)
with open(sys.argv[3] + ".tmp", "wb") as f:
    f.write(bc.container(image, level=6))
import os
os.replace(sys.argv[3] + ".tmp", sys.argv[3])
PY
fi
new_md5=$(md5sum "$new" | cut -d' ' -f1)
image_bytes=$(python3 -c 'import struct,sys; print(struct.unpack("<I", open(sys.argv[1],"rb").read(4))[0])' "$patch")

# ------------------------------------------------------------ runs
warm() { cat "$@" >/dev/null; }
field() { sed -n "s/.*$1=\([^ ]*\).*/\1/p" <<<"$2"; }

# Linux tools: wall seconds and maximum resident set from /usr/bin/time.
linux_run() { # out-var cmd...
  local tf=$work/time.out
  /usr/bin/time -f '%e %M' -o "$tf" "${@:2}" >/dev/null
  printf -v "$1" '%s' "$(cat "$tf")"
}

say "MD5 of $md5_mib MiB"
warm "$big"
linux_run md5sum_t md5sum "$big"
md5sum_hex=$(md5sum "$big" | cut -d' ' -f1)
ours_md5=$(wine "$bench_exe" md5 "$(winpath "$big")" 2>/dev/null | tr -d '\r')

say "applying the ~${version_mb} MB patch"
warm "$old" "$patch" "$bsd"
rm -f "$work/out_bspatch.bin"
linux_run bspatch_t bspatch "$old" "$work/out_bspatch.bin" "$bsd"
bspatch_md5=$(md5sum "$work/out_bspatch.bin" | cut -d' ' -f1)
rm -f "$work/out_bspatch.bin"
streamed=$(wine "$bench_exe" streamed "$(winpath "$old")" "$(winpath "$work/out_streamed.bin")" \
  "$(winpath "$patch")" 2>/dev/null | tr -d '\r')
rm -f "$work/out_streamed.bin"
memory=$(wine "$bench_exe" memory "$(winpath "$old")" "$(winpath "$work/out_memory.bin")" \
  "$(winpath "$patch")" 2>/dev/null | tr -d '\r')
rm -f "$work/out_memory.bin"

# ------------------------------------------------------------ report
python3 - "$md5_mib" "$md5sum_t" "$md5sum_hex" "$ours_md5" "$bspatch_t" "$bspatch_md5" \
  "$streamed" "$memory" "$new_md5" "$image_bytes" "$(stat -c %s "$old")" "$(stat -c %s "$new")" \
  "$(stat -c %s "$patch")" "$(stat -c %s "$bsd")" <<'PY'
import sys
(mib, md5sum_t, md5sum_hex, ours, bspatch_t, bspatch_md5, streamed, memory, new_md5,
 image, old_size, new_size, patch_size, bsd_size) = sys.argv[1:]
def kv(line):
    return dict(p.split("=", 1) for p in line.split() if "=" in p)
o, s, m = kv(ours), kv(streamed), kv(memory)
ms, mrss = md5sum_t.split()
bs, brss = bspatch_t.split()
mib = int(mib)
MB = 1 << 20
print()
print(f"MD5 of {mib} MiB")
print(f"  {'':28}{'seconds':>9}{'MiB/s':>9}{'peak MiB':>10}  digest")
print(f"  {'ours (update_bench, Wine)':28}{float(o['seconds']):9.2f}{mib/float(o['seconds']):9.0f}"
      f"{float(o['peak_ws_mib']):10.1f}  {o.get('md5')}")
print(f"  {'md5sum':28}{float(ms):9.2f}{mib/float(ms):9.0f}{int(mrss)/1024:10.1f}  {md5sum_hex}")
print(f"  rate ours / md5sum: {float(ms)/float(o['seconds']):.2f}x"
      f"   digests {'agree' if o.get('md5') == md5sum_hex else 'DIFFER'}")
print()
print(f"Patch apply: old {int(old_size)/MB:.0f} MiB -> new {int(new_size)/MB:.0f} MiB; "
      f"container {int(patch_size)/MB:.1f} MiB (image {int(image)/MB:.1f} MiB), "
      f"BSDIFF40 {int(bsd_size)/MB:.1f} MiB")
print(f"  {'':28}{'seconds':>9}{'peak MiB':>10}  result")
def row(name, secs, peak, ok):
    print(f"  {name:28}{secs:9.2f}{peak:10.1f}  {ok}")
row("streamed (Wine)", float(s["seconds"]), float(s["peak_ws_mib"]),
    "ok" if s.get("result") == "0" and s.get("md5") == new_md5 else f"FAILED {streamed}")
row("in-memory (Wine)", float(m["seconds"]), float(m["peak_ws_mib"]),
    "ok" if m.get("result") == "0" and m.get("md5") == new_md5 else f"FAILED {memory}")
row("bspatch", float(bs), int(brss) / 1024, "ok" if bspatch_md5 == new_md5 else "FAILED")
print(f"  bspatch / streamed: {float(bs)/float(s['seconds']):.2f}x,"
      f" bspatch / in-memory: {float(bs)/float(m['seconds']):.2f}x")
limit = int(image) / MB + 100
print(f"  streamed peak {float(s['peak_ws_mib']):.0f} MiB vs image + 100 MiB = {limit:.0f} MiB")
PY
