#!/usr/bin/python3
"""Signs a Windows .exe in place with osslsigncode, or makes sure it carries no signature.

Usage: sign.py --pkcs12 FILE --time UNIXTIME EXE   signs EXE with the key and certificate
                                                    in FILE, its password taken from the
                                                    environment's TAMBER_SIGN_PASSWORD
       sign.py --unsigned EXE                       removes a signature EXE carries
The signing time is given, and no timestamp server is asked, so that the same key, time and
osslsigncode give the same bytes.
"""
import argparse
import os
import subprocess
import sys
import tempfile

PASSWORD_VARIABLE = "TAMBER_SIGN_PASSWORD"


def signed(exe):
    """True when the PE file (a path, or its bytes) has an Authenticode signature: a
    certificate table."""
    import pefile  # here only: BUILDINFO's rebuild of an unsigned release reads no PE file
    source = {"data": exe} if isinstance(exe, bytes) else {"name": exe}
    with pefile.PE(**source, fast_load=True) as pe:
        security = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
        return pe.OPTIONAL_HEADER.DATA_DIRECTORY[security].Size != 0


def sign(source, target, pkcs12, password, when):
    """Writes target: source signed with the key in pkcs12, dated when (Unix time)."""
    # The password goes through a pipe: on the command line any local user could read it.
    subprocess.run(["osslsigncode", "sign", "-pkcs12", pkcs12, "-readpass", "/dev/stdin",
                    "-h", "sha256", "-n", "Tamberline", "-time", str(when),
                    "-in", source, "-out", target],
                   input=password.encode(), check=True, stdout=subprocess.DEVNULL)


def remove_signature(source, target):
    """Writes target: source without its signature."""
    subprocess.run(["osslsigncode", "remove-signature", "-in", source, "-out", target],
                   check=True, stdout=subprocess.DEVNULL)


def in_place(exe, step):
    """Runs step(source, target) with exe as the source and a temporary target, which then
    replaces exe, keeping its mode."""
    handle, target = tempfile.mkstemp(dir=os.path.dirname(os.path.abspath(exe)),
                                      suffix=".exe")
    os.close(handle)
    os.remove(target)
    try:
        step(exe, target)
        os.chmod(target, os.stat(exe).st_mode)
        os.replace(target, exe)
    finally:
        if os.path.exists(target):
            os.remove(target)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pkcs12")
    parser.add_argument("--time", type=int)
    parser.add_argument("--unsigned", action="store_true")
    parser.add_argument("exe")
    args = parser.parse_args()
    if args.unsigned == bool(args.pkcs12) or bool(args.pkcs12) != (args.time is not None):
        parser.error("give --unsigned, or --pkcs12 with --time")
    if args.pkcs12 and PASSWORD_VARIABLE not in os.environ:
        sys.exit(f"sign: set {PASSWORD_VARIABLE} to the password of {args.pkcs12}")
    try:
        # A signature left by an earlier signed release in the same build folder goes first.
        if signed(args.exe):
            in_place(args.exe, remove_signature)
        if args.pkcs12:
            password = os.environ[PASSWORD_VARIABLE]
            in_place(args.exe, lambda source, target: sign(
                source, target, args.pkcs12, password, args.time))
    except subprocess.CalledProcessError as e:
        sys.exit(f"sign: osslsigncode failed ({e.returncode}) on {args.exe}")


if __name__ == "__main__":
    main()
