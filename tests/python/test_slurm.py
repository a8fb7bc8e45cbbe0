"""The README's Slurm job array, submitted to a real Slurm: a one-node cluster of the test's
own (munged, slurmctld and slurmd with their own key, socket, ports, state and logs in a
scratch directory, all run as root), the array script taken from the README as written."""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import time

import pytest
from conftest import readme_blocks, run_installed

MARKER = "<!-- The test submits this to a real Slurm"
DAEMONS = ("munged", "slurmctld", "slurmd", "sbatch", "squeue", "sinfo", "scontrol")
SEARCH = "/usr/sbin:/usr/bin:/sbin:/bin"


def make_inputs(prefix, directory):
    """The files the array profiles, where the README's road puts them: [(file, the directory
    its report is made in)], and the manifest the submission reads the particle counts from.
    One name has an apostrophe, a blank and a comma."""
    names = [f"halo_{k}" for k in range(5)] + ["halo_it's 5, too"]
    (directory / "halos").mkdir()
    made = run_installed(prefix, directory, " && ".join(
        f'halogen -n 1500 -b 0.1 -s {k} -z {k / 4} -o "halos/{name}.txt"' for k, name in enumerate(names)))
    assert made.returncode == 0, made.stderr
    files = [directory / "halos" / f"{name}.txt" for name in names]
    halos = [{"id": k, "file": f.name, "particles": len(f.read_text().splitlines()) - 1} for k, f in enumerate(files)]
    (directory / "halos" / "halos.json").write_text(json.dumps({"halos": halos}))
    return [(f, directory / "out" / f.stem) for f in files]


def free_ports(count):
    """Ports on the loopback that nothing listens on now."""
    sockets = [socket.socket() for _ in range(count)]
    try:
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


def wait_for(what, condition, seconds, logs=()):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            tails = "".join(f"\n--- {log}:\n" + "".join(log.read_text(errors="replace").splitlines(True)[-15:])
                            for log in logs if log.exists())
            pytest.fail(f"{what} within {seconds} s{tails}")
        time.sleep(0.25)


