#!/usr/bin/env python3
"""Fails when kelvashin.exe holds an instruction that a 486 or a Pentium does not
have (conditional moves, the P6 floating-point compares, MMX, SSE, 3DNow! and
the like), or when it has global constructors or destructors, which the exe's
own start-up code never runs.

    check_instructions.py OBJDUMP EXE
    check_instructions.py --self-test
"""

import os
import re
import subprocess
import sys

# Mnemonics (AT&T syntax as objdump prints them) of the Pentium Pro and later.
NEWER_MNEMONIC = re.compile(
    r"^(cmov\w+|fcmov\w+|fcomip?|fucomip?|"
    r"sysenter|sysexit|syscall|sysret|rdpmc|ud2|"
    r"fxsave|fxrstor|ldmxcsr|stmxcsr|[lsm]fence|clflush\w*|prefetch\w*|movnt\w+|"
    r"emms|femms|pf\w+|pi2f\w|pf2i\w|pavgusb|pmulhrw|"
    r"popcnt|lzcnt|tzcnt|movbe|crc32\w?|xgetbv|xsave\w*|xrstor\w*|"
    r"nop[wl])$"
)
# Any use of the MMX or SSE/AVX registers.
NEWER_REGISTER = re.compile(r"%(mm[0-7]|[xyz]mm\d+)\b")

LINE = re.compile(r"^\s*([0-9a-f]+):\s+((?:[0-9a-f]{2} )+)\s*(\S.*)?$")


def scan(listing):
    """Returns (address, bytes, instruction) of every offending line."""
    found = []
    for line in listing.splitlines():
        m = LINE.match(line)
        if not m or not m.group(3):
            continue
        text = m.group(3).strip()
        parts = text.split()
        mnemonic = parts[0]
        if mnemonic in ("rep", "repz", "repnz", "lock", "data16", "addr16") and len(parts) > 1:
            mnemonic = parts[1]
        if NEWER_MNEMONIC.match(mnemonic) or NEWER_REGISTER.search(text):
            found.append((m.group(1), m.group(2).strip(), text))
    return found


def constructor_tables(exe):
    """The linker ends .text with the constructor and destructor lists, each a
    -1 word, its entries, and a 0 word. Both must be empty: 16 bytes."""
    import pefile

    pe = pefile.PE(exe, fast_load=True)
    for section in pe.sections:
        if section.Name.rstrip(b"\0") == b".text":
            data = section.get_data()[: section.Misc_VirtualSize]
            return data[-16:]
    return None


EMPTY_LISTS = b"\xff\xff\xff\xff\0\0\0\0\xff\xff\xff\xff\0\0\0\0"


def self_test():
    listing = """
  401000:\t55                   \tpush   %ebp
  401001:\t0f 44 c2             \tcmove  %edx,%eax
  401004:\tdb f1                \tfcomi  %st(1),%st
  401006:\tdf e9                \tfucomip %st(1),%st
  401008:\t0f 6f c1             \tmovq   %mm1,%mm0
  40100b:\t66 0f ef c0          \tpxor   %xmm0,%xmm0
  40100f:\t0f 1f 40 00          \tnopl   0x0(%eax)
  401013:\tda c1                \tfcmovb %st(1),%st
  401015:\tf3 a5                \trep movsl %ds:(%esi),%es:(%edi)
  401017:\t0f c8                \tbswap  %eax
  401019:\tdd d8                \tfstp   %st(0)
  40101b:\t90                   \tnop
  40101c:\t66 90                \txchg   %ax,%ax
  40101e:\tff                   \t(bad)
"""
    expected = ["401001", "401004", "401006", "401008", "40100b", "40100f", "401013"]
    actual = [a for a, _, _ in scan(listing)]
    if actual != expected:
        print(f"self-test: expected offending addresses {expected}, got {actual}")
        return 1
    print("self-test: ok")
    return 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    objdump, exe = sys.argv[1], sys.argv[2]
    if not os.path.isfile(exe):
        print(f"FAIL {exe} does not exist: build the Windows configuration first")
        return 1
    listing = subprocess.run([objdump, "-d", exe], check=True, capture_output=True, text=True,
                             timeout=120).stdout
    count = sum(1 for line in listing.splitlines() if LINE.match(line))
    failures = 0
    for address, code, text in scan(listing):
        failures += 1
        print(f"FAIL at 0x{address} ({code}): {text}: expected only 486/Pentium instructions")
    tail = constructor_tables(exe)
    if tail != EMPTY_LISTS:
        failures += 1
        print(f"FAIL constructor/destructor lists at the end of .text: expected {EMPTY_LISTS.hex()} "
              f"(both empty), actual {tail.hex() if tail else None}: the exe has global "
              f"constructors or destructors, which its own start-up code does not run")
    print(f"{count} instructions scanned, {failures} problems")
    return 1 if failures or count == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
