"""brivane solve --scheduler: the address and security rules, a batch on a TLS cluster of this machine, and one
whose scheduler is lost."""

import ipaddress
import json
import logging
import os
import socket
import subprocess
import sys
import time

import dask
import pytest
from distributed import LocalCluster
from distributed.security import Security

from brivane_computer.batch import read_report

from ..batch.support_batch import assert_no_batch_process_left, dask_processes, run_and_stop, run_main

REFUSED = "an open Dask scheduler runs pickled code from anyone who can reach it on every workstation"

# The table below passes remote addresses that must be refused before anything connects: while it runs, a
# connection or a name lookup beyond this machine is recorded and refused, so that a slip sends nothing.
_remote_attempts = []
_watching = []


def _local(host):
    try:
        return ipaddress.ip_address(host.split("%")[0]).is_loopback or host in ("0.0.0.0", "::")
    except ValueError:
        return host == "localhost"


def _watch_the_network(event, args):
    if not _watching or event not in ("socket.connect", "socket.getaddrinfo"):
        return
    target = args[1] if event == "socket.connect" else (args[0], args[1])
    if isinstance(target, tuple) and target[0] is not None and not _local(str(target[0])):
        _remote_attempts.append((event, target))
        raise PermissionError(f"the test refused {event} to {target}")


sys.addaudithook(_watch_the_network)


@pytest.fixture
def remote_attempts():
    _watching.append(True)
    yield _remote_attempts
    _watching.clear()
    _remote_attempts.clear()


@pytest.fixture
def closed_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.mark.parametrize(
    "options, message",
    [
        (
            ["--scheduler", "10.1.2.3:8786"],
            f"--scheduler 10.1.2.3:8786: refused, plain tcp to another machine: {REFUSED}",
        ),
        (["--scheduler", "tcp://ws01.plant.example:8786"], "or --insecure on a network you trust"),
        (["--scheduler", "tcp://[fe80::1]:8786"], REFUSED),
        (["--scheduler", "tcp://0.0.0.0:8786"], REFUSED),
        (["--scheduler", "ws://127.0.0.1:8786"], "use a tls:// address (or tcp://), not ws://"),
        (["--scheduler", "127.0.0.1"], "expected tls://HOST:PORT"),
        (["--scheduler", "tcp://::1:8786"], "expected tls://HOST:PORT (an IPv6 address in brackets)"),
        (
            ["--scheduler", "tls://10.1.2.3:8786", "--tls-cert", "{pem}"],
            "needs --tls-ca, --tls-cert and --tls-key (missing: --tls-ca, --tls-key)",
        ),
        (
            [
                "--scheduler",
                "tls://10.1.2.3:8786",
                "--tls-ca",
                "{pem}",
                "--tls-cert",
                "{pem}",
                "--tls-key",
                "{missing}",
            ],
            "--tls-key: {missing} does not exist",
        ),
        (
            [
                "--scheduler",
                "tls://10.1.2.3:8786",
                "--tls-ca",
                "{pem}",
                "--tls-cert",
                "{pem}",
                "--tls-key",
                "{pem}",
                "--insecure",
            ],
            "--insecure: only for a plain tcp:// scheduler",
        ),
        (
            ["--scheduler", "tcp://127.0.0.1:8786", "--tls-ca", "{pem}", "--tls-key", "{pem}"],
            "--tls-ca, --tls-key: only for a tls:// scheduler, and tcp://127.0.0.1:8786 is plain tcp",
        ),
        (["--scheduler", "127.0.0.1:8786", "--jobs", "1"], "--jobs: not with --scheduler"),
        (["--tls-ca", "{pem}", "--insecure"], "--tls-ca, --insecure: only with --scheduler"),
        # Accepted, then not reached: --insecure lets a remote address through (0.0.0.0 is not loopback, yet Linux
        # connects it to this machine), a loopback one needs no --insecure, and the installation and settings
        # are the workers', not checked here.
        (["--scheduler", "0.0.0.0:{closed}", "--insecure"], "cannot reach the scheduler at tcp://0.0.0.0:{closed}"),
        (
            ["--scheduler", "tcp://localhost:{closed}", "--settings", "{missing}"],
            "cannot reach the scheduler at tcp://localhost:{closed} (Timed out trying to connect",
        ),
    ],
)
def test_scheduler_options_are_checked_before_anything_connects(
    capsys, tmp_path, closed_port, remote_attempts, options, message
):
    places = {"pem": tmp_path / "machine.pem", "missing": tmp_path / "missing.pem", "closed": closed_port}
    places["pem"].write_text("")
    (tmp_path / "plant").mkdir()
    (tmp_path / "plant" / "s1.vokel").write_text("{}")
    with dask.config.set({"distributed.comm.timeouts.connect": "1s"}):
        status, out, err = run_main(
            capsys,
            "solve",
            tmp_path / "no-installation",
            tmp_path / "plant",
            "--solver",
            "Quelbar",
            *[str(o).format(**places) for o in options],
        )
    assert (status, out) == (2, "") and remote_attempts == []
    assert len(err.splitlines()) == 1 and message.format(**places) in err


