# Shared by the project's scripts: install, build and Wine prefix set-up.
# Everything here is idempotent and quick when already done.

QSH_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QSH_BUILD=${QSH_BUILD_DIR:-$QSH_ROOT/build}
case "$QSH_BUILD" in /*) ;; *) QSH_BUILD=$QSH_ROOT/$QSH_BUILD ;; esac
QSH_WINE=$QSH_BUILD/wine
# The run that signs in for the prefixes (qsh_sign_in): this script, unless the caller names
# the process it works for (scripts/ctest-wine names the ctest run that started it).
QSH_RUN_PID=${QSH_RUN_PID:-$$}
export WINEDEBUG=${WINEDEBUG:--all}

qsh_log() { printf '[qsh] %s\n' "$*" >&2; }

# Extra arguments name packages that one script needs beyond the common set.
qsh_ensure_packages() {
    local needed=()
    local pkg
    for pkg in g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 googletest cmake ninja-build "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || needed+=("$pkg")
    done
    [ ${#needed[@]} -eq 0 ] && return 0
    qsh_log "installing ${needed[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${needed[@]}" >/dev/null
}

# Configures with the "mingw" preset of CMakePresets.json, which holds the build's settings;
# -B puts it in QSH_BUILD, which may be another folder than the preset's own build/.
qsh_build() {
    if [ ! -f "$QSH_BUILD/build.ninja" ]; then
        cmake -S "$QSH_ROOT" --preset mingw -B "$QSH_BUILD" >/dev/null
    fi
    cmake --build "$QSH_BUILD" -- -k 0
}

# Starts a prefix's wineserver detached from our output: the first Wine command
# of a prefix otherwise keeps the caller's pipes open (a measured Wine pitfall).
qsh_start_server() {
    local prefix=$1
    # Fails when the server already runs (left from a manual run), which is fine.
    WINEPREFIX=$prefix wineserver -p >/dev/null 2>&1 </dev/null || true
    WINEPREFIX=$prefix wine cmd /c exit >/dev/null 2>&1 </dev/null || true
}

# Every run that uses the build's prefixes signs in (a file named after its pid), so that
# the servers are stopped only by the last run out. A run that stopped them under another
# one (scripts/test twice, or a benchmark beside the tests, on one build folder) left that
# run's Wine processes waiting for a server that was gone: Wine's clients do not notice a
# server that ends without ending them first, and wait for ever.
qsh_sign_in() {
    mkdir -p "$QSH_WINE/.runs"
    : >"$QSH_WINE/.runs/$QSH_RUN_PID"
}

# Pids of the processes whose environment names the prefix.
qsh_prefix_pids() {
    local proc
    for proc in /proc/[0-9]*; do
        if tr '\0' '\n' <"$proc/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$1"; then
            echo "${proc#/proc/}"
        fi
    done 2>/dev/null
}

qsh_stop_servers() {
    local prefix run pid
    rm -f "$QSH_WINE/.runs/$QSH_RUN_PID"
    for run in "$QSH_WINE"/.runs/*; do
        [ -e "$run" ] || continue
        if kill -0 "${run##*/}" 2>/dev/null; then
            qsh_log "run ${run##*/} still uses the Wine prefixes; leaving their servers running"
            return 0
        fi
        rm -f "$run"
    done
    # Runs from EXIT traps under set -e: a server that is not running must not turn a
    # passing run into a failing one.
    for prefix in "$QSH_WINE/standin" "$QSH_WINE/peer"; do
        if [ -d "$prefix" ]; then
            WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
            # A server slow to go is killed outright, and its clients then stay behind
            # without it; they are this build's own, as no other run is signed in.
            for pid in $(qsh_prefix_pids "$prefix"); do
                kill -KILL "$pid" 2>/dev/null || true
            done
            rm -f "$prefix/.qsh-desktop-held"
        fi
    done
    return 0
}

