"""Where the project and its caches are: the one place that names them."""
import os

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRIPTS = os.path.join(TOP, "scripts")
# Debian's python3 has the Debian packages the harness imports (python3-pefile, python3-yaml);
# another first on PATH may not, and a pyenv shim costs most of a second per start.
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else "python3"


def cache_dir():
    """~/.cache/tamberline (or under XDG_CACHE_HOME): wine prefixes, guests, the probe."""
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.environ.get("HOME") or "/root",
                                                            ".cache")
    return os.path.join(base, "tamberline")
