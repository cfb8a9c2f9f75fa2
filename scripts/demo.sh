#!/usr/bin/env bash
# Builds the manager and runs it in service mode in the foreground on a demo
# node (./demo-node): four servers of fake components, three of them started.
# Ctrl-C stops it through the service stop protocol. In another shell:
#   . demo-node/env.sh
#   telmoctl status PLANT1 --v1; telmoctl stop BOILER1; telmoctl start SPARE1; telmoctl params get
#   telmoctl log --follow
# An existing demo node is kept as the last run left it (server files and
# parameters written back at stop); --fresh sets it up anew.
set -euo pipefail
cd "$(dirname "$0")/.."

fresh=0
for arg in "$@"; do
  case $arg in
    --fresh) fresh=1 ;;
    -h | --help) echo "usage: scripts/demo.sh [--fresh]   (--fresh: set the demo node up anew)"; exit 0 ;;
    *) echo "usage: scripts/demo.sh [--fresh]" >&2; exit 2 ;;
  esac
done

scripts/bootstrap.sh
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELMO_BUILD_BENCH=OFF >/dev/null
cmake --build build-demo -j"${JOBS:-2}" --target telmo_manager telmoctl fake_component fake_listing
node_dir=${DEMO_DIR:-$PWD/demo-node}
if [ "$fresh" = 1 ] || [ ! -f "$node_dir/env.sh" ]; then
  packaging/demo-node.sh "$PWD/build-demo" "$node_dir"
else
  echo "demo: keeping $node_dir as the last run left it (scripts/demo.sh --fresh sets it up anew)"
fi
# shellcheck disable=SC1091
. "$node_dir/env.sh"
telmoctl reg add "HKLM\\SOFTWARE\\Zarvelco\\TELMO" /f >/dev/null
cat <<EOF
TELMO Manager running on node DEMONODE; Ctrl-C stops it. It writes its logs, not to this screen:
  management log  $TELMO_LOG_DIR/management.log
  events          $TELMO_LOG_DIR/eventlog.log
  components      $TELMO_LOG_DIR/components/
In another shell: . $node_dir/env.sh; telmoctl log --follow
EOF
exec telmo_manager
