#!/usr/bin/env bash
# The project's environment: a CPython 3.14 toolchain, on a machine that has
# one or, failing that, inside a Debian sid root built once with debootstrap.
#
#   scripts/devenv.sh test [ARGS]   build the engine, run the whole test suite
#                                   (or pytest ARGS, e.g. tests/xml -x)
#   scripts/devenv.sh test-asan     the same suite against an ASan+UBSan build
#                                   (LeakSanitizer on)
#   scripts/devenv.sh test-dbg      reference counts and allocated blocks held
#                                   flat, on the debug interpreter python3.14d
#   scripts/devenv.sh demo [ARGS]   stream a workbook (a generated one if none)
#   scripts/devenv.sh bench NAME    run bench/NAME.py against a release build
#   scripts/devenv.sh setup         only bring the toolchain up
#   scripts/devenv.sh run CMD...    run any command inside the environment
#
# The sid root lives outside the checkout (CI clones into a new folder each
# time), in $VELLUM_ROOT (default /var/lib/vellum/sid-root). debootstrap
# makes its core and apt installs the rest (a minute or two); it is built
# beside its place and moved there once ready, reused while its ready-marker
# names the current package list, and extended in place when the list grows.
# A package apt cannot install is named, with why, on one line.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ROOT=${VELLUM_ROOT:-/var/lib/vellum/sid-root}
MARKER=$ROOT/.vellum-ready
# Every package of the environment, in one place. CORE is what debootstrap
# installs: apt (always there) and the compiler, whose dependencies are plain.
# The rest is installed by apt inside the root, which resolves virtual
# packages and picks among alternatives where debootstrap does not. A name
# ending in "?" is optional: a job goes on without it, saying so, except the
# CI test run (VELLUM_REQUIRE_LIBREOFFICE set), which requires them all.
CORE=(g++ make)
PACKAGES=(python3.14-dev python3-dev g++ make python3-pytest python3-pip
          python3-venv meson ninja-build python3-mesonpy python3-hypothesis
          python3-xlsxwriter python3-lxml
          # the writer's round trip through a real application, and the
          # native generator it is measured against
          libreoffice-calc-nogui? libxlsxwriter-dev pkgconf
          # fuzzing, and reference counts on a debug interpreter
          clang libclang-rt-dev python3.14-dbg
          # a faster inflate for the zip layer, and the benchmark report
          python3-isal libdeflate-dev python3-matplotlib
          # the columnar job's inflate, and the consumers of its tables
          libisal-dev python3-pyarrow? python3-pandas? python3-dask?
          python3-distributed?)
REQUIRED=() OPTIONAL=()
for p in "${PACKAGES[@]}"; do
    case $p in *\?) OPTIONAL+=("${p%\?}") ;; *) REQUIRED+=("$p") ;; esac
done
PKGLIST=$(printf '%s\n' "${PACKAGES[@]}" | sort -u | tr '\n' ' ')
MISSING=$ROOT/.vellum-missing   # optional packages apt could not install, with why

log() { printf 'devenv: %s\n' "$*" >&2; }

# --- which toolchain -------------------------------------------------------

host_has_toolchain() {
    command -v python3.14 >/dev/null 2>&1 || return 1
    command -v g++ >/dev/null 2>&1 || return 1
    python3.14 - <<'PY' >/dev/null 2>&1 || return 1
import os, sysconfig, importlib.util as u
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
for m in ("mesonpy", "pytest", "hypothesis", "xlsxwriter", "venv"):
    assert u.find_spec(m), m
PY
    command -v meson >/dev/null 2>&1 && command -v ninja >/dev/null 2>&1
}

# --- the sid root ----------------------------------------------------------

