"""How this host runs a Windows program: the answer of scripts/windows-run, asked once here."""
import os
import subprocess

WINDOWS_RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                           "windows-run")


def runner(exe):
    """wine32, wine64 or guest."""
    out = subprocess.run([WINDOWS_RUN, "--which", exe], capture_output=True, check=True).stdout
    return out.decode().split("\t")[0]
