# Shared helpers of the benchmark scripts (sourced, not run).

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a < b) ? a : b }'; }

# The machine is shared: before a timed pass, wait (at most 3 minutes) until other
# processes leave both cores alone, i.e. less than 10 % of the CPU time was busy over one
# second. Says so on standard error when it gives up waiting.
cpu_busy_percent() {
    local a b
    a=($(head -1 /proc/stat)); sleep 1; b=($(head -1 /proc/stat))
    local idle=$(( (b[4] + b[5]) - (a[4] + a[5]) )) total=0 i
    for i in 1 2 3 4 5 6 7 8; do total=$(( total + b[i] - a[i] )); done
    [ "$total" -gt 0 ] || { echo 0; return; }
    echo $(( 100 * (total - idle) / total ))
}
wait_quiet() { # at most QUIET_WAIT_MAX seconds (180)
    local waited=0 busy
    while busy=$(cpu_busy_percent); [ "$busy" -ge 10 ]; do
        waited=$((waited + 1))
        if [ "$waited" -ge "${QUIET_WAIT_MAX:-180}" ]; then
            echo "(the machine stayed busy, ${busy} % of the CPU, the next figure is disturbed)" >&2
            return 0
        fi
    done
}

# start_nginx ROOT DIR: serves ROOT on a free port of 127.0.0.1, configuration, logs and
# pid file in DIR; nginx runs in the foreground as a child of this shell. Sets
# NGINX_PID and NGINX_PORT; stop it with stop_nginx. With NGINX_ACCESS_LOG set, each
# request goes there as one line "URI STATUS BODY_BYTES".
start_nginx() {
    local root=$1 dir=$2 nginx access_log="access_log off;"
    if [ -n "${NGINX_ACCESS_LOG:-}" ]; then
        access_log="log_format counted '\$uri \$status \$body_bytes_sent'; access_log $NGINX_ACCESS_LOG counted;"
    fi
    nginx=$(command -v nginx || echo /usr/sbin/nginx)
    [ -x "$nginx" ] || { echo "nginx is missing (apt-get install nginx-light)" >&2; return 1; }
    NGINX_PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    mkdir -p "$dir"
    cat > "$dir/nginx.conf" <<EOF
daemon off;
master_process on;
worker_processes 1;
user root;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 256; }
http {
    $access_log
    sendfile on;
    tcp_nopush on;
    keepalive_requests 10000;
    default_type application/octet-stream;
    client_body_temp_path $dir/body;
    proxy_temp_path $dir/proxy;
    fastcgi_temp_path $dir/fastcgi;
    uwsgi_temp_path $dir/uwsgi;
    scgi_temp_path $dir/scgi;
    server {
        listen 127.0.0.1:$NGINX_PORT;
        root $root;
    }
}
EOF
    "$nginx" -c "$dir/nginx.conf" -p "$dir" &
    NGINX_PID=$!
    local _
    for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$NGINX_PORT/" && return 0; sleep 0.1; done
    echo "nginx did not come up:" >&2; cat "$dir/error.log" >&2
    return 1
}
stop_nginx() {
    if [ -n "${NGINX_PID:-}" ]; then
        kill "$NGINX_PID" 2>/dev/null || true
        wait "$NGINX_PID" 2>/dev/null || true
        NGINX_PID=
    fi
}

# lzma_inputs CHUNK_DIR OUT_DIR: the .lzma stream behind each LZMA container's 32-byte
# header, its size field (bytes 5..12) set to "unknown" as the container keeps the size
# itself; OUT_DIR/half0 and half1 list them in two halves of about equal size. Stored
# chunks (not LZMA) are left out and counted.
lzma_inputs() {
    mkdir -p "$2"
    python3 - "$1" "$2" <<'PY'
import os, sys
src, dst = sys.argv[1:3]
sizes, stored = [], 0
for name in sorted(os.listdir(src)):
    raw = open(os.path.join(src, name), 'rb').read()
    if raw[:32].lstrip(b'\0')[:2] != b'\x70\x05':
        stored += 1
        continue
    d = bytearray(raw[32:]); d[5:13] = b'\xff' * 8
    open(os.path.join(dst, name + '.lzma'), 'wb').write(d)
    sizes.append((len(d), os.path.join(dst, name + '.lzma')))
halves, totals = ([], []), [0, 0]
for size, path in sorted(sizes, reverse=True):
    i = 0 if totals[0] <= totals[1] else 1
    halves[i].append(path); totals[i] += size
for i in (0, 1):
    open(os.path.join(dst, 'half%d' % i), 'w').write('\n'.join(halves[i]) + '\n')
print("%d LZMA chunks, %d stored chunks" % (len(sizes), stored))
PY
}

