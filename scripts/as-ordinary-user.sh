#!/usr/bin/env bash
# as-ordinary-user.sh COMMAND [ARGUMENT...]
# as-ordinary-user.sh --check
#
# Run by root (CI), to see the project as a contributor without root sees it. COMMAND runs as an ordinary user
# made for the purpose (BRIVANE_ORDINARY_USER, default brivane-contributor; useradd when missing), from a copy
# of this working tree in that user's home, with the environment of a fresh login. The user gets no right of
# root's, with one loan: the pyenv interpreters live under /root, which no one else may enter, so COMMAND runs
# in a mount namespace of its own where /root holds only the interpreters, read-only. The machine's own view
# of /root does not change.
#
# --check: whether this host lets that user confine itself (scripts/confine.sh, by an unprivileged user
# namespace); when it does not, one line names the setting, and the status is 1.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

say() { echo "as-ordinary-user: $*" >&2; }

if [[ $# -lt 1 ]]; then
    echo "usage: $0 COMMAND [ARGUMENT...] | --check" >&2
    exit 2
fi
[[ "$(id -u)" -eq 0 ]] || { say "run it as root: it makes the user and lends it the interpreters"; exit 2; }

user="${BRIVANE_ORDINARY_USER:-brivane-contributor}"
if ! id -u "$user" >/dev/null 2>&1; then
    useradd --create-home --shell /bin/bash --user-group "$user"
    say "made the ordinary user $user"
fi
[[ "$(id -u "$user")" -ne 0 ]] || { say "$user is root"; exit 2; }
as_user=(setpriv --reuid="$user" --regid="$user" --init-groups --reset-env)

if [[ "$1" == --check ]]; then
    refusal="$(user_namespace_refusal "${as_user[@]}")"
    if [[ -n "$refusal" ]]; then
        echo "as-ordinary-user: $user cannot confine itself: $refusal" >&2
        exit 1
    fi
    say "$user may make an unprivileged user namespace with a mount namespace of its own"
    exit 0
fi

home="$(getent passwd "$user" | cut -d: -f6)"
copy="$home/brivane_computer"
# The copy is renewed but for its virtual environments; the user removes and writes it, so nothing here
# acts on the machine with root's rights.
"${as_user[@]}" bash -c 'mkdir -p "$1" && find "$1" -mindepth 1 -maxdepth 1 ! -name .venv -exec rm -rf {} +' \
    - "$copy"
(cd "$ROOT" && git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf -) |
    "${as_user[@]}" tar -xf - -C "$copy"
say "$user runs $* in ${copy}, a copy of this working tree"

# Root's interpreters, when they lie in its home, lent to the user. /mnt holds them for the moment that /root
# takes a tmpfs; both changes are this namespace's alone.
pyenv="${PYENV_ROOT:-/root/.pyenv}"
if [[ "$pyenv" != /root/* ]]; then pyenv=; fi
unshare --mount --propagation private bash -c '
    if [[ -n "$1" ]]; then
        mount --bind "$1" /mnt && mount -t tmpfs -o mode=755,size=1m tmpfs /root && mkdir -p "$1" &&
            mount --move /mnt "$1" && mount -o remount,bind,ro "$1" || exit 1
    fi
    shift
    exec "$@"' - "$pyenv" \
    "${as_user[@]}" env ${BRIVANE_TEST_PYTHONS:+BRIVANE_TEST_PYTHONS="$BRIVANE_TEST_PYTHONS"} \
    bash -c 'cd "$1" && shift && exec "$@"' - "$copy" "$@"
