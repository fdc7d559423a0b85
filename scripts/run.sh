#!/bin/bash
# The main job. Installs what is needed and builds velkoran, then
#  - with DISPLAY set: guards that display with scripts/velkoran-desktop, in the foreground;
#    the arguments are passed on to it;
#  - without DISPLAY: shows it working on a private X server: a real client through the relay,
#    the dialog answered, two screenshots saved as PNG and their paths printed.
# Run it as root or as a user with sudo: root is needed only to install packages, and deps.sh
# asks sudo for that. VELKORAN_BUILD names another build directory than build/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/${VELKORAN_BUILD:-build}"

bash scripts/deps.sh
# Under sudo, in a clone of the user who called it, the rest runs as that user: a build owned
# by root would lock the user out of their own build directory, and the display is theirs.
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ] &&
    [ "$(stat -c %U "$root")" = "$SUDO_USER" ]; then
    # A build directory left to root by an earlier run goes back to the clone's owner.
    [ ! -e "$build" ] || chown -R --reference="$root" "$build"
    home=$(getent passwd "$SUDO_USER" | cut -d: -f6)
    exec runuser -u "$SUDO_USER" -- env HOME="$home" \
        XAUTHORITY="${XAUTHORITY:-$home/.Xauthority}" bash "$root/scripts/run.sh" "$@"
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target velkoran
bin="$build/velkoran"

if [ -n "${DISPLAY:-}" ]; then
    if [ "$(id -u)" -ne 0 ] || [ -z "${SUDO_USER:-}" ] || [ "$SUDO_USER" = root ]; then
        VELKORAN="$bin" exec bash scripts/velkoran-desktop "$@"
    fi
    # Under sudo in a clone of root's: the display's user runs copies of the two programs,
    # with that user's X authority.
    copies=$(mktemp -d /tmp/velkoran-run.XXXXXX)
    trap 'rm -rf "$copies"' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
    install -m 0755 "$bin" scripts/velkoran-desktop "$copies/"
    chmod 0755 "$copies"
    echo "$SUDO_USER cannot build in this clone: running copies in $copies"
    home=$(getent passwd "$SUDO_USER" | cut -d: -f6)
    status=0
    runuser -u "$SUDO_USER" -- env HOME="$home" XAUTHORITY="${XAUTHORITY:-$home/.Xauthority}" \
        "$copies/velkoran-desktop" "$@" || status=$?
    exit "$status"
fi

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

# True when process $1 holds the listening IPv4 socket of TCP port $2.
holdsport() {
    local hex inode
    hex=$(printf ':%04X' "$2")
    for inode in $(awk -v h="$hex" '$4 == "0A" && substr($2, length($2) - 4) == h { print $10 }' \
        /proc/net/tcp); do
        [ -z "$(find "/proc/$1/fd" -lname "socket:\[$inode\]" 2>/dev/null)" ] || return 0
    done
    return 1
}

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
# Its buttons are greyed out for the first second it is on screen, when it takes no answer: the
# screenshot shows it after that second, as a user answers it, once its drawing has settled.
shown=$(date +%s%N)
for _ in $(seq 50); do
    sleep 0.1
    xwd -silent -display "$dest" -id "$dialog" >"$tmp/now.xwd" 2>/dev/null || break
    if [ $(($(date +%s%N) - shown)) -ge 1100000000 ] && cmp -s "$tmp/now.xwd" "$tmp/last.xwd"; then
        break
    fi
    mv "$tmp/now.xwd" "$tmp/last.xwd"
done
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

# velkoran acts on the answer at once; the client's window appears when it has drawn.
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