def test_without_distributed_the_command_names_the_extra(capsys, tmp_path, monkeypatch):
    (tmp_path / "s1.vokel").write_text("{}")
    monkeypatch.setitem(sys.modules, "distributed", None)
    status, out, err = run_main(
        capsys, "solve", tmp_path, tmp_path, "--solver", "Quelbar", "--scheduler", "127.0.0.1:8786"
    )
    assert (status, out) == (2, "") and len(err.splitlines()) == 1
    assert "--scheduler needs Dask's distributed" in err and "pip install brivane_computer[cluster]" in err


def assert_no_client_left(cluster):
    """The command closed its client: only the scheduler's own stays connected (it hears of the close soon)."""
    deadline = time.monotonic() + 30
    while set(cluster.scheduler.clients) != {"fire-and-forget"}:
        assert time.monotonic() < deadline, set(cluster.scheduler.clients)
        time.sleep(0.05)


@pytest.mark.parametrize("workers, threads, message", [(0, 1, "has no workers"), (1, 2, "of one thread each")])
def test_a_cluster_the_batch_cannot_use_is_bad_input(capsys, tmp_path, workers, threads, message):
    (tmp_path / "s1.vokel").write_text("{}")
    with LocalCluster(
        n_workers=workers,
        threads_per_worker=threads,
        processes=False,
        protocol="tcp",
        host="127.0.0.1",
        scheduler_port=0,
        dashboard_address="127.0.0.1:0",
    ) as cluster:
        status, out, err = run_main(
            capsys, "solve", tmp_path, tmp_path, "--solver", "Quelbar", "--scheduler", cluster.scheduler_address
        )
        assert_no_client_left(cluster)
    assert (status, out) == (2, "") and len(err.splitlines()) == 1 and message in err


def openssl(*arguments):
    subprocess.run(["openssl", *arguments], check=True, capture_output=True, timeout=60)


def private_authority(folder):
    """The guide's commands: a certificate authority, and a key and certificate for this machine, 127.0.0.1."""
    ca, key, cert = (str(folder / name) for name in ("ca.crt", "machine.key", "machine.crt"))
    openssl(
        "req",
        "-x509",
        "-newkey",
        "ec",
        "-pkeyopt",
        "ec_paramgen_curve:P-256",
        "-noenc",
        "-keyout",
        str(folder / "ca.key"),
        "-out",
        ca,
        "-days",
        "3650",
        "-subj",
        "/CN=Brivane cluster CA",
        "-addext",
        "basicConstraints=critical,CA:TRUE",
        "-addext",
        "keyUsage=critical,keyCertSign,cRLSign",
    )
    openssl(
        "req",
        "-x509",
        "-CA",
        ca,
        "-CAkey",
        str(folder / "ca.key"),
        "-newkey",
        "ec",
        "-pkeyopt",
        "ec_paramgen_curve:P-256",
        "-noenc",
        "-keyout",
        key,
        "-out",
        cert,
        "-days",
        "825",
        "-subj",
        "/CN=127.0.0.1",
        "-addext",
        "subjectAltName=IP:127.0.0.1",
        "-addext",
        "basicConstraints=critical,CA:FALSE",
        "-addext",
        "keyUsage=critical,digitalSignature",
        "-addext",
        "extendedKeyUsage=serverAuth,clientAuth",
    )
    return ca, cert, key


def test_a_batch_on_a_tls_cluster_solves_every_model(plant, tmp_path, capsys):
    names = ["a/s1", "a/s2", "b/s3", "s4"]
    folder = plant(*names, solve_seconds=0.2)
    ca, cert, key = private_authority(tmp_path)
    report = tmp_path / "report.jsonl"
    security = Security(
        tls_ca_file=ca,
        tls_scheduler_cert=cert,
        tls_scheduler_key=key,
        tls_worker_cert=cert,
        tls_worker_key=key,
        tls_client_cert=cert,
        tls_client_key=key,
        require_encryption=True,
    )
    with LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        scheduler_port=0,
        dashboard_address="127.0.0.1:0",
        local_directory=str(tmp_path / "dask"),
        silence_logs=logging.ERROR,
        security=security,
    ) as cluster:
        address = cluster.scheduler_address
        assert address.startswith("tls://127.0.0.1:")
        status, out, err = plant.command(
            capsys,
            "solve",
            plant.installation,
            folder,
            "--solver",
            "Quelbar",
            "--scheduler",
            address,
            "--tls-ca",
            ca,
            "--tls-cert",
            cert,
            "--tls-key",
            key,
            "--report",
            report,
        )
        assert_no_client_left(cluster)
    assert status == 0, err
    assert "4 models: 4 solved in " in out
    records = [json.loads(line) for line in report.read_text().splitlines()]
    assert (records[0]["record"], records[0]["scheduler"], records[0]["workers"]) == ("batch", address, 2)
    assert {os.path.relpath(r["path"], folder): r["status"] for r in records if r["record"] == "model"} == {
        name + ".vokel": "solved" for name in names
    }


