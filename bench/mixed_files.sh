# shellcheck shell=bash
# Inputs the disk benchmarks share, the same on every run. Sourced.

# bench_text FILE BYTES: the licence texts and C headers of a Debian machine, in name order,
# repeated up to BYTES.
bench_text() {
    local seed=$1.seed
    {
        find /usr/share/common-licenses -type f
        find /usr/include -type f -name '*.h'
    } 2>/dev/null | sort | xargs -d '\n' cat 2>/dev/null | head -c $((16 << 20)) >"$seed" || true
    [[ -s $seed ]] || { echo "bench: found no text" >&2; return 1; }
    : >"$1"
    while (($(stat -c %s "$1") < $2)); do cat "$seed" >>"$1"; done
    rm "$seed"
}

# mixed_files DIR COUNT TOTAL TEXT: COUNT files of TOTAL bytes together in DIR (sizes from 0.2 to
# 1.8 times the mean), alternately cut from TEXT (F000.TXT) and incompressible (F001.BIN).
mixed_files() {
    python3 - "$1" "$2" "$3" "$4" <<'PY'
import os, random, sys
folder, count, total, text_path = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
rng = random.Random(20261207)
weights = [0.2 + 1.6 * rng.random() for _ in range(count)]
scale = total / sum(weights)
text = open(text_path, "rb").read()
os.makedirs(folder, exist_ok=True)
for i, w in enumerate(weights):
    size = max(1, int(w * scale))
    if i % 2 == 0:
        start = rng.randrange(len(text) - size)
        data, name = text[start:start + size], "F%03d.TXT" % i
    else:
        data, name = rng.randbytes(size), "F%03d.BIN" % i
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)
PY
}
