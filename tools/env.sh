# Shared settings of the build, run, test and benchmark scripts (sourced,
# not run).
#
# There are two builds of the same sources: i686 (32-bit Windows, the
# product) in build/i686 and x86_64 (64-bit Windows) in build/x86_64, each
# with its own bin/ and its own Wine prefix. Debian's `wine` wrapper takes
# the 32-bit loader whenever it is installed, even on machines that cannot
# run it, so each architecture calls its own loader directly.
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
all_arches=(i686 x86_64)
# The 32-bit loader; the probe tries to run it.
wine32_loader=${NIMBRA_WINE32_LOADER:-/usr/lib/wine/wine}
export WINEDEBUG=-all
# Keep Wine from offering to install Mono and Gecko.
export WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=ja_JP.UTF-8

# Points build, WINEPREFIX, WINEARCH, WINELOADER and wine at one
# architecture.
select_arch() {
    arch=$1
    build="$top/build/$arch"
    export WINEPREFIX="$build/wineprefix"
    case "$arch" in
        i686) export WINEARCH=win32; wine=$wine32_loader ;;
        x86_64) export WINEARCH=win64; wine=/usr/lib/wine/wine64 ;;
        *) echo "unknown architecture '$arch' (i686 or x86_64)" >&2; return 1 ;;
    esac
    export WINELOADER="$wine"
}

# Finds out which architectures this machine can execute under Wine:
# sets runnable (always x86_64 first-class, i686 where it runs) and
# skip_note (why i686 does not run, empty when it does).
probe_arches() {
    runnable=()
    skip_note=""
    local out
    if [ ! -x "$wine32_loader" ]; then
        skip_note="i686 (32-bit Wine is not installed)"
    elif ! out=$(LC_ALL=C "$wine32_loader" --version 2>&1); then
        # On a kernel without IA-32 emulation the loader fails with
        # "Exec format error".
        skip_note="i686 (this machine cannot run 32-bit code: ${out##*: })"
    else
        runnable+=(i686)
    fi
    runnable+=(x86_64)
}

# The architecture `make run` and `make bench` use: ARCH when given, else
# i686 where it runs, else x86_64.
default_arch() {
    if [ -n "${ARCH:-}" ]; then
        echo "$ARCH"
        return
    fi
    probe_arches
    echo "${runnable[0]}"
}

# Configures (once) and builds one architecture.
build_arch() {
    select_arch "$1"
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-$arch.cmake" >/dev/null
    fi
    cmake --build "$build" -j "$(nproc)"
}

# Starts Xvfb on a free display and exports DISPLAY; sets xvfb_pid.
start_xvfb() {
    local n
    for n in $(seq 91 140); do
        if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then
            Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
            xvfb_pid=$!
            export DISPLAY=":$n"
            local i
            for i in $(seq 1 50); do
                [ -e "/tmp/.X11-unix/X$n" ] && return 0
                kill -0 "$xvfb_pid" 2>/dev/null || break
                sleep 0.1
            done
        fi
    done
    echo "could not start Xvfb" >&2
    return 1
}

# Creates the selected architecture's Wine prefix once.
ensure_prefix() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "Creating the $arch Wine prefix in $WINEPREFIX (once)..."
        mkdir -p "$WINEPREFIX"
        "$wine" wineboot -i >/dev/null 2>&1 || true
        # Wine draws the window frames itself: the private Xvfb display has
        # no window manager, and screenshots should show captions.
        "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
        wineserver -w
    fi
}

# The Linux path of the selected prefix's temporary folder (%TEMP%), read
# from the prefix's own settings.
prefix_temp_dir() {
    local windows
    windows=$(sed -n 's/^"TEMP"="\(.*\)"\r\?$/\1/p' "$WINEPREFIX/user.reg" | head -n 1)
    [ -n "$windows" ] || windows='C:\\users\\'"$(id -un)"'\\Temp'
    windows=${windows//\\\\/\/}
    # C:/users/... -> drive_c/users/...
    local drive=${windows:0:1}
    echo "$WINEPREFIX/drive_${drive,,}${windows:2}"
}

# The prefixes whose wineserver a script started; stop_wineservers ends them.
started_prefixes=()
# Makes the selected prefix if needed and keeps its wineserver up until
# stop_wineservers.
start_wineserver() {
    ensure_prefix
    started_prefixes+=("$WINEPREFIX")
    wineserver -p
}
stop_wineservers() {
    local p
    for p in "${started_prefixes[@]}"; do
        WINEPREFIX="$p" wineserver -k >/dev/null 2>&1 || true
    done
}
