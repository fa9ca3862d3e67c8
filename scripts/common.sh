# Shared by the scripts: interpreters, virtual environments and the wheel build.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYENV_VERSIONS="${PYENV_ROOT:-/root/.pyenv}/versions"
# What the tests, the tools, the benchmarks and the demo import besides the module under test: the stand-in of
# the platform (standin/) and the test kit (testkit/). PYTHONPATH is the one way they reach them, and every
# process they start inherits it; nothing changes sys.path by hand. src/ is never on it: they import the
# built module (the installed wheel, or a development build put before these).
TEST_PYTHONPATH="$ROOT/standin:$ROOT/testkit"

# The newest installed patch release of a minor version, e.g. python_for 3.10.
python_for() {
    local minor="$1" found
    found="$(ls -d "$PYENV_VERSIONS/$minor".* 2>/dev/null | sort -V | tail -n 1 || true)"
    if [[ -n "$found" && -x "$found/bin/python" ]]; then
        echo "$found/bin/python"
    elif command -v "python$minor" >/dev/null 2>&1; then
        command -v "python$minor"
    else
        echo "no Python $minor found (looked in $PYENV_VERSIONS and on PATH)" >&2
        return 1
    fi
}

# with_progress MESSAGE COMMAND...: prints MESSAGE, then a line every 30 s until COMMAND ends, so that a long
# build or install is never a silent minute. Returns COMMAND's status.
with_progress() {
    local message="$1" status=0 ticker
    shift
    echo "$message" >&2
    (
        trap 'kill "$sleeper" 2>/dev/null; exit 0' TERM
        elapsed=0
        while :; do
            sleep 30 & sleeper=$!
            wait "$sleeper"
            elapsed=$((elapsed + 30))
            echo "  ... still at it after ${elapsed} s: $message"
        done
    ) >&2 &
    ticker=$!
    "$@" || status=$?
    kill "$ticker" 2>/dev/null || true
    wait "$ticker" 2>/dev/null || true
    return "$status"
}

# requirements_text FILE: the file followed by every file it includes (-r FILE, relative to it), for the stamp
# of make_venv, so that a change in an included file rebuilds the environment too.
requirements_text() {
    local file="$1" line
    cat "$file" || return 1
    while read -r line; do
        if [[ "$line" =~ ^(-r|--requirement)[[:space:]=]+([^[:space:]]+) ]]; then
            requirements_text "$(dirname "$file")/${BASH_REMATCH[2]}" || return 1
        fi
    done <"$file"
}

# make_venv NAME MINOR REQUIREMENTS: a virtual environment under .venv/ with the pinned requirements.
# Callers run it inside $(...), where `set -e` does not apply: every step is checked here, and the stamp
# that lets later runs reuse the environment is written only after pip succeeded.
make_venv() {
    local name="$1" minor="$2" requirements="$3" venv="$ROOT/.venv/$1" python pins
    if [[ ! -x "$venv/bin/python" ]]; then
        python="$(python_for "$minor")" || return 1
        "$python" -m venv "$venv" || return 1
    fi
    local stamp="$venv/.requirements"
    pins="$(requirements_text "$requirements")" || return 1
    if [[ ! -f "$stamp" || "$pins" != "$(cat "$stamp")" ]]; then
        rm -f "$stamp"
        with_progress "installing $(basename "$requirements") into .venv/$name" \
            "$venv/bin/python" -m pip install -qq --disable-pip-version-check -r "$requirements" >&2 || {
            echo "pip could not install $requirements into $venv" >&2
            return 1
        }
        printf '%s\n' "$pins" >"$stamp" || return 1
    fi
    echo "$venv"
}

# apt_get ARGUMENT...: apt-get, waiting up to 10 minutes for the package database's lock while another apt-get
# (a second script, unattended upgrades) holds it, and saying so, rather than failing at once.
apt_get() {
    local said status waited=0
    said="$(mktemp)"
    while :; do
        status=0
        DEBIAN_FRONTEND=noninteractive apt-get "$@" 2>"$said" || status=$?
        if [[ "$status" -ne 0 && "$waited" -lt 600 ]] && grep -q -E "Could not get lock|Unable to (acquire|lock)" "$said"; then
            echo "apt-get: the package database is locked ($(grep -o -m 1 "held by process.*" "$said" || echo "by another apt-get")); waiting for it (${waited} s so far, 600 s at most)" >&2
            sleep 10
            waited=$((waited + 10))
            continue
        fi
        cat "$said" >&2
        rm -f "$said"
        return "$status"
    done
}