@pytest.mark.parametrize(
    "files, message",
    [
        (("{folder}", "{cert}", "{key}"), "--tls-ca: {folder} is a folder, not a file"),
        (("{empty}", "{cert}", "{key}"), "--tls-ca: {empty} is not a certificate in PEM form"),
        (("{ca}", "{key}", "{key}"), "--tls-cert: {key} is not a certificate in PEM form"),
        (("{ca}", "{cert}", "{other_key}"), "--tls-key: {other_key} is not the PEM private key of --tls-cert {cert}"),
        (("{ca}", "{cert}", "{locked_key}"), "--tls-key: {locked_key} is protected by a pass phrase"),
    ],
)
def test_certificate_files_are_checked_before_connecting(capsys, tmp_path, remote_attempts, files, message):
    ca, cert, key = private_authority(tmp_path)
    (tmp_path / "other").mkdir()
    other_key = private_authority(tmp_path / "other")[2]
    openssl("pkey", "-in", key, "-out", str(tmp_path / "locked.key"), "-aes256", "-passout", "pass:secret")
    (tmp_path / "empty.pem").write_text("")
    places = {
        "ca": ca,
        "cert": cert,
        "key": key,
        "other_key": other_key,
        "locked_key": tmp_path / "locked.key",
        "folder": tmp_path / "other",
        "empty": tmp_path / "empty.pem",
    }
    (tmp_path / "s1.vokel").write_text("{}")
    options = [
        text
        for option, file in zip(("--tls-ca", "--tls-cert", "--tls-key"), files)
        for text in (option, file.format(**places))
    ]
    status, out, err = run_main(
        capsys,
        "solve",
        tmp_path / "no-installation",
        tmp_path,
        "--solver",
        "Quelbar",
        "--scheduler",
        "tls://10.1.2.3:8786",
        *options,
    )
    assert (status, out, remote_attempts) == (2, "", []) and len(err.splitlines()) == 1
    assert message.format(**places) in err


def test_a_lost_scheduler_ends_the_batch_in_one_line_then_the_summary(plant, tmp_path):
    folder = plant("ok", "hangs", hang_on=["hangs"])
    report, killed = tmp_path / "report.jsonl", []
    with dask_processes(tmp_path) as (address, scheduler, _):
        # Its lease lapses sooner than in use, so that the workers end its children without waiting 15 s; the
        # module imported before the command's own import, its warning on a newer interpreter is left out here.
        code = (
            "import sys, warnings\n"
            "warnings.filterwarnings('ignore', 'compile time Python version', RuntimeWarning)\n"
            "from brivane_cli import main\n"
            "from brivane_computer.batch.cluster import _on_worker\n"
            "_on_worker.LEASE_EVERY, _on_worker.LEASE_EXPIRY = 0.5, 2.0\n"
            "sys.exit(main(sys.argv[1:]))\n"
        )
        command = [
            sys.executable,
            "-c",
            code,
            "solve",
            plant.installation,
            str(folder),
            "--solver",
            "Quelbar",
            "--report",
            str(report),
            "--scheduler",
            address,
            *plant.settings,
        ]
        run_and_stop(
            plant, command, dict(os.environ), tmp_path, lambda: (scheduler.kill(), killed.append(time.monotonic())), 1
        )
        # Well under the 30 s of Dask's connect timeout, which the batch's end once waited for.
        assert time.monotonic() - killed[0] < 20
        assert_no_batch_process_left(plant.mark, {entry["pid"] for entry in plant.entries()})
    plant.user.check(report_files=[report])
    line = f"brivane solve: lost the Dask scheduler at {address}: the connection to it closed while the batch ran"
    # After the progress's line for each model's outcome, the one line, and no traceback.
    err = (tmp_path / "err").read_text().splitlines()
    assert [progress.split()[:2] for progress in err[:-1]] == [["[1/2]", "solved"], ["[2/2]", "stopped"]]
    assert err[-1] == line
    assert "2 models: 1 solved, 1 stopped" in (tmp_path / "out").read_text()
    read = read_report(str(report))
    assert (read.ended, read.error) == ("crashed", "SchedulerLost: " + line.split(": ", 1)[1])
    assert sorted((os.path.basename(m.path), m.status) for m in read.models) == [
        ("hangs.vokel", "stopped"),
        ("ok.vokel", "solved"),
    ]
