#!/usr/bin/env bash
# Watch an update happen: installs what is needed and builds (scripts/setup.sh), makes a
# throw-away Ed25519 publisher key, publishes versions 1 and 2 of a small sample client signed
# with it into a mirror served by nginx on 127.0.0.1, answers the version query from a local
# UDP responder, makes a sample installation of version 1 under .demo/install that trusts the
# key (update.pub) and starts the updater there: its window when a display and a terminal are
# present, otherwise unattended (--nouser; offscreen without a display) with its log on
# standard error. Everything it starts is stopped when it ends.
#
# Usage: scripts/demo.sh [--no-setup]
#   --no-setup   use the existing build in $BUILD_DIR (default: build) without set-up
# Environment: BUILD_DIR, DEMO_DIR (default: .demo), DEMO_TIMEOUT (seconds an unattended
# run may take, default 300), DEMO_UNATTENDED=1 (run --nouser even with a display),
# DEMO_RATE (nginx's limit_rate per connection, e.g. 100k, to watch the update; default none).
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$(pwd)

run_setup=1
for arg in "$@"; do
    case "$arg" in
    --no-setup) run_setup=0 ;;
    -h | --help)
        sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *)
        echo "demo: unknown argument $arg (see --help)" >&2
        exit 1
        ;;
    esac
done

