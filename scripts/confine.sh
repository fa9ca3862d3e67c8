#!/usr/bin/env bash
# confine.sh SANDBOX COMMAND [ARGUMENT...]
#
# Runs COMMAND where a mistake of the module cannot reach the machine: in a
# private mount namespace in which every mount is read-only except SANDBOX
# (created when missing) and a private, empty /dev/shm. Before COMMAND starts,
# canary writes outside the sandbox must fail; if the confinement cannot be set
# up or a canary write succeeds, the run fails. It never runs unconfined.
#
# Two ways to the same namespace, chosen before confining (inside a user
# namespace everyone is root):
#   root        unshare --mount;
#   other users unshare --user --map-root-user --mount: a user namespace of
#               their own, in which they may mount, and which gives them no
#               right outside it. The host must allow unprivileged user
#               namespaces; where it does not, the run fails with the setting.
# BRIVANE_CONFINE_WAY=user-namespace takes the second way as root too.
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
    command -v unshare >/dev/null || fail "unshare (util-linux) is missing"
    way="${BRIVANE_CONFINE_WAY:-}"
    if [[ -z "$way" ]]; then
        if [[ "$(id -u)" -eq 0 ]]; then way=mount-namespace; else way=user-namespace; fi
    fi
    case "$way" in
        mount-namespace)
            [[ "$(id -u)" -eq 0 ]] || fail "a mount namespace without a user namespace needs root"
            namespaces=(--mount) ;;
        user-namespace)
            # shellcheck source=common.sh
            source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
            refusal="$(user_namespace_refusal)"
            [[ -z "$refusal" ]] || fail "$refusal"
            namespaces=(--user --map-root-user --mount) ;;
        *) fail "BRIVANE_CONFINE_WAY is mount-namespace or user-namespace, not $way" ;;
    esac
    mkdir -p "$1"
    sandbox="$(realpath "$1")"
    [[ "$sandbox" != / ]] || fail "the sandbox cannot be /"
    shift
    # The canaries, chosen out here: places outside the sandbox that this user can write unconfined. A write
    # refused there shows the read-only mounts at work; a place refused anyway, like / to an ordinary user,
    # would show nothing.
    canaries=()
    for place in / "$(dirname "$sandbox")" "$(realpath -m "${TMPDIR:-/tmp}")" /tmp; do
        [[ -d "$place" && -w "$place" ]] || continue
        for chosen in "${canaries[@]}"; do [[ "$chosen" != "$place" ]] || continue 2; done
        canaries+=("$place")
    done
    [[ "${#canaries[@]}" -gt 0 ]] || fail "no place outside $sandbox that this user can write, for the canary"
    # --propagation private: nothing done inside is seen by the machine's namespace.
    exec unshare "${namespaces[@]}" --propagation private \
        env BRIVANE_CONFINE_STAGE=inside BRIVANE_CONFINE_WAY="$way" BRIVANE_CONFINE_USER="$(id -un)" \
        BRIVANE_CONFINE_CANARIES="$(printf '%s\n' "${canaries[@]}")" \
        "$(realpath "${BASH_SOURCE[0]}")" "$sandbox" "$@"
fi

sandbox="$1"
shift
way="$BRIVANE_CONFINE_WAY"
user="$BRIVANE_CONFINE_USER"
mapfile -t canaries <<<"$BRIVANE_CONFINE_CANARIES"
unset BRIVANE_CONFINE_STAGE BRIVANE_CONFINE_WAY BRIVANE_CONFINE_USER BRIVANE_CONFINE_CANARIES

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

# The canaries: a write outside the sandbox must fail, in each place that this user could write unconfined.
for place in "${canaries[@]}"; do
    canary="${place%/}/.brivane-canary-$$"
    if (: >"$canary") 2>/dev/null; then
        rm -f "$canary"
        fail "the canary write to $canary succeeded"
    fi
done
(: >"$sandbox/.canary" && rm "$sandbox/.canary") 2>/dev/null || fail "the sandbox $sandbox is not writable"

mkdir -p "$sandbox/tmp" "$sandbox/home"
if [[ "$way" == user-namespace ]]; then how="in a user namespace of $user"; else how="as root"; fi
places="$(printf '%s\n' "${canaries[@]}" | paste -s -d ,)"
echo "confine.sh: confined $how: only $sandbox is writable; canary writes to ${places//,/, } refused" >&2
export TMPDIR="$sandbox/tmp" HOME="$sandbox/home" BRIVANE_CONFINED="$sandbox"
exec "$@"
