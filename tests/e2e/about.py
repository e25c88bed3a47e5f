"""The About box under Wine: it opens from the Help menu, shows the picture and
its caption, each button hands its link to the shell once per press, Esc does
not close it, About again opens a second box, and the close box ends it.

Wine's ShellExecute hands mailto: and https: links to winebrowser, which runs
xdg-email or xdg-open; stand-ins for those two, first on PATH, log what they get."""

import os
import stat
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2ecommon as e  # noqa: E402
import wineenv  # noqa: E402

EMAIL_BUTTON = 1009
DONATE_BUTTON = 1010


def make_stand_ins(folder, log):
    os.makedirs(folder, exist_ok=True)
    for name in ("xdg-open", "xdg-email"):
        path = os.path.join(folder, name)
        with open(path, "w") as script:
            script.write('#!/bin/sh\nprintf "%%s\\n" "$*" >> "%s"\n' % log)
        os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)


def logged(log):
    if not os.path.exists(log):
        return []
    with open(log) as f:
        return [line.rstrip("\n") for line in f if line.strip()]


def main():
    args = e.arguments(__doc__)
    results = e.Results("about box")
    work = e.work_folder(args, "about")
    log = os.path.join(work, "links.log")
    fakebin = os.path.join(work, "fakebin")
    os.makedirs(work, exist_ok=True)
    if os.path.exists(log):
        os.remove(log)
    make_stand_ins(fakebin, log)
    env = {"PATH": fakebin + os.pathsep + os.environ.get("PATH", "")}

    template = wineenv.template_prefix(args.template_root)
    with wineenv.Session(os.path.join(work, "session"), template, args.bin, extra_env=env,
                         version=e.windows_version()) as session:
        driver = session.driver
        program = session.start()
        dialog = driver.wait_main(120000)

        driver.menu(dialog, e.MENU_ABOUT)
        about = driver.wait_dialog(e.ABOUT_TITLE, 120000)
        results.check("1 title", e.ABOUT_TITLE, driver.title(about))
        results.check("1 e-mail button", "電子信箱", driver.get(about, EMAIL_BUTTON))
        results.check("1 donation button", "贊助網頁", driver.get(about, DONATE_BUTTON))
        results.note("screenshot %s" % session.screenshot("about.png"))

        # Each press hands one link to the shell.
        driver.call("click", about, EMAIL_BUTTON)
        e.wait_for(lambda: len(logged(log)) >= 1, 300, 1)
        driver.call("sleep", 3000)
        lines = logged(log)
        results.check("2 e-mail: one link", 1, len(lines))
        results.check("2 e-mail: mail link", True, bool(lines) and lines[0].startswith("mailto:")
                      and "@" in lines[0] and "?" not in lines[0])

        driver.call("click", about, DONATE_BUTTON)
        e.wait_for(lambda: len(logged(log)) >= 2, 300, 1)
        driver.call("sleep", 3000)
        lines = logged(log)
        results.check("3 donation: one more link", 2, len(lines))
        link = lines[1] if len(lines) > 1 else ""
        results.check("3 donation: https", True, link.startswith("https://"))
        results.check("3 donation: path keys", True,
                      "/xclick/business=" in link and "%40" in link
                      and link.endswith("&item_name=Kelvashin+Donation") and "?" not in link)

        driver.call("click", about, EMAIL_BUTTON)
        e.wait_for(lambda: len(logged(log)) >= 3, 300, 1)
        lines = logged(log)
        results.check("4 e-mail again: same link again", lines[:1], lines[2:3])

        # Esc (and the IDCANCEL it sends) leaves the box open.
        driver.call("key", about, e.VK_ESCAPE)
        driver.call("command", about, 2, 0)
        driver.call("sleep", 2000)
        results.check("5 Esc: box stays", 1, driver.count_dialogs(e.ABOUT_TITLE))

        # The main window stays usable: About again opens a second box.
        driver.menu(dialog, e.MENU_ABOUT)
        e.wait_for(lambda: driver.count_dialogs(e.ABOUT_TITLE) == 2, 120)
        results.check("6 second box", 2, driver.count_dialogs(e.ABOUT_TITLE))

        # The close box ends each of them.
        for attempt in range(2):
            box = driver.wait_dialog(e.ABOUT_TITLE, 10000, check=False)
            if box:
                driver.call("close", box)
                driver.wait_gone(box, 60000)
        results.check("7 close box: no box left", 0, driver.count_dialogs(e.ABOUT_TITLE))

        driver.menu(dialog, e.MENU_EXIT)
        results.check("8 exit code", 0, session.wait_exit(program, 300))
    return results.finish()


if __name__ == "__main__":
    sys.exit(main())
