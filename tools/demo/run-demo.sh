#!/usr/bin/env bash
# A live demo of the bridge on loopback, from the shipped example files:
#
#   plcsim  plays the equipment's MELSEC PLC (MC protocol 3E): it answers
#           every host message it is handed with the defined reply and
#           raises an S6F11 event report and an S5F1 alarm on timers;
#   qzvq    the console bridge, as equipment, between the two;
#   xksq    plays the factory host: it connects, sends S1F1 and S10F3
#           terminal messages in turn and answers the bridge's S6F11 and
#           S5F1 reports; once in each round it sends a burst of five
#           S10F3 back to back, each without waiting for the reply to the
#           one before, which the bridge queues and hands to the PLC one
#           at a time.
#
# Each program's lines go to the screen behind its label and to
# <dir>/<program>.log; the bridge's trace tp0000t.trc and the library's
# traces go to <dir> too. It stops on Ctrl-C or after --seconds N.
#
# usage: run-demo.sh BUILD_DIR [--seconds N] [--plc-port P] [--secs-port P] [--dir DIR]
set -euo pipefail

src=$(cd "$(dirname "$0")/../.." && pwd)
usage() {
  echo "usage: $0 BUILD_DIR [--seconds N] [--plc-port P] [--secs-port P] [--dir DIR]" >&2
  exit 2
}
[ $# -ge 1 ] || usage
build=$(cd "$1" && pwd) || usage
shift
seconds=0 plc_port=15000 secs_port=15001 dir=""
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case $1 in
    --seconds) seconds=$2 ;;
    --plc-port) plc_port=$2 ;;
    --secs-port) secs_port=$2 ;;
    --dir) dir=$2 ;;
    *) usage ;;
  esac
  shift 2
done
qzvq=$build/bridge/qzvq plcsim=$build/tools/plcsim/plcsim xksq=$build/tools/xksq
for program in "$qzvq" "$plcsim" "$xksq"; do
  [ -x "$program" ] || { echo "not built: $program" >&2; exit 1; }
done
if [ -z "$dir" ]; then
  dir=$(mktemp -d /tmp/qzvq-demo.XXXXXX)
else
  mkdir -p "$dir"
fi

# The shipped files with loopback addresses, the demo's ports and its
# directory; the PLC polled every 50 ms.
cp "$src/examples/equipment.sml" "$dir/"
sed -E -e "s/^(PLCHOST *=).*/\1 127.0.0.1/" -e "s/^(PLCPORT *=).*/\1 $plc_port/" \
       -e "s/^(PORT *=) *[0-9]+/\1 $secs_port/" -e "s/^(PLCINTER *=).*/\1 1000,50/" \
       -e "s#^((TRC|QUE)DIR *=) */tmp#\1 $dir#" "$src/examples/qzvq.ini" > "$dir/qzvq.ini"
sed -E -e "s/^(PORT *=) *[0-9]+/\1 $secs_port/" -e "s#^((TRC|QUE)DIR *=) */tmp#\1 $dir#" \
       "$src/examples/xksq-host.ini" > "$dir/host.ini"

pids=() shows=()
# Run a program in the demo directory with its input from a file, its
# output in <name>.log, shown behind its label. The three programs flush
# every line they write.
start() {
  local name=$1 label=$2 input=$3
  shift 3
  (cd "$dir" && exec "$@") < "$input" > "$dir/$name.log" 2>&1 &
  pids+=($!)
  tail -n +1 -F --pid=$! "$dir/$name.log" 2>/dev/null | sed -u "s/^/$label /" &
  shows+=($!)
}

