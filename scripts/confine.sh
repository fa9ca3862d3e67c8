#!/usr/bin/env bash
# confine.sh SANDBOX COMMAND [ARGUMENT...]
#
# Runs COMMAND where a mistake of the module cannot reach the machine: in a
# private mount namespace in which every mount is read-only except SANDBOX
# (created when missing) and a private, empty /dev/shm. Before COMMAND starts,
# canary writes outside the sandbox must fail; if the confinement cannot be set
# up or a canary write succeeds, the run fails. It never runs unconfined.
#
# Inside, TMPDIR (so tempfile.gettempdir() and pytest's tmp_path) and HOME
# point into the sandbox, and BRIVANE_CONFINED names the sandbox, so that a
# test can insist on running confined.
set -euo pipefail

fail() { echo "confine.sh: $*; refusing to run unconfined" >&2; exit 97; }

if [[ $# -lt 2 ]]; then
    echo "usage: $0 SANDBOX COMMAND [ARGUMENT...]" >&2
    exit 2
fi

if [[ "${BRIVANE_CONFINE_STAGE:-}" != inside ]]; then
    [[ "$(id -u)" -eq 0 ]] || fail "setting up a mount namespace needs root"
    command -v unshare >/dev/null || fail "unshare (util-linux) is missing"
    mkdir -p "$1"
    sandbox="$(realpath "$1")"
    [[ "$sandbox" != / ]] || fail "the sandbox cannot be /"
    shift
    # --propagation private: nothing done inside is seen by the machine's namespace.
    exec unshare --mount --propagation private \
        env BRIVANE_CONFINE_STAGE=inside "$(realpath "${BASH_SOURCE[0]}")" "$sandbox" "$@"
fi

sandbox="$1"
shift
unset BRIVANE_CONFINE_STAGE

# The sandbox becomes a mount of its own, so that it stays writable once its parent mount is read-only.
mount --bind "$sandbox" "$sandbox" || fail "cannot bind the sandbox"
# Every other mount read-only, deepest first. "remount,bind" changes this namespace's view of the mount
# only, never the file system itself, so the machine keeps writing as before.
while read -r target; do
    target="$(printf '%b' "$target")"  # findmnt writes a space as \x20
    [[ "$target" == "$sandbox" ]] && continue
    mount -o remount,bind,ro "$target" 2>/dev/null || {
        # A mount that refuses the remount must already be read-only.
        options="$(findmnt -rn -o OPTIONS --target "$target" | head -n 1)"
        [[ ",$options," == *,ro,* ]] || fail "cannot make $target read-only"
    }
done < <(findmnt -rn -o TARGET | sort -r -u)
# A private tmpfs for POSIX semaphores and shared memory: it vanishes with the namespace.
mount -t tmpfs -o size=512m,mode=1777 tmpfs /dev/shm || fail "cannot mount a private /dev/shm"

# The canaries: a write outside the sandbox must fail, on / and beside the sandbox.
for canary in "/.brivane-canary-$$" "$(dirname "$sandbox")/.brivane-canary-$$" "/tmp/.brivane-canary-$$"; do
    if (: >"$canary") 2>/dev/null; then
        rm -f "$canary"
        fail "the canary write to $canary succeeded"
    fi
done
(: >"$sandbox/.canary" && rm "$sandbox/.canary") 2>/dev/null || fail "the sandbox $sandbox is not writable"

mkdir -p "$sandbox/tmp" "$sandbox/home"
export TMPDIR="$sandbox/tmp" HOME="$sandbox/home" BRIVANE_CONFINED="$sandbox"
exec "$@"
