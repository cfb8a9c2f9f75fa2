#!/usr/bin/env bash
# Sets up a demo node in DIR (default ./demo-node): every directory of the
# configuration contract inside it, a services file, four server files whose
# components are copies of the fake component, and env.sh to source in other
# shells. Usage: packaging/demo-node.sh BUILD_DIR [DIR]
set -euo pipefail

build=${1:?usage: demo-node.sh BUILD_DIR [DIR]}
node_dir=${2:-$PWD/demo-node}
base_port=${DEMO_PORT_BASE:-17770}
fake="$build/tests/fixtures/fake_component"
telmoctl="$build/tools/telmoctl/telmoctl"
[ -x "$fake" ] || { echo "demo-node: $fake is missing (build the fixtures first)" >&2; exit 1; }

rm -rf "$node_dir"
mkdir -p "$node_dir"/{state,log,iodata,root/management,root/Code,root/bin,root/io/tlo_opc_uai,root/commands}
mkdir -p "$node_dir"/root/io/tlo_tel_pdi
node_dir=$(cd "$node_dir" && pwd)

cat > "$node_dir/env.sh" <<ENV
# Source this file to reach the demo node: . $node_dir/env.sh
export TELMO_STATE_DIR=$node_dir/state
export TELMO_LOG_DIR=$node_dir/log
export TELMOROOT=$node_dir/root
export TELMOMGMT=$node_dir/root/management
export TELMOIODATA=$node_dir/iodata
export TELMO_NODE=DEMONODE
export TELMO_LISTEN=127.0.0.1
export PATH=$build/src:$build/tools/telmoctl:\$PATH
ENV
# The same values for programs started without the shell's environment.
grep '^export TELMO' "$node_dir/env.sh" | sed 's/^export //' > "$node_dir/state/environment"
# shellcheck disable=SC1091
. "$node_dir/env.sh"

# Every component is the fake component under the name its server file gives.
for exe in root/bin/tank_asyncdlgp.exe root/bin/plant_dlgp.exe root/bin/boiler_dlgp.exe root/bin/spare_dlgp.exe root/bin/plant_logger.exe \
           root/Code/Telmo_sf_scanner.exe root/Code/Telmo_sf_store.exe root/Code/Telmo_sf_forward.exe \
           root/io/tlo_opc_uai/telmo_opcua_dlgp.exe root/io/tlo_opc_uai/telmo_opcua_read.exe \
           root/io/tlo_opc_uai/telmo_opcua_write.exe root/io/tlo_opc_uai/telmo_opcua_unsol.exe; do
  cp "$fake" "$node_dir/$exe"
done

# The listing programs are the fake listing program (it writes its --line texts).
listing="$build/tests/fixtures/fake_listing"
if [ -x "$listing" ]; then
  cp "$listing" "$node_dir/root/io/tlo_opc_uai/ListOpcUaEndPoints.exe"
  cp "$listing" "$node_dir/root/io/tlo_tel_pdi/ListProcessDataSources.exe"
fi
# Two asynchronous gateways with store and forward: the collaborative stores.
for exe in root/bin/east_asyncdlgp.exe root/bin/west_asyncdlgp.exe; do cp "$fake" "$node_dir/$exe"; done

port=$base_port
add() { "$telmoctl" services add "$1" "$port" >/dev/null; port=$((port + 1)); }
add TELMOManager
for s in TANK1 PLANT1 PLANTLOG1 BOILER1 BOILER1_SCN BOILER1_STO BOILER1_FWD UAGW1 UAGW1_UAR UAGW1_UAW UAGW1_UAU SPARE1; do
  add "$s"
done
for s in EAST1 EAST1_SCN EAST1_STO EAST1_FWD WEST1 WEST1_SCN WEST1_STO WEST1_FWD; do add "$s"; done

m="$node_dir/root/management"
cat > "$m/PLANT1.csd" <<'CSD'
# Packing line 1: a gateway and a logger
Plant line 1,PLANT1,
Run,,
1
NoStoreForward,,,,,,,,,,
2
Gateway,PLANT1,%TELMOROOTQ%\bin\plant_dlgp.exe,PLANT1
Logger,PLANTLOG1,%TELMOROOTQ%\bin\plant_logger.exe,PLANTLOG1 --notify=1 --notify-server=PLANT1
CSD
cat > "$m/BOILER1.csd" <<'CSD'
# Boiler house: a gateway with store and forward
Boiler house^; east,BOILER1,
Run,,
1
StoreForward,,,,,,,,,,
1
Gateway,BOILER1,%TELMOROOTQ%\bin\boiler_dlgp.exe,BOILER1
CSD
cat > "$m/UAGW1.csd" <<'CSD'
# OPC UA gateway: the manager adds its read, write and unsolicited processes
OPC UA gateway,UAGW1,
Run,,
1
NoStoreForward,,,,,,,,,,
1
OPC UA DLGP,UAGW1,%TELMOIO%\tlo_opc_uai\telmo_opcua_dlgp.exe,UAGW1
CSD
cat > "$m/SPARE1.csd" <<'CSD'
# A spare line, configured but not started with the service
Spare line,SPARE1,
DontRun,,
0
NoStoreForward,,,,,,,,,,
1
Gateway,SPARE1,%TELMOROOTQ%\bin\spare_dlgp.exe,SPARE1
CSD
for side in EAST WEST; do
  cat > "$m/${side}1.csd" <<CSD
# ${side} tank farm: an asynchronous gateway whose store takes part in the collaborative
${side} tank farm,${side}1,
Run,,
1
StoreForward,,,,,,,,,,
1
Gateway,${side}1,%TELMOROOTQ%\bin\\$(echo "$side" | tr 'A-Z' 'a-z')_asyncdlgp.exe,${side}1
CSD
done
printf '# the nodes of the collaborative, one a line: NODE [SECOND TEXT]\nDEMONODE\nDEMOPEER standby\n' \
  > "$node_dir/root/management/Collaborative.cfg"
cat > "$m/TANK1.csd" <<CSD
# Tank farm: an asynchronous DLGP watched through its watchdog tag (it falls
# silent while $node_dir/TANK1.silent exists)
Tank farm,TANK1,
Run,,
1
NoStoreForward,,,,,,,,,,
1
Gateway,TANK1,%TELMOROOTQ%\bin\tank_asyncdlgp.exe,TANK1 -TCPSERVICE TANK1 -WATCHDOGTAG Tank1.Heartbeat -WATCHDOGTIMEOUT 30000 --silent-file=$node_dir/TANK1.silent
CSD
printf '60\n100\n' > "$m/telmo_k_mgmt_parameters.def"

echo "demo node ready in $node_dir (manager port $base_port)"
