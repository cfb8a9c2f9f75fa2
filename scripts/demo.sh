#!/usr/bin/env bash
# Builds the manager and runs it in service mode in the foreground on a demo
# node (./demo-node): four servers of fake components, three of them started.
# Ctrl-C stops it through the service stop protocol. In another shell:
#   . demo-node/env.sh
#   telmoctl status PLANT1 --v1; telmoctl stop BOILER1; telmoctl start SPARE1; telmoctl params get
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELMO_BUILD_BENCH=OFF >/dev/null
cmake --build build-demo -j"${JOBS:-2}" --target telmo_manager telmoctl fake_component
packaging/demo-node.sh "$PWD/build-demo" "${DEMO_DIR:-$PWD/demo-node}"
. "${DEMO_DIR:-$PWD/demo-node}/env.sh"
telmoctl reg add "HKLM\\SOFTWARE\\Zarvelco\\TELMO" /f >/dev/null
echo "TELMO Manager running on node DEMONODE; Ctrl-C stops it. In another shell: . ${DEMO_DIR:-$PWD/demo-node}/env.sh"
exec telmo_manager
