# Sourced by the scripts that run programs: installs what is missing, builds
# (only the ninja targets in VT_BUILD_TARGETS when set, else everything)
# while the build's Wine prefix boots, and keeps its Wine server until the
# calling script exits.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
export VT_BUILD_DIR=${VT_BUILD_DIR:-$root/build}
. "$root/scripts/wine-env.sh"
trap vt_wine_stop EXIT
vt_wine_start &
vt_booting=$!
# shellcheck disable=SC2086
"$root/scripts/build.sh" ${VT_BUILD_TARGETS:-}
wait "$vt_booting"
