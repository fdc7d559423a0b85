#!/bin/bash
# The main job. Installs what is needed and builds velkoran, then
#  - with DISPLAY set: runs velkoran in the foreground in front of that display; the arguments
#    are passed on to velkoran, and "-allow localhost" is added when they allow no host;
#  - without DISPLAY: shows it working on a private X server: a real client through the relay,
#    the dialog answered, two screenshots saved as PNG and their paths printed.
# VELKORAN_BUILD names another build directory than build/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/${VELKORAN_BUILD:-build}"

bash scripts/deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target velkoran
bin="$build/velkoran"

tmp=$(mktemp -d /tmp/velkoran-run.XXXXXX)
pids=()
cleanup() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf "$tmp"
}
trap cleanup EXIT

# True when something listens on TCP port $1 of this host (IPv4 or IPv6).
listening() {
    local hex
    hex=$(printf ':%04X' "$1")
    awk -v h="$hex" '$4 == "0A" && substr($2, length($2) - 4) == h { f = 1 } END { exit !f }' \
        /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

# True when process $1 holds the listening IPv4 socket of TCP port $2.
holdsport() {
    local hex inode
    hex=$(printf ':%04X' "$2")
    for inode in $(awk -v h="$hex" '$4 == "0A" && substr($2, length($2) - 4) == h { print $10 }' \
        /proc/net/tcp); do
        if ls -l "/proc/$1/fd" 2>/dev/null | grep -q "socket:\[$inode\]"; then
            return 0
        fi
    done
    return 1
}

if [ -n "${DISPLAY:-}" ]; then
    args=("$@")
    allow=0
    owndisplay=0
    for a in "$@"; do
        [ "$a" = -allow ] && allow=1
        [ "$a" = -display ] && owndisplay=1
    done
    [ "$allow" -eq 1 ] || args+=(-allow localhost)

    # Run as the user who asked for it, not as root, with that user's X authority.
    runas=()
    authority=${XAUTHORITY:-}
    if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
        runas=(runuser -u "$SUDO_USER" --)
        home=$(getent passwd "$SUDO_USER" | cut -d: -f6)
        [ -n "$authority" ] || authority="$home/.Xauthority"
        chown "$SUDO_USER" "$tmp"
    fi
    [ -n "$authority" ] || authority="$HOME/.Xauthority"
    # From a clone that only root can read, the user cannot run the binary where it was built:
    # the user runs a copy of it instead.
    if [ ${#runas[@]} -gt 0 ] && ! "${runas[@]}" test -x "$bin"; then
        install -m 0755 -o "$SUDO_USER" "$bin" "$tmp/velkoran"
        echo "$SUDO_USER cannot run $bin (the clone is not readable for that user):" \
            "running a copy, $tmp/velkoran"
        bin="$tmp/velkoran"
    fi

    dest=$DISPLAY
    if [ "$owndisplay" -eq 0 ]; then
        case $dest in
        :* | unix:* | */unix:*)
            # A local display on its Unix socket: velkoran needs it on TCP. A loopback bridge
            # serves whether or not the server listens on TCP itself.
            num=${dest##*:}
            num=${num%%.*}
            k=99
            while [ "$k" -ge 1 ] && listening $((6000 + k)); do
                k=$((k - 1))
            done
            [ "$k" -ge 1 ] || { echo "no free display number for the bridge" >&2; exit 1; }
            # nodelay: without it every reply longer than one segment waits for a delayed
            # acknowledgement (socat takes it on the TCP address only).
            "${runas[@]}" socat "TCP-LISTEN:$((6000 + k)),bind=127.0.0.1,reuseaddr,fork,nodelay" \
                "UNIX-CONNECT:/tmp/.X11-unix/X$num" &
            pids+=($!)
            for _ in $(seq 50); do
                listening $((6000 + k)) && break
                sleep 0.1
            done
            listening $((6000 + k)) || { echo "the socat bridge did not start" >&2; exit 1; }
            echo "bridge: localhost:$k (TCP, loopback only) -> $DISPLAY (Unix socket)"
            dest="localhost:$k"
            # The bridged name needs the display's cookie too, in a private copy.
            cookie=$(xauth -f "$authority" list ":$num" 2>/dev/null | awk '{ print $3; exit }')
            if [ -n "$cookie" ]; then
                cp "$authority" "$tmp/authority"
                xauth -q -f "$tmp/authority" add "$dest" MIT-MAGIC-COOKIE-1 "$cookie"
                [ ${#runas[@]} -eq 0 ] || chown "$SUDO_USER" "$tmp/authority"
                authority="$tmp/authority"
            fi
            ;;
        esac
    fi
    echo "velkoran in front of $dest; point X clients at the display it announces. Ctrl-C ends it."
    "${runas[@]}" env XAUTHORITY="$authority" "$bin" -display "$dest" "${args[@]}" \
        >"$tmp/announce" &
    pids+=($!)
    # The announcement, passed on; with a cookie, the command that gives it to clients under
    # the announced name.
    for _ in $(seq 100); do
        [ -s "$tmp/announce" ] || ! kill -0 "${pids[-1]}" 2>/dev/null && break
        sleep 0.1
    done
    announced=$(head -n 1 "$tmp/announce")
    if [ -n "$announced" ]; then
        echo "$announced"
        if [ -n "${cookie:-}" ]; then
            name=${announced#display is }
            echo "clients need the display's cookie under the announced name $name:"
            echo "  xauth add $name MIT-MAGIC-COOKIE-1 \$(xauth list :$num | awk '{print \$3; exit}')"
        fi
    fi
    # Ctrl-C or a kill of this script ends velkoran and the bridge with it.
    trap 'exit 130' INT TERM
    status=0
    wait "${pids[-1]}" || status=$?
    exit "$status"
fi

# No display: a private X server stands in for the user's. Xvfb picks a display number by its
# lock files only; another program may already hold that number's IPv4 port, so check, and try
# again with the next number.
out="$build/demo"
mkdir -p "$out"
dest=""
for _ in 1 2 3 4 5; do
    rm -f "$tmp/displayfd"
    Xvfb -displayfd 3 -listen tcp -screen 0 800x600x24 3>"$tmp/displayfd" >"$tmp/xvfb.log" 2>&1 &
    xvfb=$!
    pids+=("$xvfb")
    for _ in $(seq 100); do
        grep -q '^[0-9][0-9]*$' "$tmp/displayfd" 2>/dev/null && break
        sleep 0.1
    done
    m=$(head -n 1 "$tmp/displayfd" 2>/dev/null || true)
    if [ -n "$m" ] && holdsport "$xvfb" $((6000 + m)); then
        dest="localhost:$m"
        break
    fi
    # Kept running until the end, so that the next one takes another number.
done
[ -n "$dest" ] || { echo "could not start a private X server" >&2; cat "$tmp/xvfb.log" >&2; exit 1; }
echo "private X server (the destination display): $dest"

"$bin" -display "$dest" -allow localhost >"$tmp/announce" 2>"$tmp/velkoran.err" &
pids+=($!)
for _ in $(seq 100); do
    grep -q '^display is ' "$tmp/announce" 2>/dev/null && break
    sleep 0.1
done
announced=$(sed -n 's/^display is //p' "$tmp/announce")
[ -n "$announced" ] || { echo "velkoran did not start" >&2; cat "$tmp/velkoran.err" >&2; exit 1; }
n=${announced##*:}
echo "velkoran: display is $announced"

# A real X client, pointed at velkoran instead of the X server.
DISPLAY="localhost:$n" xclock -geometry 200x200 -update 1 >"$tmp/client.log" 2>&1 &
pids+=($!)
echo "xclock started on localhost:$n; velkoran asks on $dest"

visible() {
    { DISPLAY="$dest" xdotool search --onlyvisible --name "$1" 2>/dev/null || true; } | tail -n 1
}
dialog=""
for _ in $(seq 150); do
    dialog=$(visible alert_popup)
    [ -n "$dialog" ] && break
    sleep 0.1
done
[ -n "$dialog" ] || { echo "no dialog appeared" >&2; cat "$tmp/velkoran.err" >&2; exit 1; }
sleep 0.5 # let it draw
import -display "$dest" -window "$dialog" "$out/dialog.png"

# Yes is the left-hand button, in the buttons' row at the bottom. A dialog takes no answer in
# its first moments: click again while it is still there.
height=$(DISPLAY="$dest" xdotool getwindowgeometry --shell "$dialog" | sed -n 's/^HEIGHT=//p')
for _ in $(seq 20); do
    DISPLAY="$dest" xdotool mousemove --sync --window "$dialog" 30 $((height - 30)) click 1 \
        2>/dev/null || true
    sleep 0.3
    [ -n "$(visible alert_popup)" ] || break
done

# The verdict is collected within one 3-second cycle; then the client's window appears.
client=""
for _ in $(seq 150); do
    client=$(visible xclock)
    [ -n "$client" ] && break
    sleep 0.1
done
[ -n "$client" ] || { echo "the client did not come through" >&2; cat "$tmp/velkoran.err" "$tmp/client.log" >&2; exit 1; }
sleep 1.5 # let it draw
import -display "$dest" -window "$client" "$out/client.png"

if [ -s "$tmp/velkoran.err" ]; then
    echo "velkoran wrote:" >&2
    cat "$tmp/velkoran.err" >&2
fi
echo "dialog screenshot: $out/dialog.png"
echo "client screenshot: $out/client.png"
