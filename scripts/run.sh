#!/usr/bin/env bash
# Sets up and builds everything, then runs the main job: Vantrel.dll in the
# module host with the bus, settings, viewer and plug-in neighbours, one
# alert sent, and what became of it printed.
set -euo pipefail
. "$(dirname "$0")/prepare.sh"
build=$VT_BUILD_DIR
echo "Built into $build."

demo=$build/alerts/Vantrel
for file in "$demo/VantrelDemo.exe" "$demo/Vantrel.dll" "$demo/wtsapi32.dll" \
            "$build/test-bus-libraries/signed/MessageBus.dll" \
            "$build/neighbours/validation/cvnqava.dll" "$build/neighbours/plugin/TestPlugin.dll"; do
    if [ ! -f "$file" ]; then
        echo "missing $file: the demo cannot run" >&2
        exit 1
    fi
done

# Wine's own wtsapi32 knows no sessions: the system monitor's replacement
# beside the demo reports one active session.
status=0
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;wtsapi32=n" wine "$demo/VantrelDemo.exe" \
    --vantrel "$demo/Vantrel.dll" \
    --bus "$build/test-bus-libraries/signed/MessageBus.dll" \
    --validation "$build/neighbours/validation" \
    --plugin "$build/neighbours/plugin/TestPlugin.dll" </dev/null || status=$?
exit $status