BUILD_DIR=${BUILD_DIR:-build}
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR=$REPO/$BUILD_DIR ;; esac
DEMO_DIR=${DEMO_DIR:-$REPO/.demo}
case "$DEMO_DIR" in /*) ;; *) DEMO_DIR=$REPO/$DEMO_DIR ;; esac
DEMO_TIMEOUT=${DEMO_TIMEOUT:-300}
PY=/usr/bin/python3
CLIENT_TYPE=client_linux_x86

step() { printf '\n== %s\n' "$*"; }

if [ "$run_setup" -eq 1 ]; then
    step "Installing packages and building (scripts/setup.sh)"
    BUILD_DIR=$BUILD_DIR bash scripts/setup.sh
fi
UPDATE_BIN=$BUILD_DIR/src/startup/update
PUBLISH_BIN=$BUILD_DIR/src/publish/update-publish
for bin in "$UPDATE_BIN" "$PUBLISH_BIN"; do
    if [ ! -x "$bin" ]; then
        echo "demo: $bin is missing; run without --no-setup" >&2
        exit 1
    fi
done

# Every process started here is stopped by its PID when the script ends, however it ends.
pids=()
# shellcheck disable=SC2317  # called from the EXIT trap
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

free_port() {
    "$PY" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The demo directory is ours alone; start from nothing so a run never sees an older one.
rm -rf "$DEMO_DIR"
mkdir -p "$DEMO_DIR"/{nginx/tmp,tmp,install,keys}
SOURCE=$DEMO_DIR/source
KEYS=$DEMO_DIR/keys
MIRROR=$DEMO_DIR/mirror
INSTALL=$DEMO_DIR/install

step "Making a throw-away publisher key in $KEYS"
# Made for this run only and removed with the demo directory; never commit a private key.
(umask 077 && openssl genpkey -algorithm ed25519 -out "$KEYS/publisher.pem")
openssl pkey -in "$KEYS/publisher.pem" -pubout -out "$KEYS/update.pub"
cat "$KEYS/update.pub"

step "Publishing versions 1 and 2 of the sample client, signed, into $MIRROR"
"$PY" scripts/demo/make_sample.py "$SOURCE"
"$PUBLISH_BIN" --pack '*.pak' --sign-key "$KEYS/publisher.pem" "$SOURCE/1" "$MIRROR" 1 "$CLIENT_TYPE"
"$PUBLISH_BIN" --pack '*.pak' --sign-key "$KEYS/publisher.pem" --delta-from 1 \
    --previous "$MIRROR/1/$CLIENT_TYPE.ini" "$SOURCE/2" "$MIRROR" 2 "$CLIENT_TYPE"
# Anyone can check a signature with openssl alone.
# The signed message binds the SHA-256 of the index and of its manifest to the type and version.
v2=$MIRROR/2/$CLIENT_TYPE
printf 'voxmere-release-v2\n%s\n2\n%s\n%s\n' "$CLIENT_TYPE" "$(sha256sum <"$v2.ini" | cut -c1-64)" \
    "$(sha256sum <"$v2.manifest.ini" | cut -c1-64)" >"$KEYS/message"
openssl pkeyutl -verify -pubin -inkey "$KEYS/update.pub" -rawin -in "$KEYS/message" \
    -sigfile "$MIRROR/2/$CLIENT_TYPE.ini.sig"

step "Serving the mirror with nginx on 127.0.0.1"
HTTP_PORT=
for _ in 1 2 3; do
    port=$(free_port)
    sed -e "s|@DIR@|$DEMO_DIR/nginx|g" -e "s|@ROOT@|$MIRROR|g" -e "s|@PORT@|$port|g" \
        -e "s|@USER@|$(id -un)|g" -e "s|@GROUP@|$(id -gn)|g" -e "s|@RATE@|${DEMO_RATE:-0}|g" \
        scripts/demo/nginx.conf.in >"$DEMO_DIR/nginx/nginx.conf"
    /usr/sbin/nginx -p "$DEMO_DIR/nginx" -e "$DEMO_DIR/nginx/error.log" \
        -c "$DEMO_DIR/nginx/nginx.conf" &
    nginx_pid=$!
    pids+=("$nginx_pid")
    # The index must come back byte for byte: that proves the port and the served tree.
    if "$PY" - "http://127.0.0.1:$port/2/$CLIENT_TYPE.ini" "$MIRROR/2/$CLIENT_TYPE.ini" <<'EOF'; then
import sys, time, urllib.request
opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
expected = open(sys.argv[2], "rb").read()
for _ in range(50):
    try:
        if opener.open(sys.argv[1], timeout=2).read() == expected:
            sys.exit(0)
    except OSError:
        pass
    time.sleep(0.1)
sys.exit(1)
EOF
        HTTP_PORT=$port
        break
    fi
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
done
if [ -z "$HTTP_PORT" ]; then
    echo "demo: nginx did not serve the mirror; see $DEMO_DIR/nginx/error.log" >&2
    exit 1
fi
echo "Mirror: http://127.0.0.1:$HTTP_PORT/ (index of version 2 served correctly)"

step "Answering the version query on 127.0.0.1"
"$PY" scripts/demo/version_responder.py --reply "2,1,1" --port-file "$DEMO_DIR/udp.port" \
    2>"$DEMO_DIR/responder.log" &
pids+=("$!")
UDP_PORT=$("$PY" - "$DEMO_DIR/udp.port" <<'EOF'
import socket, sys, time
for _ in range(50):
    try:
        port = int(open(sys.argv[1]).read())
        break
    except (OSError, ValueError):
        time.sleep(0.1)
else:
    sys.exit("no port")
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(2)
s.sendto(b"2\x00", ("127.0.0.1", port))
if s.recv(64).split(b",")[0] != b"2":
    sys.exit("wrong answer")
print(port)
EOF
)
echo "Version responder: 127.0.0.1:$UDP_PORT answers that version 2 is the latest"

step "Sample installation of version 1 in $INSTALL"
cp -a "$SOURCE/1/." "$INSTALL/"
cp "$UPDATE_BIN" "$INSTALL/update"
cp "$KEYS/update.pub" "$INSTALL/update.pub"
cat >"$INSTALL/mirrors.ini" <<EOF
[mirrors]
1\\mirror=demo
size=1

[demo]
url=http://127.0.0.1:$HTTP_PORT/
retries=3
timeout=5
EOF
cat >"$INSTALL/update.ini" <<EOF
[update]
server=127.0.0.1:$UDP_PORT
streams=2
EOF
(cd "$INSTALL" && find . -type f | sort)

# The download directory goes below the demo directory, not the system's /tmp.
export TMPDIR=$DEMO_DIR/tmp
# Qt wants a private runtime directory and complains on every start without one.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    export XDG_RUNTIME_DIR=$DEMO_DIR/runtime
    mkdir -m 0700 "$XDG_RUNTIME_DIR"
fi
# Only what the updater fetches counts below.
: >"$DEMO_DIR/nginx/access.log"
set +e
if [ -n "${DISPLAY:-}" ] && [ -t 0 ] && [ "${DEMO_UNATTENDED:-0}" != 1 ]; then
    step "Starting the updater window: press \"Start Update\", then close the window"
    (cd "$INSTALL" && exec ./update) &
    pids+=("$!")
    wait "$!"
    rc=$?
elif [ -n "${DISPLAY:-}" ]; then
    # Nobody to press the button (no terminal, e.g. under xvfb-run): the window still shows
    # the update on the display while it runs by itself.
    step "Display without a user: starting the updater window unattended (--nouser)"
    (cd "$INSTALL" && exec timeout "$DEMO_TIMEOUT" ./update --nouser) &
    pids+=("$!")
    wait "$!"
    rc=$?
else
    step "No display: starting the updater unattended (--nouser, offscreen)"
    (cd "$INSTALL" && QT_QPA_PLATFORM=offscreen exec timeout "$DEMO_TIMEOUT" ./update --nouser) &
    pids+=("$!")
    wait "$!"
    rc=$?
fi
set -e

step "Result"
echo "Updater exit code: $rc$([ "$rc" -eq 124 ] && echo " (stopped after $DEMO_TIMEOUT s)")"
echo "Installed files:"
(cd "$INSTALL" && find . -type f -printf '%P\t%s bytes\n' | sort)
ok=1
while IFS= read -r -d '' f; do
    rel=${f#"$SOURCE/2/"}
    if ! cmp -s "$f" "$INSTALL/$rel"; then
        echo "  not updated: $rel"
        ok=0
    fi
done < <(find "$SOURCE/2" -type f -print0)
if [ -e "$INSTALL/old_notes.txt" ]; then
    echo "  not deleted: old_notes.txt"
    ok=0
fi
# What the update fetched, against what fetching every changed file whole would have cost.
fetched=$(awk '$7 ~ "^/2/" { s += $10 } END { print s + 0 }' "$DEMO_DIR/nginx/access.log")
whole=$(cd "$MIRROR/2" && du -cb --apparent-size "$CLIENT_TYPE".* files/readme.txt \
    files/vm3client_linux_x86 files/data/levels.pak.gz files/data/maps/town.map | tail -1 | cut -f1)
echo "Fetched $fetched bytes for version 2 with patches; whole files would have been $whole bytes."
if [ "$ok" -eq 1 ] && [ "$rc" -eq 0 ]; then
    echo "The installation now holds version 2 exactly, checked by SHA-256 from a manifest signed by the demo key."
    exit 0
fi
echo "The installation does not hold version 2 (logs: $DEMO_DIR)." >&2
exit 1
