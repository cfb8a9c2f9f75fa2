#!/usr/bin/env bash
# End-to-end test of the Windows programs under Wine: the manager installed as
# a service, started through Wine's service control manager, asked for its
# parameters and a server's status, one component killed and restarted at the
# next check, then stopped and removed. Everything lives in a temporary folder
# (a Wine prefix of its own included) that is removed at the end; the Wine
# server of that prefix is ended, so nothing outlives the test.
#   scripts/wine-e2e.sh BUILD_DIR        (a build made with cmake/mingw-w64-x86_64.cmake)
set -euo pipefail

build=$(cd "${1:?usage: wine-e2e.sh BUILD_DIR}" && pwd)
wine=${WINE64:-/usr/lib/wine/wine64}
wineserver=${WINESERVER:-/usr/lib/wine/wineserver}
manager="$build/src/telmo_manager.exe"
telmoctl="$build/tools/telmoctl/telmoctl.exe"
fake="$build/tests/fixtures/fake_component.exe"
for f in "$manager" "$telmoctl" "$fake"; do
  [ -f "$f" ] || { echo "wine-e2e: $f is missing" >&2; exit 1; }
done

node=$(mktemp -d /tmp/telmo-wine-e2e-XXXXXX)
export WINEPREFIX="$node/prefix" WINEDEBUG=-all WINEARCH=win64 DISPLAY=
finish() {
  local rc=$?
  "$wineserver" -k 2>/dev/null || true   # ends every process of this prefix, and only those
  "$wineserver" -w 2>/dev/null || true
  if [ -n "${E2E_KEEP:-}" ]; then echo "wine-e2e: kept $node"; else rm -rf "$node"; fi
  [ $rc -eq 0 ] && echo "wine-e2e: passed" || echo "wine-e2e: FAILED" >&2
  exit $rc
}
trap finish EXIT
trap 'exit 1' INT TERM

winpath() { local p=${1//\//\\}; echo "Z:$p"; }
step() { echo "wine-e2e: $*"; }
fail() { echo "wine-e2e: $*" >&2; exit 1; }
w() { "$wine" "$@"; }   # Windows programs end their lines with CR LF: callers strip the CR

mkdir -p "$node"/{state,log,root/management,root/bin,root/commands}
# The service gets the environment of Wine's service control manager, which
# is the environment the prefix was started with: set it before wineboot.
export TELMO_STATE_DIR=$(winpath "$node/state")
export TELMO_LOG_DIR=$(winpath "$node/log")
export TELMOROOT=$(winpath "$node/root")
export TELMOMGMT=$(winpath "$node/root/management")
export TELMO_SERVICES_FILE=$(winpath "$node/state/services")
export TELMO_NODE=WINENODE
export TELMO_LISTEN=127.0.0.1
step "starting a Wine prefix"
w wineboot -i >/dev/null 2>&1
"$wineserver" -w   # service calls fail with 1055 until the first boot has settled
# A service gets the system's environment, not its starter's: the node's
# names go into the system environment, and the prefix boots again to read it.
key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
for name in TELMO_STATE_DIR TELMO_LOG_DIR TELMOROOT TELMOMGMT TELMO_SERVICES_FILE TELMO_NODE TELMO_LISTEN; do
  w reg add "$key" /v "$name" /t REG_SZ /d "${!name}" /f >/dev/null 2>&1
done
"$wineserver" -k
"$wineserver" -w
w wineboot >/dev/null 2>&1
"$wineserver" -w
"$wineserver" -p 120

# Ports: the manager and the two components' services, free a moment ago.
read -r p0 p1 p2 < <(python3 - <<'PY'
import socket
socks = [socket.socket() for _ in range(3)]
for s in socks: s.bind(("127.0.0.1", 0))
print(*[s.getsockname()[1] for s in socks])
PY
)
w "$telmoctl" services add TELMOManager "$p0" >/dev/null
w "$telmoctl" services add PLANT1 "$p1" >/dev/null
w "$telmoctl" services add PLANTLOG1 "$p2" >/dev/null

cp "$fake" "$node/root/bin/plant_dlgp.exe"
cp "$fake" "$node/root/bin/plant_logger.exe"
ready=$(winpath "$node/dlgp.ready")
cat > "$node/root/management/PLANT1.csd" <<CSD
# Packing line 1: a gateway and a logger
Plant line 1,PLANT1,
Run,,
1
NoStoreForward,,,,,,,,,,
2
Gateway,PLANT1,%TELMOROOTQ%\\bin\\plant_dlgp.exe,PLANT1 --ready-file=$ready
Logger,PLANTLOG1,%TELMOROOTQ%\\bin\\plant_logger.exe,PLANTLOG1
CSD
printf '20\n100\n' > "$node/root/management/telmo_k_mgmt_parameters.def"   # a check every 2 s

step "install"
w "$manager" -install | grep -q "installed" || fail "-install did not install"
w "$telmoctl" reg add 'HKLM\SOFTWARE\Zarvelco\TELMO' /f >/dev/null

step "start through the service control manager"
w "$telmoctl" svc start AutoStartTELMO >/dev/null || fail "StartService failed"
params=""
for _ in $(seq 1 30); do
  params=$(w "$telmoctl" --timeout 2 params get 2>&1) && break
  sleep 0.5
done
echo "$params"
grep -q "Servers process check period: 20" <<<"$params" || fail "params get did not answer"
w "$telmoctl" svc query AutoStartTELMO | grep -q "RUNNING" || fail "service not RUNNING"

wait_running() {
  local out=""
  for _ in $(seq 1 40); do
    out=$(w "$telmoctl" status PLANT1 2>&1 | tr -d '\r' || true)
    # component lines: two blanks, the name, blanks, the run status (then the pid, uptime and restarts)
    [ "$(grep -cE '^  [^ ]+ +running( |$)' <<<"$out")" -eq 2 ] && { echo "$out"; return 0; }
    sleep 0.5
  done
  echo "$out"
  return 1
}
step "status of PLANT1"
wait_running || fail "PLANT1's components are not both running"
for _ in $(seq 1 40); do [ -s "$node/dlgp.ready" ] && break; sleep 0.25; done
pid=$(tr -d '\r\n ' < "$node/dlgp.ready")
[ -n "$pid" ] || fail "the gateway wrote no ready file"

step "kill the gateway (Windows pid $pid) and wait for the check to restart it"
rm -f "$node/dlgp.ready"
w taskkill /F /PID "$pid" >/dev/null 2>&1 || fail "taskkill /PID $pid failed"
restarted=""
for _ in $(seq 1 60); do
  if [ -s "$node/dlgp.ready" ]; then restarted=$(tr -d '\r\n ' < "$node/dlgp.ready"); break; fi
  sleep 0.25
done
[ -n "$restarted" ] && [ "$restarted" != "$pid" ] || fail "the gateway was not restarted"
wait_running || fail "PLANT1 not running again after the restart"

step "stop and remove"
# ControlService returns with STOP_PENDING; the state is awaited below.
w "$telmoctl" svc stop AutoStartTELMO >/dev/null 2>&1 || true
for _ in $(seq 1 60); do
  w "$telmoctl" svc query AutoStartTELMO | grep -q "STOPPED" && break
  sleep 0.5
done
w "$telmoctl" svc query AutoStartTELMO | grep -q "STOPPED" || fail "service did not stop"
w "$manager" -remove >/dev/null
if w "$telmoctl" svc query AutoStartTELMO >/dev/null 2>&1; then fail "service still installed after -remove"; fi
w taskkill /F /PID "$restarted" >/dev/null 2>&1 && fail "a component outlived the service stop"
exit 0
