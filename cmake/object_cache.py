"""Compiler launcher that keeps object files from one build to the next.

pip builds every install in a fresh isolated environment, and the build
backend then throws away the CMake cache of the build folder, object files
included: a second `pip install .` would compile everything again. Run as

    python object_cache.py CACHE_DIR COMPILER ARGS...

this compiles as COMPILER ARGS... would, unless an earlier compile had the
same command line, the same compiler, the same source and the same headers
(as its dependency file listed them), in which case it puts that compile's
object and dependency files in place instead. Any command it cannot read
(no -c, -o or -MF) is run as it is.
"""

import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

KEPT_ENTRIES = 400  # compiles kept; the oldest go first
ENVIRONMENT = ("CPATH", "CPLUS_INCLUDE_PATH", "C_INCLUDE_PATH", "GCC_EXEC_PREFIX",
               "COMPILER_PATH", "SOURCE_DATE_EPOCH")


def file_digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def option_value(args, option):
    try:
        return args[args.index(option) + 1]
    except (ValueError, IndexError):
        return None


def dependencies(depfile):
    """The files a make-style dependency file lists after its target."""
    text = Path(depfile).read_text().replace("\\\n", " ")
    _, _, listed = text.partition(": ")
    paths, current, escaped = [], "", False
    for char in listed:
        if escaped:
            current += char
            escaped = False
        elif char == "\\":
            escaped = True
        elif char.isspace():
            if current:
                paths.append(current)
            current = ""
        else:
            current += char
    if current:
        paths.append(current)
    return paths


def entry_key(command):
    compiler = shutil.which(command[0]) or command[0]
    identity = os.stat(os.path.realpath(compiler))
    described = [command, os.path.realpath(compiler), identity.st_size, identity.st_mtime_ns,
                 os.getcwd(), {name: os.environ.get(name) for name in ENVIRONMENT}]
    return hashlib.sha256(json.dumps(described).encode()).hexdigest()


def reuse(entry, obj, depfile):
    try:
        manifest = json.loads((entry / "manifest.json").read_text())
        if any(file_digest(path) != digest for path, digest in manifest.items()):
            return False
        shutil.copyfile(entry / "object", obj)
        shutil.copyfile(entry / "depfile", depfile)
    except (OSError, ValueError):
        return False
    os.utime(entry)
    return True


def keep(cache, entry, obj, depfile):
    cache.mkdir(parents=True, exist_ok=True)
    staging = Path(tempfile.mkdtemp(dir=cache, prefix=".new-"))
    try:
        manifest = {path: file_digest(path) for path in dependencies(depfile)}
        shutil.copyfile(obj, staging / "object")
        shutil.copyfile(depfile, staging / "depfile")
        (staging / "manifest.json").write_text(json.dumps(manifest))
        shutil.rmtree(entry, ignore_errors=True)
        os.replace(staging, entry)
    except OSError:
        pass
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    entries = sorted((p for p in cache.iterdir() if not p.name.startswith(".")),
                     key=lambda p: p.stat().st_mtime)
    for old in entries[:-KEPT_ENTRIES]:
        shutil.rmtree(old, ignore_errors=True)


def main(argv):
    cache, command = Path(argv[1]), argv[2:]
    obj, depfile, source = (option_value(command, o) for o in ("-o", "-MF", "-c"))
    if not (obj and depfile and source):
        return subprocess.call(command)
    # The source is listed in the dependency file too; its path and content
    # go into the key so that a changed source never looks up an old entry.
    key = hashlib.sha256((entry_key(command) + file_digest(source)).encode()).hexdigest()
    entry = cache / key
    if reuse(entry, obj, depfile):
        return 0
    status = subprocess.call(command)
    if status == 0:
        keep(cache, entry, obj, depfile)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
