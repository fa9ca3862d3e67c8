"""brivane solve --scheduler: the scheduler's address, the security it needs, and the connection to it, from
its opening to its close."""

from __future__ import annotations

import ipaddress
import logging
import os
import ssl
from dataclasses import dataclass
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from distributed import Client

INSTALL = "pip install brivane_computer[cluster]"
TLS_OPTIONS = ("--tls-ca", "--tls-cert", "--tls-key")
REFUSED_TCP = (
    "an open Dask scheduler runs pickled code from anyone who can reach it on every workstation: use "
    "tls:// with --tls-ca, --tls-cert and --tls-key, or --insecure on a network you trust"
)


class SchedulerInputError(Exception):
    """A scheduler address or option that the command cannot start with: one line."""


@dataclass(frozen=True)
class Scheduler:
    address: str
    # (CA, certificate, key) for tls://, None for tcp://.
    tls: tuple[str, str, str] | None


def scheduler(address: str, ca: str | None, cert: str | None, key: str | None, insecure: bool) -> Scheduler:
    """The scheduler that ``--scheduler`` and its options name, checked before anything connects."""
    scheme, separator, location = address.rpartition("://")
    if not separator:
        scheme = "tcp"  # as Dask takes an address without a scheme
    if scheme not in ("tcp", "tls"):
        raise SchedulerInputError(f"--scheduler {address}: use a tls:// address (or tcp://), not {scheme}://")
    host = _host(address, location)
    files = dict(zip(TLS_OPTIONS, (ca, cert, key)))
    if scheme == "tcp":
        given = [option for option, path in files.items() if path is not None]
        if given:
            raise SchedulerInputError(f"{', '.join(given)}: only for a tls:// scheduler, and {address} is plain tcp")
        if not insecure and not _loopback(host):
            raise SchedulerInputError(f"--scheduler {address}: refused, plain tcp to another machine: {REFUSED_TCP}")
        return Scheduler(f"tcp://{location}", None)
    if insecure:
        raise SchedulerInputError(
            "--insecure: only for a plain tcp:// scheduler; a tls:// one is always checked against --tls-ca"
        )
    missing = [option for option, path in files.items() if path is None]
    if missing:
        raise SchedulerInputError(
            f"--scheduler {address} needs --tls-ca, --tls-cert and --tls-key (missing: {', '.join(missing)})"
        )
    _certificates(str(ca), str(cert), str(key))
    return Scheduler(address, (str(ca), str(cert), str(key)))


def _certificates(ca: str, cert: str, key: str) -> None:
    """The TLS files, checked before connecting: each a file, the authority and certificate PEM certificates,
    the key PEM and the key of the certificate. A failure names the file."""
    for option, path in zip(TLS_OPTIONS, (ca, cert, key)):
        if not os.path.exists(path):
            raise SchedulerInputError(f"{option}: {path} does not exist")
        if not os.path.isfile(path):
            raise SchedulerInputError(f"{option}: {path} is a folder, not a file: give the PEM file")
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    for option, path in (("--tls-ca", ca), ("--tls-cert", cert)):
        try:
            context.load_verify_locations(cafile=path)
        except (ssl.SSLError, OSError, ValueError) as error:
            raise SchedulerInputError(f"{option}: {path} is not a certificate in PEM form ({_reason(error)})") from None

    def no_pass_phrase() -> str:
        raise SchedulerInputError(
            f"--tls-key: {key} is protected by a pass phrase, which the connection cannot give: give a key without one"
        )

    try:
        # Without a callback, OpenSSL would ask for the pass phrase of a protected key on the terminal.
        context.load_cert_chain(cert, key, password=no_pass_phrase)
    except (ssl.SSLError, OSError, ValueError) as error:
        raise SchedulerInputError(
            f"--tls-key: {key} is not the PEM private key of --tls-cert {cert} ({_reason(error)})"
        ) from None


def _reason(error: BaseException) -> str:
    return " ".join(str(error).split()) or type(error).__name__


def _host(address: str, location: str) -> str:
    # The forms Dask reads: HOST:PORT, [IPV6]:PORT.
    if location.startswith("["):
        host, bracket, port = location[1:].partition("]")
        port = port[1:] if bracket and port.startswith(":") else ""
    else:
        host, _, port = location.rpartition(":")
    if not host or ":" in host and not location.startswith("[") or not port.isdigit() or not 0 < int(port) < 65536:
        raise SchedulerInputError(
            f"--scheduler {address}: expected tls://HOST:PORT (an IPv6 address in brackets), "
            "the scheduler's port being 8786 unless it was started with another"
        )
    return host


def _loopback(host: str) -> bool:
    # Names are not resolved: what a name stands for can change between this check and the connection.
    if host.lower() == "localhost":
        return True
    try:
        address = ipaddress.ip_address(host)
    except ValueError:
        return False
    mapped = getattr(address, "ipv4_mapped", None)
    return (mapped or address).is_loopback


def connect(scheduler: Scheduler) -> Client:
    """A Dask client of the scheduler; it waits Dask's connect timeout (distributed.comm.timeouts.connect)."""
    try:
        from distributed import Client
        from distributed.security import Security
    except ImportError as error:
        raise SchedulerInputError(
            f"--scheduler needs Dask's distributed, which does not import ({type(error).__name__}: {error}): {INSTALL}"
        ) from None
    security = None
    # distributed leaves these constructors unannotated.
    if scheduler.tls is not None:
        ca, cert, key = scheduler.tls
        security = Security(  # type: ignore[no-untyped-call]
            tls_ca_file=ca, tls_client_cert=cert, tls_client_key=key, require_encryption=True
        )
    try:
        return Client(scheduler.address, security=security, set_as_default=False)  # type: ignore[no-untyped-call]
    except (OSError, ValueError) as error:
        raise SchedulerInputError(
            f"--scheduler: cannot reach the scheduler at {scheduler.address} ({_reason(error)})"
        ) from None


def close(client: Client) -> None:
    """Closes the client. One that lost its scheduler is still trying to connect again, and Dask logs an error
    line as the close ends that; the batch has already said in its own line that the scheduler was lost."""
    log = logging.getLogger("distributed.client")
    level = log.level
    if client.status != "running":
        log.setLevel(logging.CRITICAL)
    try:
        client.close()  # type: ignore[no-untyped-call]
    finally:
        log.setLevel(level)