# The machine's own mirror: the URIs field of a deb822 source, else the first
# plain "deb" line; never a hard-coded host.
apt_mirror() {
    local uri=""
    if compgen -G "/etc/apt/sources.list.d/*.sources" >/dev/null; then
        uri=$(awk '/^[[:space:]]*URIs:/ {print $2; exit}' /etc/apt/sources.list.d/*.sources)
    fi
    if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
        uri=$(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i !~ /^\[/) { print $i; exit } }' /etc/apt/sources.list)
    fi
    [ -n "$uri" ] || { log "no apt mirror configured on this machine"; exit 1; }
    # a security archive is no place for sid
    case $uri in *-security*) uri=${uri%-security} ;; esac
    printf '%s\n' "$uri"
}

# Mounts left under the root by a run that was killed before its trap ran.
clear_stale_mounts() {
    local m
    for m in $(awk -v r="$ROOT" 'index($2, r) == 1 {print $2}' /proc/mounts | sort -r); do
        umount -l "$m" 2>/dev/null || true
    done
}

ensure_host_tool() {
    command -v "$1" >/dev/null 2>&1 && return
    log "installing $2 on the host"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$2" >/dev/null
}

# The first reason an apt, dpkg or debootstrap log gives, on one line:
# "package: why" where the log names the package.
apt_reason() { # log file
    awk '
        /^ [^ ]+ : (Pre)?Depends: |^ [^ ]+ : (Conflicts|Breaks): / {
            sub(/^ +/, ""); sub(/ : /, ": "); print; found = 1; exit }
        /^E: Unable to locate package / { print $NF ": not in the archive"; found = 1; exit }
        /^E: Package .* has no installation candidate/ {
            gsub(/\047/, "", $3); print $3 ": no installation candidate"; found = 1; exit }
        /^dpkg: error processing package / { pkg = $5; next }
        /^ [^ ]+ depends on .*; however:/ && !dep { sub(/^ +/, ""); sub(/; however:/, ""); dep = $0; next }
        /^E: / && !err { err = $0 }
        /^W: Failure / && !err { err = $0 }
        END {
            if (found) exit
            if (dep != "") print dep ", which is not installed"
            else if (pkg != "") print pkg ": its setup failed" (err != "" ? " (" err ")" : "")
            else if (err != "") print err
            else print "no reason given"
        }' "$1"
}

# Installs packages with apt inside a root. Those apt cannot install are
# printed, one "package: why" a line, and the rest installed all the same;
# returns 1 if any could not be.
apt_install() { # root, packages...
    local root=$1; shift
    local log=$ROOT.apt.log p why good=() bad=()
    local install="DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends"
    IN_ROOT=$root in_root_raw / "$install $*" >"$log" 2>&1 && return 0
    for p in "$@"; do
        if IN_ROOT=$root in_root_raw / "apt-get install -s -q --no-install-recommends $p" >"$log.one" 2>&1; then
            good+=("$p")
        else
            why=$(apt_reason "$log.one")
            case $why in "$p:"* | "$p "*) bad+=("$why") ;; *) bad+=("$p: $why") ;; esac
        fi
    done
    # Each can be installed alone, so the failure came later (a download, a
    # package's own setup): the full log tells which.
    if [ ${#bad[@]} = 0 ]; then printf '%s\n' "$(apt_reason "$log")"; return 1; fi
    printf '%s\n' "${bad[@]}"
    if [ ${#good[@]} -gt 0 ]; then
        IN_ROOT=$root in_root_raw / "$install ${good[*]}" >"$log" 2>&1 \
            || printf '%s\n' "$(apt_reason "$log")"
    fi
    return 1
}

# Every package past the core: the required ones or nothing, then the
# optional ones, whose failures are recorded (and said) rather than fatal.
install_packages() { # root
    local root=$1 failed line
    cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
    if ! IN_ROOT=$root in_root_raw / "apt-get update -q" >"$ROOT.apt.log" 2>&1; then
        log "apt-get update failed: $(apt_reason "$ROOT.apt.log")"; return 1
    fi
    if ! failed=$(apt_install "$root" "${REQUIRED[@]}"); then
        while IFS= read -r line; do log "cannot install $line"; done <<<"$failed"
        return 1
    fi
    install_optional "$root"
}

install_optional() { # root
    local root=$1 failed
    rm -f "$root/.vellum-missing"
    [ ${#OPTIONAL[@]} -gt 0 ] || return 0
    if ! failed=$(apt_install "$root" "${OPTIONAL[@]}"); then
        printf '%s\n' "$failed" >"$root/.vellum-missing"
    fi
    return 0
}

# Built beside its final place and moved there only once complete, so that a
# failed or interrupted build never leaves a root that looks ready.
create_root() {
    ensure_host_tool debootstrap debootstrap
    local mirror new=$ROOT.new started=$SECONDS
    mirror=$(apt_mirror)
    clear_stale_mounts
    rm -rf "$new" "$ROOT"
    mkdir -p "$(dirname "$ROOT")"
    log "building the sid root in $ROOT from $mirror (some minutes): the core"
    # debootstrap's own mounts end with its private namespace, however it ends
    if ! unshare --mount --propagation private -- debootstrap --variant=minbase \
            --include="$(IFS=,; echo "${CORE[*]}")" sid "$new" "$mirror" >"$ROOT.log" 2>&1; then
        local why=$ROOT.log
        [ -f "$new/debootstrap/debootstrap.log" ] && why=$new/debootstrap/debootstrap.log
        log "debootstrap failed: $(apt_reason "$why") (log: $ROOT.log)"
        exit 1
    fi
    # The mirror may serve a snapshot whose Release is past its Valid-Until.
    echo 'Acquire::Check-Valid-Until "false";' >"$new/etc/apt/apt.conf.d/99vellum"
    log "installing the packages with apt"
    install_packages "$new" || exit 1
    echo "$PKGLIST" >"$new/.vellum-ready"
    mv -T "$new" "$ROOT"
    log "the sid root is ready ($((SECONDS - started)) s)"
}

# The marker is rewritten only once everything required is in.
extend_root() {
    log "adding packages to the sid root"
    install_packages "$ROOT" || exit 1
    echo "$PKGLIST" >"$MARKER"
}

# An optional package missing: the CI test run requires it (after one more
# try), other jobs go on without it; a day later it is tried again.
check_optional() { # job
    [ -s "$MISSING" ] || return 0
    local required=""
    case $1 in test*) [ -n "${VELLUM_REQUIRE_LIBREOFFICE:-}" ] && required=1 ;; esac
    if [ -n "$required" ] || [ -n "$(find "$MISSING" -mmin +1440)" ]; then
        log "trying the missing optional packages again"
        IN_ROOT=$ROOT in_root_raw / "apt-get update -q" >"$ROOT.apt.log" 2>&1 || true
        install_optional "$ROOT"
        [ -s "$MISSING" ] || return 0
    fi
    local line
    while IFS= read -r line; do
        if [ -n "$required" ]; then log "cannot install $line"
        else log "going on without ${line%%:*}, which apt cannot install ($line); what needs it is skipped"
        fi
    done <"$MISSING"
    [ -z "$required" ] || exit 1
}

ensure_root() { # job
    clear_stale_mounts
    if [ ! -f "$MARKER" ]; then
        create_root
    elif [ "$(cat "$MARKER")" != "$PKGLIST" ]; then
        extend_root
    fi
    check_optional "${1:-}"
}

# Files named by absolute path on a run or demo command line that lie
# outside the checkout: each is bind-mounted read-only at the same path
# inside the root (EXTRA_FILES, one a line), so a workbook can be read from
# anywhere on the machine.
EXTRA_FILES=""
note_files() {
    local w
    for w in "$@"; do
        case $w in /*) ;; *) continue ;; esac
        [ -f "$w" ] || continue
        case $(realpath "$w") in "$HERE"/*) continue ;; esac
        EXTRA_FILES+="$w"$'\n'
    done
}

# Runs a shell command inside the root, in a private mount namespace so that
# nothing stays mounted once it ends, however it ends. The placeholders made
# for EXTRA_FILES in the shared root are removed again.
in_root_raw() {
    local dir=$1 cmd=$2
    local shared; shared=$(cd "$HERE/.." && pwd)/shared
    unshare --mount --propagation private -- bash -euc '
        root=$1 here=$2 shared=$3 dir=$4 cmd=$5 extra=$6
        made=()
        cleanup() { umount -R "$root$here" "$root/proc" "$root/dev" 2>/dev/null || true
                    [ -d "$shared" ] && umount "$root$shared" 2>/dev/null || true
                    local i
                    for ((i = ${#made[@]} - 1; i >= 0; i--)); do
                        umount "${made[i]}" 2>/dev/null || true
                        rm -f "${made[i]}" 2>/dev/null || rmdir "${made[i]}" 2>/dev/null || true
                    done; }
        trap cleanup EXIT
        mkdir -p "$root$here" "$root/proc" "$root/dev"
        mount --bind "$here" "$root$here"
        if [ -d "$shared" ]; then mkdir -p "$root$shared"; mount --bind "$shared" "$root$shared"; fi
        while IFS= read -r f; do
            [ -n "$f" ] || continue
            d=$(dirname "$f") missing=()
            while [ ! -e "$root$d" ]; do missing=("$root$d" "${missing[@]}"); d=$(dirname "$d"); done
            for m in "${missing[@]}"; do mkdir "$m"; made+=("$m"); done
            if [ ! -e "$root$f" ]; then : >"$root$f"; made+=("$root$f"); fi
            mount --bind "$(realpath "$f")" "$root$f"
            mount -o remount,bind,ro "$root$f"
        done <<<"$extra"
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
            CI="${CI:-}" PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            HYPOTHESIS_PROFILE="${HYPOTHESIS_PROFILE:-}" VELLUM_SOAK="${VELLUM_SOAK:-}" \
            VELLUM_REQUIRE_LIBREOFFICE="${VELLUM_REQUIRE_LIBREOFFICE:-}" \
            bash -euc "cd \"$dir\" && $cmd"
    ' devenv "${IN_ROOT:-$ROOT}" "$HERE" "$shared" "$dir" "$cmd" "$EXTRA_FILES"
}

# --- running ---------------------------------------------------------------

in_env() {
    if host_has_toolchain; then
        (cd "$HERE" && bash -euc "$1")
    else
        ensure_root "$JOB"
        in_root_raw "$HERE" "$1"
    fi
}

# venv name, build dir, extra meson args[, interpreter]
venv_cmd() {
    local venv=$1 build=$2 extra=$3 python=${4:-python3.14}
    cat <<EOC
if [ ! -x $venv/bin/python ]; then $python -m venv --system-site-packages $venv; fi
if ! $venv/bin/python -c 'import vellum._vellum' >/dev/null 2>&1 \
   || [ pyproject.toml -nt $build/.installed ] || [ meson.build -nt $build/.installed ] \
   || [ meson.options -nt $build/.installed ]; then
    $venv/bin/python -m pip install -q --no-build-isolation --no-deps \
        -Cbuild-dir=$build -Csetup-args=-Dwerror=true $extra -e . >/dev/null
    touch $build/.installed
fi
EOC
}

RELEASE="$(venv_cmd .venv build/release '')"
ASAN="$(venv_cmd .venv-asan build/asan '-Csetup-args=-Dsanitize=true -Csetup-args=-Db_lto=false')"
# The debug interpreter counts every reference (sys.gettotalrefcount) and
# checks the engine's use of the C API; a debug build of the engine beside it.
DEBUG="$(venv_cmd .venv-dbg build/dbg '-Csetup-args=-Dbuildtype=debug -Csetup-args=-Db_lto=false' python3.14d)"
# Leaks are reported at exit, except those the suppressions file names (the
# interpreter's own, never freed by design); see scripts/lsan.supp.
ASAN_RUN='export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LD_PRELOAD=$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)
export VELLUM_BUILD_DIR=build/asan'

run_pytest() { # venv, [pytest arguments; default: the whole suite]
    printf '%s' "$1/bin/python -m pytest -q -p no:cacheprovider ${2:-tests}"
}

JOB=${1:-}
case $JOB in
    test)      shift; in_env "$RELEASE
export VELLUM_BUILD_DIR=build/release
$(run_pytest .venv "$*")" ;;
    test-asan) shift; in_env "$ASAN
$ASAN_RUN
$(run_pytest .venv-asan "$*")" ;;
    test-dbg)  shift; in_env "$DEBUG
export VELLUM_BUILD_DIR=build/dbg
$(run_pytest .venv-dbg "${*:-tests/host/test_refcounts.py tests/regress}")" ;;
    demo)      shift
               args=() raw=()
               for a in "$@"; do
                   # a file given relative to where the command was typed
                   if [ -f "$a" ]; then a=$(realpath "$a"); fi
                   raw+=("$a")
                   args+=("$(printf '%q' "$a")")
               done
               note_files "${raw[@]}"
               in_env "$RELEASE
.venv/bin/python -m vellum.demo ${args[*]}" ;;
    bench)     shift; in_env "$RELEASE
export VELLUM_BUILD_DIR=build/release
.venv/bin/python bench/$1.py ${*:2}" ;;
    setup)     host_has_toolchain || ensure_root setup ;;
    run)       shift
               read -ra words <<<"${*//[\"\']/}"   # the command's words, unquoted
               note_files "${words[@]}"
               in_env "$RELEASE
export VELLUM_BUILD_DIR=build/release
$*" ;;
    *) sed -n '2,21p' "$0"; exit 2 ;;
esac
