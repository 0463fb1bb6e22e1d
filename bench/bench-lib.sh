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
wait_quiet() {
    local waited=0 busy
    while busy=$(cpu_busy_percent); [ "$busy" -ge 10 ]; do
        waited=$((waited + 1))
        if [ "$waited" -ge 180 ]; then
            echo "(the machine stayed busy, ${busy} % of the CPU, the next figure is disturbed)" >&2
            return 0
        fi
    done
}

# start_nginx ROOT DIR: serves ROOT on a free port of 127.0.0.1, configuration, logs and
# pid file in DIR; nginx runs in the foreground as a child of this shell. Sets
# NGINX_PID and NGINX_PORT; stop it with stop_nginx.
start_nginx() {
    local root=$1 dir=$2 nginx
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
    access_log off;
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
    for _ in $(seq 50); do curl -sf -o /dev/null "http://127.0.0.1:$NGINX_PORT/package.json" && return 0; sleep 0.1; done
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