qsh_make_prefix() {
    local prefix=$1
    qsh_sign_in
    if [ ! -f "$prefix/.qsh-ready" ]; then
        qsh_log "creating Wine prefix $prefix"
        rm -rf "$prefix"
        mkdir -p "$prefix"
        WINEPREFIX=$prefix wineboot -i >/dev/null 2>&1 </dev/null
        WINEPREFIX=$prefix wineserver -w
        # Headless: no graphics driver, or every process logs window errors.
        WINEPREFIX=$prefix wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 </dev/null
        WINEPREFIX=$prefix wineserver -w
        touch "$prefix/.qsh-ready"
    fi
    qsh_start_server "$prefix"
    # A crash prints its backtrace and ends; the crash dialog would wait for a click, and
    # with it the test whose output it holds.
    WINEPREFIX=$prefix wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 </dev/null
}

# Wine starts the desktop (explorer.exe) from the first process that needs one and closes
# it a second after the last process left. Started from a helper under test, the desktop
# kept that test's output open (the Unix standard error it inherited), so the test seemed
# to run until every other Wine program of the prefix had ended. A holder started here
# without pipes makes the desktop once and keeps it until the server ends.
qsh_hold_desktop() {
    local prefix=$1
    local ready=$prefix/.qsh-desktop-held
    # The holder must be this prefix's: a prefix copied with its tree names another's.
    if [ -f "$ready" ] && qsh_prefix_pids "$prefix" | grep -qxF "$(cat "$ready")"; then
        return 0
    fi
    rm -f "$ready.tmp"
    WINEPREFIX=$prefix setsid wine "$QSH_BUILD/bin/qsh-launch.exe" --hold-desktop "Z:$ready.tmp" \
        </dev/null >/dev/null 2>&1 &
    local holder=$! waited=0
    while [ ! -f "$ready.tmp" ]; do
        if [ $waited -ge 300 ] || ! kill -0 $holder 2>/dev/null; then
            qsh_log "the desktop of $prefix could not be held"
            return 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
    echo $holder >"$ready"
}

# The test prefix: stand-ins take the place of the pieces Wine lacks. They are
# copied in anew on every call, so a rebuilt stand-in is always the one used.
qsh_prepare_standin_prefix() {
    local prefix=$QSH_WINE/standin
    qsh_make_prefix "$prefix"
    local sys32=$prefix/drive_c/windows/system32
    local file
    # Without them the tests would reach Wine's own programs: a missing stand-in stops here.
    for file in schtasks-standin.exe taskschd-standin.dll; do
        if [ ! -f "$QSH_BUILD/bin/$file" ]; then
            qsh_log "stand-in $QSH_BUILD/bin/$file is missing; the build did not make it"
            return 1
        fi
    done
    cp -f "$QSH_BUILD/bin/schtasks-standin.exe" "$sys32/schtasks.exe"
    # Wine runs its builtin schtasks.exe in place of the file unless told to load the file.
    WINEPREFIX=$prefix wine reg add 'HKCU\Software\Wine\DllOverrides' /v schtasks.exe /d native /f >/dev/null 2>&1 </dev/null
    cp -f "$QSH_BUILD/bin/taskschd-standin.dll" "$sys32/qsh-taskschd-standin.dll"
    local key='HKLM\Software\Classes\CLSID\{0F87369F-A4E5-4CFC-BD3E-73E6154572DD}\InprocServer32'
    WINEPREFIX=$prefix wine reg add "$key" /ve /d 'C:\windows\system32\qsh-taskschd-standin.dll' /f >/dev/null 2>&1 </dev/null
    WINEPREFIX=$prefix wine reg add "$key" /v ThreadingModel /d Both /f >/dev/null 2>&1 </dev/null
    qsh_hold_desktop "$prefix"
}

# The peer prefix: Wine's own schtasks.exe and Task Scheduler, untouched.
qsh_prepare_peer_prefix() {
    local prefix=$QSH_WINE/peer
    qsh_make_prefix "$prefix"
    WINEPREFIX=$prefix wine net start schedule >/dev/null 2>&1 </dev/null || true
    qsh_hold_desktop "$prefix"
}