# install_debian WHAT [APT-OPTION...] PACKAGE...: Debian's packages that WHAT needs and this machine lacks. Root
# installs them; anyone else installs nothing and is told which, and the status 1 lets the caller skip or stop
# what needs them.
install_debian() {
    local what="$1" packages
    shift
    packages="$(printf '%s\n' "$@" | grep -v '^-' | paste -s -d ' ')"
    if [[ "$(id -u)" -ne 0 ]]; then
        echo "missing Debian packages, for $what: $packages (as root: apt-get install $packages)" >&2
        return 1
    fi
    with_progress "installing $packages (Debian, apt-get), for $what" apt_install "$@" >&2
}

apt_install() {
    apt_get update -qq && apt_get install -y -qq "$@" >/dev/null
}

# ensure_chromium: Debian's chromium, which the page's browser test and the batch benchmark run headless,
# installed when it is missing (by root, for whom a failed install fails the run; without it, the browser test
# is skipped).
ensure_chromium() {
    command -v chromium >/dev/null 2>&1 || install_debian "the page's browser test" chromium || [[ "$(id -u)" -ne 0 ]]
}

# user_namespace_refusal [AS...]: nothing when this user (or the one that the command AS switches to) may make a
# user namespace with a mount namespace of its own (unshare --user --map-root-user --mount), else one line: why
# not, and the host's setting that allows it.
user_namespace_refusal() {
    local said setting wanted settings=()
    said="$("$@" unshare --user --map-root-user --mount true 2>&1)" && return 0
    # Each setting that blocks it, with the value that allows it.
    for setting in kernel.unprivileged_userns_clone=1 user.max_user_namespaces=15000 \
                   kernel.apparmor_restrict_unprivileged_userns=0; do
        wanted="${setting#*=}"
        setting="${setting%=*}"
        case "$setting=$(cat "/proc/sys/${setting//.//}" 2>/dev/null || echo absent)" in
            *=absent) ;;
            kernel.unprivileged_userns_clone=0 | user.max_user_namespaces=0 | \
            kernel.apparmor_restrict_unprivileged_userns=1) settings+=("sysctl -w $setting=$wanted") ;;
        esac
    done
    if [[ "${#settings[@]}" -eq 0 ]]; then
        settings=("the container's seccomp or AppArmor profile must let unshare make a user namespace")
    fi
    echo "this host refuses unprivileged user namespaces (${said//$'\n'/ }): enable them ($(printf '%s\n' \
        "${settings[@]}" | paste -s -d ';' | sed 's/;/; /g')) or run as root"
}

# confined NAME COMMAND...: COMMAND in a fresh sandbox build/confined/NAME, the only writable place
# (scripts/confine.sh). The stand-in's native library is built first, since its build folder lies outside.
confined() {
    local name="$1" sandbox="$ROOT/build/confined/$1"
    shift
    PYTHONPATH="$TEST_PYTHONPATH" python3 -c \
        "from brivane_standin.installation import build_native_library; build_native_library()"
    rm -rf "$sandbox"
    "$ROOT/scripts/confine.sh" "$sandbox" "$@"
}

# sanitizer_reports FOLDER: the number of report files the sanitizers wrote there (log_path=FOLDER/asan
# and FOLDER/ubsan), each printed to stderr.
sanitizer_reports() {
    local reports=()
    mapfile -t reports < <(find "$1" -maxdepth 1 -type f \( -name 'asan.*' -o -name 'ubsan.*' \))
    if [[ "${#reports[@]}" -ne 0 ]]; then
        cat "${reports[@]}" >&2
    fi
    echo "${#reports[@]}"
}

# build_wheel: the cp310-abi3 wheel for Linux, built once with Python 3.10, into dist/ (where the Windows wheel
# of scripts/build-windows.sh may lie beside it).
build_wheel() {
    local venv
    venv="$(make_venv build-3.10 3.10 "$ROOT/requirements/build.txt")" || return 1
    rm -f "$ROOT"/dist/brivane_computer-*-linux_*.whl
    PATH="$venv/bin:$PATH" with_progress "building the Linux wheel (scikit-build-core, CMake, g++)" \
        "$venv/bin/python" -m pip wheel -qq --disable-pip-version-check \
        --no-deps --no-build-isolation -w "$ROOT/dist" "$ROOT" || return 1
    ls "$ROOT"/dist/brivane_computer-*-cp310-abi3-linux_*.whl
}

# install_wheel VENV: the freshly built wheel, replacing any earlier build.
install_wheel() {
    local venv="$1"
    "$venv/bin/python" -m pip install -qq --disable-pip-version-check --no-deps --force-reinstall \
        "$ROOT"/dist/brivane_computer-*-cp310-abi3-linux_*.whl
}