# The host's part: connect and select, then the primaries in turn, each
# waiting for its reply, and the burst: xksq sends each of its messages as
# soon as it has read it (a send waits for the message to be written, not
# for the reply), and waits for the five replies after the last one.
burst=5
host_script() {
  sleep 1
  echo connect
  sleep 0.5
  echo select
  echo "wait selected 10"
  while :; do
    printf 'S1F1 W\n.\nwait S1F2 10\n'
    sleep 2
    printf 'S10F3 W\n<L[2]\n<B[1] 0x01>\n<A "LOAD PORT 1 READY">\n>\n.\nwait S10F4 10\n'
    sleep 2
    for ((n = 1; n <= burst; n++)); do
      printf 'S10F3 W\n<L[2]\n<B[1] 0x03>\n<A "BURST %d OF %d">\n>\n.\n' $n $burst
    done
    for ((n = 1; n <= burst; n++)); do
      printf 'wait S10F4 10\n'
    done
    sleep 2
    printf 'S10F3 W\n<L[2]\n<B[1] 0x02>\n<A "LOT-42 STARTED">\n>\n.\nwait S10F4 10\n'
    sleep 2
  done
}

# The burst's messages: sent by the host (their text in its trace), handed
# to the PLC (the text the simulator reads from its memory), and answered
# (an S10F4 at the host with the system bytes of one of those the PLC
# got).
burst_summary() {
  local sent handed answered
  sent=$(grep -c '<A\[[0-9]*\]TEXT "BURST ' "$dir/xksq.log" || true)
  handed=$(grep -c '^[0-9:.]*   TEXT = "BURST ' "$dir/plcsim.log" || true)
  answered=$(awk '
    FILENAME == ARGV[1] && / RECEIVE S10F3 W / { xid = tolower($NF); sub(/^xid=/, "", xid); next }
    FILENAME == ARGV[1] && /^[0-9:.]* [A-Z]/ { xid = "" }
    FILENAME == ARGV[1] && /   TEXT = "BURST / && xid != "" { burst[xid] = 1 }
    FILENAME == ARGV[2] && / RECEIVE .* S10F4 / && match($0, /SBT:0x[0-9a-fA-F]+\.[0-9a-fA-F]+/) {
      sbt = tolower(substr($0, RSTART + 4, RLENGTH - 4)); sub(/\./, "", sbt)
      if (sbt in burst) { n++; delete burst[sbt] }
    }
    END { print n + 0 }' "$dir/plcsim.log" "$dir/xksq.log")
  echo "  burst: $sent S10F3 sent back to back, $handed handed to the PLC, $answered S10F4 replies at the host"
}

stopping=0
stop_all() {
  ((stopping)) && return
  stopping=1
  # The host first, then the bridge (it separates the link and closes the
  # PLC connection), then the PLC.
  [ -n "${script_pid:-}" ] && kill "$script_pid" 2>/dev/null || true
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  for pid in "${shows[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  rm -f "$dir/host.in"
  echo
  echo "demo stopped; logs and traces in $dir"
  echo "  host to PLC: $(grep -c ' RECEIVE S' "$dir/plcsim.log" || true) messages handed to the PLC"
  echo "  PLC to host: $(grep -cE ' RECEIVE .* W (S6F11|S5F1) ' "$dir/xksq.log" || true) reports received by the host"
  burst_summary
}
trap 'stop_all; exit 0' INT TERM

echo "demo in $dir: PLC 127.0.0.1:$plc_port (MELSEC 3E), host link 127.0.0.1:$secs_port (HSMS)"
start plcsim "[plc]   " /dev/null "$plcsim" -a +i qzvq.ini -t "5 send S6F11 DATAID=1 CEID=1001" \
  -t "9 send S5F1 ALCD=0x84 ALID=2001 ALTX=\"DOOR OPEN\""
start qzvq "[bridge]" /dev/null "$qzvq" -d +i qzvq.ini
mkfifo "$dir/host.in"
host_script > "$dir/host.in" &
script_pid=$!
start xksq "[host]  " "$dir/host.in" "$xksq" -a +i host.ini

if [ "$seconds" -gt 0 ]; then
  sleep "$seconds" &
  wait $! || true
else
  while kill -0 "${pids[1]}" 2>/dev/null; do
    sleep 1 &
    wait $! || true
  done
fi
stop_all
