#!/usr/bin/env bash
# A copy that needs several times more connections than the client has local ports must still
# succeed, and leave no connection waiting in TIME_WAIT. Runs inside scripts/test-server, whose
# network namespace makes the port range and the TIME_WAIT reuse setting ours to change.
# Usage: port_exhaustion_test.sh [--wine] TAMBERLINE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
run=()
if [ "$1" = "--wine" ]; then run=("$here/../../scripts/wine-run"); shift; fi
tool=$1

sysctl -q -w net.ipv4.ip_local_port_range="50000 50499"
sysctl -q -w net.ipv4.tcp_tw_reuse=0

# 64 MiB is 2048 READs of 32 KiB: four times the 500 ports.
file="$TAMBER_EXPORT_DIR/big.bin"
head -c $((64 * 1024 * 1024)) /dev/urandom > "$file"
chmod 644 "$file"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
local_file="$out/big.bin"
[ ${#run[@]} -gt 0 ] && local_file="Z:${local_file//\//\\}"

passed=0 failed=0
check() {
  if [ "$2" = "$3" ]; then passed=$((passed + 1)); echo "ok   $1"
  else failed=$((failed + 1)); echo "FAIL $1: got '$2', want '$3'"; fi
}

status=0
result=$("${run[@]}" "$tool" get "$TAMBER_SERVER" "$TAMBER_EXPORT" /big.bin "$local_file" 2>&1 | tr -d '\r') || status=$?
check "get of 2048 READs through 500 local ports" "$status: $result" "0: wrote 67108864 bytes"
if cmp -s "$file" "$out/big.bin"; then same=yes; else same=no; fi
check "the copy is byte-identical" "$same" yes
# Only the client's ports: the server's own start-up checks use reserved ports of their own.
waiting=$(ss -Htan state time-wait '( sport >= :50000 and sport <= :50499 )' | wc -l)
check "no connection left in TIME_WAIT" "$waiting" 0

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
