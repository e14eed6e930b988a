#!/usr/bin/env python3
"""Checks that Tavrik.Client uses only types that .NET Standard 2.0 has.

mcs compiles against Mono's full class library, so nothing stops a Mono-only or .NET
Framework-only type from creeping in. ikdasm lists the types the assembly refers to; each must be
one that Mono's netstandard.dll facade forwards (members cannot be checked this way: the facade
carries types only).

Usage: check_api.py IKDASM ASSEMBLY NETSTANDARD_DLL
"""
import re
import subprocess
import sys


def disassemble(ikdasm: str, assembly: str) -> str:
    return subprocess.run([ikdasm, assembly], check=True, capture_output=True, text=True).stdout


def main() -> int:
    ikdasm, assembly, facade = sys.argv[1:4]
    standard = set(re.findall(r"^\.class extern forwarder (\S+)", disassemble(ikdasm, facade), re.M))
    if len(standard) < 1000:
        print(f"check_api: {facade} forwards only {len(standard)} types; not a netstandard facade")
        return 1
    # [assembly]Namespace.Type, or [assembly]Namespace.Outer/Nested: the outer type decides.
    used = set(re.findall(r"\[(?!Tavrik\.Client\])[\w.]+\]([\w.`]+)", disassemble(ikdasm, assembly)))
    missing = sorted(used - standard)
    for name in missing:
        print(f"check_api: {assembly} uses {name}, which .NET Standard 2.0 does not have")
    print(f"check_api: {len(used)} types used, {len(missing)} outside .NET Standard 2.0")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
