#!/usr/bin/env python3
"""Fails when resources/icon/kelvashin.ico is not what make_icon.py draws, i.e.
when the script was changed and the committed icon was not made again.

    icon_is_current.py RESOURCES_DIR
"""

import os
import sys


def main():
    icon_dir = os.path.join(sys.argv[1], "icon")
    sys.path.insert(0, icon_dir)
    import make_icon

    with open(os.path.join(icon_dir, "kelvashin.ico"), "rb") as f:
        committed = f.read()
    drawn = make_icon.make_icon()
    if committed != drawn:
        first = next((i for i, (a, b) in enumerate(zip(committed, drawn)) if a != b),
                     min(len(committed), len(drawn)))
        print(f"FAIL icon/kelvashin.ico: expected the {len(drawn)} bytes make_icon.py draws, "
              f"actual {len(committed)} bytes, first difference at byte {first}; "
              f"run python3 resources/icon/make_icon.py")
        return 1
    print(f"icon/kelvashin.ico matches make_icon.py ({len(drawn)} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