# halves DIR OUT_PREFIX: the regular files below DIR in
# two lists of about equal size (largest first, each to the lighter list).
halves() {
    find "$1" -type f -printf '%s\t%p\n' | sort -rn | awk -F'\t' -v p="$2" '
        { if (a <= b) { print $2 > (p "0"); a += $1 } else { print $2 > (p "1"); b += $1 } }'
}

# two_processes HALF_PREFIX COMMAND...: runs COMMAND over each half's files (xargs), both
# at once; prints "WALL CPU" seconds.
two_processes() {
    local prefix=$1; shift
    local start p0 p1 t
    start=$(now)
    /usr/bin/time -f '%U %S' -o "$prefix.cpu0" xargs -d '\n' "$@" < "${prefix}0" > /dev/null & p0=$!
    /usr/bin/time -f '%U %S' -o "$prefix.cpu1" xargs -d '\n' "$@" < "${prefix}1" > /dev/null & p1=$!
    wait $p0 $p1
    t=$(elapsed "$start" "$(now)")
    echo "$t $(cat "$prefix.cpu0" "$prefix.cpu1" | awk '{ s += $1 + $2 } END { printf "%.2f", s }')"
}

# binaries_tree DIR MB LISTS_DIR: about MB megabytes of this machine's shared libraries
# (each distinct content once, in their own folder layout) copied into DIR/lib.
binaries_tree() {
    local dir=$1 want=$(( $2 * 1000 * 1000 )) lists=$3
    mkdir -p "$dir/lib" "$lists"
    find /usr/lib/x86_64-linux-gnu -type f -size +16k \( -name '*.so' -o -name '*.so.*' \) 2>/dev/null | sort > "$lists/so.list"
    unique_contents "$lists/so.list" > "$lists/so.unique"
    fill_list "$lists/so.unique" "$want" | while IFS= read -r f; do
        local rel=${f#/usr/lib/x86_64-linux-gnu/}
        mkdir -p "$dir/lib/$(dirname "$rel")"
        cp "$f" "$dir/lib/$rel"
    done
}

unique_contents() { # FILE-LIST: drops files whose content was seen before
    tr '\n' '\0' < "$1" | xargs -0 md5sum 2>/dev/null | sort -k1,1 -u | cut -c35- | sort; }

fill_list() { # LIST BYTES: prints paths from LIST until their sizes add up to BYTES
    local want=$2 have=0 f s
    while IFS= read -r f; do
        s=$(stat -c %s "$f" 2>/dev/null) || continue
        echo "$f"; have=$((have + s))
        [ "$have" -ge "$want" ] && break
    done < "$1"
    [ "$have" -ge "$want" ] || echo "only $have of $want bytes of input found" >&2
}

# mixed_tree DIR MB LISTS_DIR: a game tree of MB megabytes that mixes what real packages
# hold, without repeating any content: ~60 % archive files made of this machine's
# libraries and programs (at most 200 MB each), ~15 % many small text files, ~25 %
# incompressible data (as compressed textures and audio).
mixed_tree() {
    local tree=$1 target=$(( $2 * 1000 * 1000 )) lists=$3
    mkdir -p "$tree/paks" "$tree/text" "$tree/media" "$lists"
    find /usr/lib /usr/bin /usr/libexec -type f -size +16k \
        ! -name '*.gz' ! -name '*.xz' ! -name '*.zst' ! -name '*.bz2' ! -name '*.zip' ! -name '*.jar' \
        ! -name '*.png' ! -name '*.jpg' ! -name '*.lz' 2>/dev/null | sort > "$lists/binaries.list"
    find /usr/include /usr/share/doc -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.txt' -o -name 'copyright' -o -name '*.md' -o -name '*.html' \) \
        2>/dev/null | sort > "$lists/text.list"
    unique_contents "$lists/binaries.list" > "$lists/binaries.unique"
    unique_contents "$lists/text.list" > "$lists/text.unique"
    fill_list "$lists/binaries.unique" $((target * 60 / 100)) > "$lists/binaries.use"
    fill_list "$lists/text.unique" $((target * 15 / 100)) > "$lists/text.use"
    local pak=0 pak_size=0 f n=0 i
    while IFS= read -r f; do
        cat "$f" >> "$tree/paks/data$pak.pak"
        pak_size=$((pak_size + $(stat -c %s "$f")))
        if [ "$pak_size" -ge 200000000 ]; then pak=$((pak + 1)); pak_size=0; fi
    done < "$lists/binaries.use"
    while IFS= read -r f; do
        local d=$tree/text/$((n / 500)); mkdir -p "$d"; cp "$f" "$d/$n-$(basename "$f")"; n=$((n + 1))
    done < "$lists/text.use"
    local media=$((target * 25 / 100 / 8))
    for i in 0 1 2 3 4 5 6 7; do head -c "$media" /dev/urandom > "$tree/media/texture$i.dds"; done
}

# yardstick_inputs CHUNK_DIR OUT_DIR MODE: what the command-line tools need to do the
# launcher's decoding of the chunk files, split into two halves of about equal unpacked
# size: the .lzma stream behind each LZMA container (size field "unknown"), each DEFLATE
# payload wrapped as a gzip member, stored chunks as they are (`cat`). Writes OUT_DIR/run0
# and run1, shell scripts that decode their half into the file OUT_DIR/out0 or out1, as an
# installation writes what it decodes; and null0, null1, the same into /dev/null. With
# MODE "hash" the decoded bytes also go through `openssl dgst -sha256`, as the launcher
# checks every chunk's digest.
yardstick_inputs() {
    mkdir -p "$2"
    python3 - "$1" "$2" "$3" <<'PY'
import os, struct, sys, zlib
src, dst, mode = sys.argv[1:4]
def varint(data, pos):
    value, shift = 0, 0
    while True:
        byte = data[pos]; pos += 1
        value |= (byte & 0x7F) << shift; shift += 7
        if not byte & 0x80:
            return value, pos
entries = []
for name in sorted(os.listdir(src)):
    path = os.path.join(src, name)
    raw = open(path, 'rb').read()
    pos = 0
    while pos < len(raw) and raw[pos] == 0:
        pos += 1
    if raw[pos:pos + 1] != b'\x70':
        entries.append((len(raw), 'cat', path)); continue
    algorithm = raw[pos + 1]
    unpacked, pos = varint(raw, pos + 2)
    packed, pos = varint(raw, pos)
    payload = raw[pos:pos + packed]
    if algorithm in (5, 10):
        d = bytearray(payload); d[5:13] = b'\xff' * 8
        out = os.path.join(dst, name + '.lzma'); open(out, 'wb').write(d)
        entries.append((unpacked, 'xz', out))
    elif algorithm == 3:
        plain = zlib.decompressobj(-15).decompress(payload)
        out = os.path.join(dst, name + '.gz')
        with open(out, 'wb') as f:
            f.write(b'\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03' + payload)
            f.write(struct.pack('<II', zlib.crc32(plain) & 0xffffffff, len(plain) & 0xffffffff))
        entries.append((unpacked, 'gzip', out))
    elif algorithm == 0:
        out = os.path.join(dst, name + '.raw'); open(out, 'wb').write(payload)
        entries.append((unpacked, 'cat', out))
    else:
        sys.exit('chunk %s: algorithm %d has no yardstick tool' % (name, algorithm))
halves, totals = ([], []), [0, 0]
for size, tool, path in sorted(entries, reverse=True):
    i = 0 if totals[0] <= totals[1] else 1
    halves[i].append((tool, path)); totals[i] += size
commands = {'xz': 'xz --format=lzma -d -c', 'gzip': 'gzip -d -c', 'cat': 'cat'}
for i in (0, 1):
    lines = []
    for tool in ('xz', 'gzip', 'cat'):
        files = [p for t, p in halves[i] if t == tool]
        if files:
            listing = os.path.join(dst, 'half%d.%s' % (i, tool))
            open(listing, 'w').write('\n'.join(files) + '\n')
            lines.append("xargs -d '\\n' %s < '%s'" % (commands[tool], listing))
    body = '{ %s; }' % '; '.join(lines) if lines else 'true'
    out = os.path.join(dst, 'out%d' % i)
    for script, target in (('run', out), ('null', '/dev/null')):
        sink = (" | tee '%s' | openssl dgst -sha256 > /dev/null" % target) if mode == 'hash' else (" > '%s'" % target)
        open(os.path.join(dst, '%s%d' % (script, i)), 'w').write('set -e\n' + body + sink + '\n')
print('%d chunks: %s' % (len(entries), ', '.join('%s %d' % (t, sum(1 for e in entries if e[1] == t)) for t in ('xz', 'gzip', 'cat'))))
PY
}