def slurm_conf(d, host, ports):
    with open("/proc/meminfo") as f:
        memory_mb = int(next(line for line in f if line.startswith("MemTotal:")).split()[1]) // 1024
    return "\n".join([
        "ClusterName=haloproftest",
        f"SlurmctldHost={host}(127.0.0.1)",
        "SlurmUser=root", "SlurmdUser=root",
        f"SlurmctldPort={ports[0]}", f"SlurmdPort={ports[1]}",
        "AuthType=auth/munge", f"AuthInfo=socket={d}/munge.socket",
        f"StateSaveLocation={d}/state", f"SlurmdSpoolDir={d}/spool",
        f"SlurmctldPidFile={d}/slurmctld.pid", f"SlurmdPidFile={d}/slurmd.pid",
        f"SlurmctldLogFile={d}/slurmctld.log", f"SlurmdLogFile={d}/slurmd.log",
        "ProctrackType=proctrack/linuxproc", "TaskPlugin=task/none",
        "SelectType=select/cons_tres", "SelectTypeParameters=CR_Core_Memory",
        "MpiDefault=none", "ReturnToService=2",
        "AccountingStorageType=accounting_storage/none", "JobAcctGatherType=jobacct_gather/none",
        "JobCompType=jobcomp/none", "MailProg=/bin/true",
        f"NodeName={host} NodeAddr=127.0.0.1 CPUs={os.cpu_count()} RealMemory={memory_mb * 4 // 5} State=UNKNOWN",
        f"PartitionName=test Nodes={host} Default=YES MaxTime=INFINITE State=UP",
        ""])


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    """The environment in which Slurm's clients reach a running one-node cluster; the
    daemons are stopped by their pids when the module's tests are done, passed or not."""
    if os.geteuid() != 0:
        pytest.skip("a cluster of the test's own runs its daemons and jobs as root")
    missing = [name for name in DAEMONS if shutil.which(name, path=SEARCH) is None]
    if missing:
        pytest.skip(f"{', '.join(missing)} not installed (Debian's slurm-wlm and munge; tests/run-all "
                    "installs them)")
    d = tmp_path_factory.mktemp("slurm")
    for sub in ("state", "spool"):
        (d / sub).mkdir()
    key = d / "munge.key"
    if shutil.which("mungekey", path=SEARCH):
        subprocess.run([shutil.which("mungekey", path=SEARCH), "--create", f"--keyfile={key}"], check=True)
    else:
        key.write_bytes(os.urandom(1024))
    key.chmod(0o400)
    host = socket.gethostname().split(".")[0]
    conf = d / "slurm.conf"
    conf.write_text(slurm_conf(d, host, free_ports(2)))
    env = dict(os.environ, SLURM_CONF=str(conf))
    started = []

    def start(name, *args):
        with open(d / f"{name}.out", "wb") as out:
            started.append(subprocess.Popen([shutil.which(name, path=SEARCH), *args], stdin=subprocess.DEVNULL,
                                            stdout=out, stderr=subprocess.STDOUT, env=env, cwd=d))

    try:
        start("munged", "--foreground", "--force", f"--socket={d}/munge.socket", f"--key-file={key}",
              f"--pid-file={d}/munged.pid", f"--log-file={d}/munged.log", f"--seed-file={d}/munged.seed")
        wait_for("munged made no socket", (d / "munge.socket").exists, 20, [d / "munged.out"])
        start("slurmctld", "-D", "-f", str(conf))
        start("slurmd", "-D", "-f", str(conf), "-N", host)

        def idle():
            state = subprocess.run(["sinfo", "-h", "-n", host, "-o", "%T"], env=env, capture_output=True,
                                   text=True)
            return state.stdout.strip() == "idle"

        wait_for("the node was not idle", idle, 60, [d / "slurmctld.log", d / "slurmd.log"])
        yield env, d
    finally:
        for daemon in reversed(started):
            daemon.send_signal(signal.SIGTERM)
            try:
                daemon.wait(timeout=15)
            except subprocess.TimeoutExpired:
                daemon.kill()
                daemon.wait()


def test_job_array(cluster, prefix, tmp_path):
    env, d = cluster
    _, script, submit, *_ = readme_blocks("\n## From a snapshot to a catalogue of halos\n")
    assert script.startswith("#!/bin/bash\n")
    assert readme_blocks(MARKER)[0] == submit  # the block the README marks
    (tmp_path / re.search(r"(\S+\.sh)\b", submit).group(1)).write_text(script)
    inputs = make_inputs(prefix, tmp_path)

    # Each input's block, from runs one after another in one directory.
    reference = tmp_path / "reference"
    reference.mkdir()
    for file, _ in inputs:
        shutil.copy(file, reference / "snap.txt")
        run_installed(prefix, reference, "echo snap.txt | haloprof", check=True)
    text = (reference / "HaloProperties.dat").read_text()
    expected = ["Z=" + block for block in text.split("Z=")[1:]]
    assert len(expected) == len(inputs)

    done = run_installed(prefix, tmp_path, submit, env=env)
    assert done.returncode == 0, done.stderr
    job = re.fullmatch(r"Submitted batch job (\d+)\n", done.stdout).group(1)

    def finished():
        queued = subprocess.run(["squeue", "-h", "-j", job, "-o", "%i %T"], env=env, capture_output=True, text=True)
        return queued.returncode == 0 and queued.stdout == ""

    wait_for(f"job array {job} did not finish", finished, 120, [d / "slurmctld.log", d / "slurmd.log"])
    # Without accounting the controller still knows the finished tasks for a while.
    tasks = subprocess.run(["scontrol", "-o", "show", "job", job], env=env, capture_output=True, text=True,
                           check=True).stdout.splitlines()
    assert len(tasks) == len(inputs)
    for task in tasks:
        assert "JobState=COMPLETED" in task and "ExitCode=0:0" in task, task
    for (file, out), block in zip(inputs, expected):
        assert (out / "HaloProperties.dat").read_text() == block, file
    assert len(list((tmp_path / "out").glob(f"slurm-{job}_*.log"))) == len(inputs)
