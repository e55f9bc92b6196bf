# Sourced by the benchmark scripts. start_nginx ROOT serves ROOT with nginx on a free port of
# 127.0.0.1, its files under $WORK/nginx, and sets PORT, BASE and NGINX_PID (the caller stops
# it by that PID). NGINX_HTTP, if set, holds more directives for the http block (a log, a rate);
# without it nothing is logged.
start_nginx() {
    local root=$1
    PORT=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    mkdir -p "$WORK/nginx/tmp"
    cat > "$WORK/nginx/nginx.conf" <<CONF
daemon off; worker_processes 2; user root root;
pid $WORK/nginx/nginx.pid; error_log $WORK/nginx/error.log;
events { worker_connections 1024; }
http {
  ${NGINX_HTTP:-access_log off;} sendfile on; keepalive_requests 100000; default_type application/octet-stream;
  client_body_temp_path $WORK/nginx/tmp/b; proxy_temp_path $WORK/nginx/tmp/p;
  fastcgi_temp_path $WORK/nginx/tmp/f; uwsgi_temp_path $WORK/nginx/tmp/u; scgi_temp_path $WORK/nginx/tmp/s;
  server { listen 127.0.0.1:$PORT; root $root; }
}
CONF
    nginx -p "$WORK/nginx" -e "$WORK/nginx/error.log" -c "$WORK/nginx/nginx.conf" &
    NGINX_PID=$!
    for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/$PORT) 2>/dev/null && break; sleep 0.05; done
    BASE="http://127.0.0.1:$PORT"
}

# make_workdir NAME: $WORK, a fresh directory in the temporary directory (TMPDIR, else /tmp),
# removed at exit together with the nginx that start_nginx started.
make_workdir() {
    WORK=$(mktemp -d -t "$1.XXXXXX")
    chmod 755 "$WORK"
    NGINX_PID=
    trap stop_workdir EXIT
}
stop_workdir() {
    if [ -n "$NGINX_PID" ]; then
        kill "$NGINX_PID" 2>/dev/null || true
        wait "$NGINX_PID" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
