"""A Wine environment for the end-to-end tests of kelvashin.exe.

What it provides:
  - 32-bit programs that run on this machine (see ensure_i386), and at a
    bearable speed where they run under emulation (see mmapfix.c);
  - a template prefix, made with `wineboot -i` and the registry settings the
    program needs (Chinese font replacements, a virtual desktop) and kept in a
    cache folder outside the clone, one per stamp (Wine's version and these
    settings); each test group works on its own copy of it;
  - an Xvfb server on a free display number, a persistent wineserver per
    session, drive letters backed by image files, the Windows version that
    Wine reports to kelvashin.exe;
  - the driver (uidriver.exe) that operates the program through window messages.

Every wait is bounded and every process started here is ended on the way out.
"""

import contextlib
import fcntl
import hashlib
import os
import re
import select
import shlex
import shutil
import signal
import subprocess
import sys
import time

I386_MAGIC = (
    r"\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00"
)
I386_MASK = (
    r"\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"
)
BINFMT_DIR = "/proc/sys/fs/binfmt_misc"
WINE_LOADER = "/usr/lib/wine/wine"

# Bumped whenever the way the template is made changes; its settings, Wine's
# version and the preload library's source are part of the stamp anyway.
TEMPLATE_VERSION = "4"

# Templates are kept here between runs (one folder per stamp), outside any
# clone; KELVASHIN_WINE_CACHE names another place.
DEFAULT_CACHE_ROOT = "/var/tmp/kelvashin-wine"

PRELOAD_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mmapfix.c")
PRELOAD_NAME = "kelvashin-mmapfix.so"
# Loaded beside the mmap fix only where a drive has 4096-byte sectors; built
# into that scenario's own folder (see sector_rule_preload).
SECTOR_RULE_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sectorrule.c")
SECTOR_RULE_NAME = "kelvashin-sectorrule.so"

# No menu entries or file associations in the user's desktop; no .NET or HTML
# engine to look for (neither is installed, and looking costs time).
DLL_OVERRIDES = "winemenubuilder.exe=d;mscoree=d;mshtml=d"

FONT_REPLACEMENT = "AR PL UMing TW"
FONT_NAMES = ["PMingLiU", "新細明體", "MingLiU", "細明體"]

# Wine's own virtual desktop stands in for a window manager: without it no
# caption or menu is drawn.
DESKTOP_SIZE = "1024x768"


def log(*args):
    print("[wineenv]", *args, file=sys.stderr, flush=True)


def _can_run_i386():
    try:
        result = subprocess.run(
            [WINE_LOADER, "--version"], capture_output=True, timeout=60
        )
    except OSError:
        return False
    except subprocess.TimeoutExpired:
        return False
    return result.returncode == 0


def ensure_i386():
    """Makes 32-bit x86 programs (Wine's loader is one) runnable.

    Some virtual machines run a 64-bit kernel without its 32-bit personality:
    every 32-bit program then fails with "Exec format error". There the kernel's
    binfmt_misc hands such programs to qemu-i386-static (user-mode emulation),
    which tools/setup.sh installs. Registering needs root; it lasts until the
    machine restarts.
    """
    if _can_run_i386():
        return
    qemu = shutil.which("qemu-i386-static")
    if not qemu:
        raise RuntimeError(
            "32-bit programs cannot run here and qemu-i386-static is missing: run tools/setup.sh"
        )
    if not os.path.exists(os.path.join(BINFMT_DIR, "register")):
        subprocess.run(
            ["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT_DIR], check=False
        )
    entry = os.path.join(BINFMT_DIR, "qemu-i386")
    if not os.path.exists(entry):
        # F: the interpreter is opened now, so it also serves other mount
        # namespaces; the mask accepts both executables and PIE programs.
        rule = ":qemu-i386:M::%s:%s:%s:F" % (I386_MAGIC, I386_MASK, qemu)
        rule = rule.encode("latin-1").decode("unicode_escape").encode("latin-1")
        with open(os.path.join(BINFMT_DIR, "register"), "wb") as register:
            register.write(rule)
    if not _can_run_i386():
        raise RuntimeError("32-bit programs still cannot run after registering qemu-i386-static")
    log("32-bit programs run through qemu-i386-static")


def _kill_group(process, grace=5):
    """Ends a process started with its own process group, and its children."""
    if process is None or process.poll() is not None:
        return
    with contextlib.suppress(ProcessLookupError):
        os.killpg(process.pid, signal.SIGTERM)
    try:
        process.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGKILL)
        process.wait(timeout=grace)


class Xvfb:
    """An X server on a display number that the server itself found free."""

    def __init__(self, size="1024x768x24"):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", size, "-nolisten", "tcp"],
            pass_fds=(write_end,),
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            start_new_session=True,
        )
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 30
        while not number.endswith(b"\n"):
            remaining = deadline - time.monotonic()
            ready, _, _ = select.select([read_end], [], [], max(remaining, 0))
            if not ready:
                break
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip():
            self.close()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.decode().strip()

    def screenshot(self, path):
        subprocess.run(
            ["import", "-display", self.display, "-window", "root", path],
            check=True,
            timeout=60,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        return path

    def close(self):
        _kill_group(self.process)


def base_environment(prefix, display=None, preload=None):
    env = dict(os.environ)
    for name in list(env):
        if name.startswith("WINE") or name in ("LANGUAGE", "LC_ALL", "LANG", "LD_PRELOAD"):
            del env[name]
    env.update(
        WINEPREFIX=prefix,
        WINEDEBUG="-all",
        LC_ALL="zh_TW.UTF-8",
        LANG="zh_TW.UTF-8",
        WINEDLLOVERRIDES=DLL_OVERRIDES,
    )
    if preload:
        env["LD_PRELOAD"] = preload
    if display:
        env["DISPLAY"] = display
    else:
        env.pop("DISPLAY", None)
    return env


def _utf16_reg(path, keys):
    """Writes a registry file for regedit: {key: {name: string value}}."""
    lines = ["Windows Registry Editor Version 5.00", ""]
    for key, values in keys.items():
        lines.append("[%s]" % key)
        for name, value in values.items():
            escaped = value.replace("\\", "\\\\").replace('"', '\\"')
            lines.append('"%s"="%s"' % (name, escaped))
        lines.append("")
    with open(path, "w", encoding="utf-16") as out:
        out.write("\r\n".join(lines) + "\r\n")


def _run_wine(env, args, timeout):
    result = subprocess.run(
        ["wine"] + args,
        env=env,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        timeout=timeout,
    )
    return result.returncode


def _wineserver(env, *args, timeout=120):
    # A persistent wineserver keeps Wine's pipes open: its output goes nowhere,
    # else a caller that reads it would never see the end.
    return subprocess.run(
        ["wineserver"] + list(args),
        env=env,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        timeout=timeout,
    ).returncode


def _wait_wineserver_gone(env, timeout):
    """Waits for the prefix's wineserver to end; kills it when time is up."""
    try:
        _wineserver(env, "-w", timeout=timeout)
    except subprocess.TimeoutExpired:
        _wineserver(env, "-k", timeout=60)
        with contextlib.suppress(subprocess.TimeoutExpired):
            _wineserver(env, "-w", timeout=60)


def _wine_version():
    result = subprocess.run(
        ["wine", "--version"], capture_output=True, text=True, timeout=60, env=_plain_env()
    )
    return result.stdout.strip() or "unknown"


def _plain_env():
    env = dict(os.environ)
    for name in list(env):
        if name.startswith("WINE") or name == "LD_PRELOAD":
            del env[name]
    return env


def template_stamp():
    """Names a template by what it is made of: Wine's version, this file's
    settings and the preload library's source. Any change gives a new name,
    so a stale template is never used."""
    digest = hashlib.sha256()
    digest.update(_wine_version().encode())
    digest.update(TEMPLATE_VERSION.encode())
    digest.update(repr(sorted(_template_settings().items())).encode())
    digest.update(repr(DLL_OVERRIDES).encode())
    with open(PRELOAD_SOURCE, "rb") as source:
        digest.update(source.read())
    name = re.sub(r"[^A-Za-z0-9.+-]+", "_", _wine_version()).strip("_")
    return "%s-%s" % (name, digest.hexdigest()[:12])


def default_cache_root():
    return os.environ.get("KELVASHIN_WINE_CACHE") or DEFAULT_CACHE_ROOT


def _template_settings():
    return {
        # Debian's Wine does not look for its own fonts (Tahoma, Marlett for
        # the caption buttons) where the fonts-wine package puts them.
        r"HKEY_CURRENT_USER\Software\Wine\Fonts": {"Path": r"Z:\usr\share\wine\fonts"},
        # The dialog font and the menu/caption fonts get CJK glyphs.
        r"HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements": {
            name: FONT_REPLACEMENT for name in FONT_NAMES
        },
        r"HKEY_CURRENT_USER\Software\Wine\Explorer": {"Desktop": "Default"},
        r"HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops": {"Default": DESKTOP_SIZE},
    }


def _build_preload(folder, source=PRELOAD_SOURCE, name=PRELOAD_NAME):
    """Compiles a preload library (by default the mmap fix, mmapfix.c) for
    32-bit processes, and an empty library of the same name for 64-bit ones,
    under folder/lib/<multiarch>. LD_PRELOAD names it through the loader's
    $LIB, so that each process finds the library of its own kind (no 'cannot
    be preloaded' messages). Returns that name."""
    i386 = os.path.join(folder, "lib", "i386-linux-gnu")
    x86_64 = os.path.join(folder, "lib", "x86_64-linux-gnu")
    os.makedirs(i386, exist_ok=True)
    os.makedirs(x86_64, exist_ok=True)
    flags = ["-O2", "-fPIC", "-shared", "-nostdlib", "-ffreestanding"]
    subprocess.run(
        ["cc", "-m32"] + flags + ["-o", os.path.join(i386, name), source],
        check=True, timeout=120,
    )
    empty = os.path.join(folder, "empty.c")
    with open(empty, "w") as out:
        out.write("int kelvashin_preload_placeholder;\n")
    subprocess.run(
        ["cc"] + flags + ["-o", os.path.join(x86_64, name), empty],
        check=True, timeout=120,
    )
    return os.path.join(folder, "$LIB", name)


def sector_rule_preload(folder):
    """Builds sectorrule.c into folder; returns its LD_PRELOAD name."""
    return _build_preload(folder, SECTOR_RULE_SOURCE, SECTOR_RULE_NAME)


def _remove_stale(root, keep):
    """Removes templates of other stamps that nobody is copying right now."""
    for name in os.listdir(root):
        path = os.path.join(root, name)
        if name == keep or name.startswith(keep + ".") or not os.path.isdir(path):
            continue
        lock_path = os.path.join(root, name.split(".tmp")[0] + ".lock")
        with open(lock_path, "a") as lock:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError:
                continue
            shutil.rmtree(path, ignore_errors=True)


class Template:
    """The template prefix and the preload library of one stamp."""

    def __init__(self, folder):
        self.folder = folder
        self.prefix = os.path.join(folder, "prefix")
        self.preload = os.path.join(folder, "preload", "$LIB", PRELOAD_NAME)
        self.lock_path = folder + ".lock"

    @contextlib.contextmanager
    def reading(self):
        """Held while a copy is made, so that no other run removes it."""
        with open(self.lock_path, "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_SH)
            yield self.prefix


def template_prefix(root=None):
    """Returns the Template under root (default /var/tmp/kelvashin-wine), made
    when missing or stale.

    The template lives outside the build tree, so that later runs on the same
    machine, from any clone, reuse it; a lock keeps parallel tests from making
    it twice. Made from nothing it takes under a minute even where Wine runs
    under emulation (thanks to the preload library).
    """
    ensure_i386()
    root = os.path.abspath(root or default_cache_root())
    os.makedirs(root, exist_ok=True)
    stamp = template_stamp()
    template = Template(os.path.join(root, stamp))
    ready = os.path.join(template.folder, "ready")
    with open(os.path.join(root, "make.lock"), "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(ready):
            return template
        started = time.monotonic()
        _remove_stale(root, stamp)
        building = template.folder + ".tmp"
        shutil.rmtree(building, ignore_errors=True)
        shutil.rmtree(template.folder, ignore_errors=True)
        os.makedirs(building)
        _build_preload(os.path.join(building, "preload"))
        prefix = os.path.join(building, "prefix")
        xvfb = Xvfb()
        env = base_environment(prefix, xvfb.display)
        env["LD_PRELOAD"] = os.path.join(building, "preload", "$LIB", PRELOAD_NAME)
        try:
            _wineserver(env, "-p")
            code = _run_wine(env, ["wineboot", "-i"], timeout=1500)
            if code != 0:
                raise RuntimeError("wineboot -i failed with %d" % code)
            settings = os.path.join(building, "template.reg")
            _utf16_reg(settings, _template_settings())
            code = _run_wine(env, ["regedit", "/S", settings], timeout=600)
            if code != 0:
                raise RuntimeError("regedit failed with %d" % code)
            _wineserver(env, "-k")
            _wait_wineserver_gone(env, 120)
        finally:
            with contextlib.suppress(Exception):
                _wineserver(env, "-k", timeout=60)
            xvfb.close()
        # The drive letters of a test are its own: none comes from the template
        # except C: (the prefix) and Z: (the root, where the program lives).
        dosdevices = os.path.join(prefix, "dosdevices")
        for name in os.listdir(dosdevices):
            if name not in ("c:", "z:"):
                os.remove(os.path.join(dosdevices, name))
        os.rename(building, template.folder)
        with open(ready, "w") as out:
            out.write(stamp + "\n")
        log("template prefix made in %.0f s: %s" % (time.monotonic() - started, template.prefix))
        return template


class Driver:
    """One uidriver.exe process, commands in and answers out."""

    def __init__(self, session, exe):
        self.session = session
        self.process = subprocess.Popen(
            ["wine", exe],
            env=session.env,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            start_new_session=True,
        )
        self._buffer = b""
        first = self._line(session.timeout_s)
        if first != "READY":
            raise RuntimeError("driver did not start: %r" % first)

    def _line(self, timeout_s):
        deadline = time.monotonic() + timeout_s
        fd = self.process.stdout.fileno()
        while b"\n" not in self._buffer:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError("driver gave no answer in %.0f s" % timeout_s)
            ready, _, _ = select.select([fd], [], [], remaining)
            if not ready:
                continue
            chunk = os.read(fd, 65536)
            if not chunk:
                raise RuntimeError("driver ended")
            self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line.decode("utf-8", "replace").rstrip("\r")

    def call(self, *words, timeout_s=None, check=True):
        """Runs one command; returns its data lines as lists of words.

        With check False a failure returns None instead of raising.
        """
        timeout_s = timeout_s or self.session.timeout_s
        line = "\t".join(str(w) for w in words) + "\n"
        self.process.stdin.write(line.encode("utf-8"))
        self.process.stdin.flush()
        data = []
        while True:
            answer = self._line(timeout_s)
            if answer == "OK":
                return data
            if answer.startswith("ERR"):
                if check:
                    raise RuntimeError("driver: %s -> %s" % (" ".join(map(str, words)), answer))
                return None
            data.append([unescape(w) for w in answer.split("\t")])

    # Shorthands for the common commands; window handles are hex strings.
    def wait_main(self, timeout_ms=60000):
        return self.call("wait-main", timeout_ms, timeout_s=timeout_ms / 1000 + 30)[0][1]

    def wait_dialog(self, title, timeout_ms=60000, check=True):
        found = self.call("wait-dialog", title, timeout_ms, timeout_s=timeout_ms / 1000 + 30, check=check)
        return found[0][1] if found else None

    def count_dialogs(self, title):
        return int(self.call("count-dialogs", title)[0][1])

    def wait_gone(self, hwnd, timeout_ms=30000):
        return self.call("wait-gone", hwnd, timeout_ms, timeout_s=timeout_ms / 1000 + 30, check=False) is not None

    def menu(self, hwnd, command):
        self.call("menu", hwnd, command)

    def get(self, hwnd, control):
        return self.call("get", hwnd, control)[0][1]

    def set(self, hwnd, control, text):
        self.call("set", hwnd, control, text)

    def combo(self, hwnd, control):
        lines = self.call("combo", hwnd, control)
        count = int(lines[0][1])
        selection = int(lines[1][1])
        items = [w[1] for w in lines[2:]]
        assert len(items) == count
        return items, selection

    def choose(self, hwnd, control, index):
        self.call("choose", hwnd, control, index)

    def title(self, hwnd):
        return self.call("title", hwnd)[0][1]

    def message(self, owner, timeout_ms=30000, press=None):
        """Waits for a message box of the program's window owner; with press
        (1 OK, 6 Yes, 7 No) answers it and waits until it is gone. Returns
        {"hwnd", "title", "text", "buttons", "default"}, or None when no box
        came or it did not close."""
        words = ["message", owner, timeout_ms] + ([press] if press else [])
        lines = self.call(*words, timeout_s=2 * timeout_ms / 1000 + 30, check=False)
        if lines is None:
            return None
        box = {"hwnd": lines[0][1], "title": lines[0][2], "text": lines[1][1]}
        box["buttons"] = [int(word) for word in lines[2][1:]]
        box["default"] = int(lines[3][1])
        return box

    def close(self):
        if self.process.poll() is None:
            with contextlib.suppress(Exception):
                self.process.stdin.write(b"quit\n")
                self.process.stdin.flush()
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                pass
        _kill_group(self.process)


def unescape(text):
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            out.append({"n": "\n", "r": "\r", "t": "\t", "\\": "\\"}.get(nxt, nxt))
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


class Session:
    """One test group: a copy of the template prefix, an X server, a
    persistent wineserver, drive letters and the Windows version.

    drives: {letter: image path or None}; an image path maps `x::` to it and
    `x:` to a directory; None maps only `x:` (a drive without a medium image);
    the value "not-ready" maps `x::` to /proc/self/mem, which answers
    ERROR_NOT_READY as an empty floppy drive does on Windows NT.
    """

    def __init__(self, work, template, exe_dir, version=None, drives=None, timeout_s=120,
                 extra_env=None):
        self.work = os.path.abspath(work)
        self.timeout_s = timeout_s
        self.prefix = os.path.join(self.work, "prefix")
        self.processes = []
        self.xvfb = None
        self.driver = None
        shutil.rmtree(self.prefix, ignore_errors=True)
        os.makedirs(self.work, exist_ok=True)
        # The programs run from a copy of their folder: Write to disk makes
        # its undo folder "backup" beside the exe, which belongs to the
        # session, not to the build.
        self.exe_dir = os.path.join(self.work, "bin")
        shutil.rmtree(self.exe_dir, ignore_errors=True)
        os.makedirs(self.exe_dir)
        for name in os.listdir(exe_dir):
            if os.path.isfile(os.path.join(exe_dir, name)):
                shutil.copy2(os.path.join(exe_dir, name), self.exe_dir)
        self.preload = template.preload
        with template.reading() as source:
            subprocess.run(["cp", "-a", "--reflink=auto", source, self.prefix], check=True, timeout=600)
        try:
            self._setup(version, drives or {}, extra_env or {})
        except BaseException:
            self.close()
            raise

    def _setup(self, version, drives, extra_env):
        for letter, target in drives.items():
            if isinstance(target, tuple):
                self.map_drive(letter, target[0], root_link=target[1])
            else:
                self.map_drive(letter, target)
        self.xvfb = Xvfb()
        self.env = base_environment(self.prefix, self.xvfb.display, self.preload)
        self.env.update(extra_env)
        if version:
            self.set_version(version)
        _wineserver(self.env, "-p")
        self.driver = Driver(self, os.path.join(self.exe_dir, "uidriver.exe"))

    def map_drive(self, letter, target, root_link=True):
        """Maps a drive letter. root_link False leaves out `x:` (the drive's
        root): Wine's Int 25h then reports the failure of a read with carry set,
        as Windows 9x does for a drive that is not there or holds no medium."""
        letter = letter.lower()
        root = os.path.join(self.work, "drive-" + letter)
        os.makedirs(root, exist_ok=True)
        directory = os.path.join(self.prefix, "dosdevices", letter + ":")
        if os.path.lexists(directory):
            os.remove(directory)
        if root_link:
            os.symlink(root, directory)
        self.map_device(letter, "/proc/self/mem" if target == "not-ready" else target)

    def map_device(self, letter, target):
        """Links only the device of a drive letter (`x::`), keeping its root;
        no target leaves the drive without a device."""
        device = os.path.join(self.prefix, "dosdevices", letter.lower() + "::")
        if os.path.lexists(device):
            os.remove(device)
        if target:
            os.symlink(os.path.abspath(target), device)

    def set_version(self, version):
        """Sets the Windows version that Wine reports to kelvashin.exe (win95,
        nt40, ...). Written straight into the prefix's user.reg while no
        wineserver runs: starting regedit costs a minute under emulation."""
        key = r"Software\\Wine\\AppDefaults\\kelvashin.exe"
        with open(os.path.join(self.prefix, "user.reg"), "a", encoding="ascii") as reg:
            reg.write('\n[%s] %d\n"Version"="%s"\n' % (key, int(time.time()), version))

    def start(self, exe="kelvashin.exe", extra_env=None, stderr_path=None):
        """Starts a program; stderr_path receives its standard error (Wine's
        trace lines when extra_env sets WINEDEBUG)."""
        env = dict(self.env)
        env.update(extra_env or {})
        with open(stderr_path or os.devnull, "w") as stderr:
            process = subprocess.Popen(
                ["wine", os.path.join(self.exe_dir, exe)],
                env=env,
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                stderr=stderr,
                start_new_session=True,
                cwd=self.work,
            )
        self.processes.append(process)
        return process

    def stop(self, process):
        """Ends a program started with start() that no longer answers."""
        _kill_group(process, grace=2)

    def restart_driver(self):
        """Replaces a driver that was left waiting for a program's answer."""
        _kill_group(self.driver.process, grace=2)
        self.driver = Driver(self, os.path.join(self.exe_dir, "uidriver.exe"))

    def wait_exit(self, process, timeout_s=None):
        """Returns the exit code of a program, or None if it did not end in time."""
        try:
            return process.wait(timeout=timeout_s or self.timeout_s)
        except subprocess.TimeoutExpired:
            return None

    def undo_files(self):
        """The undo files that Write to disk has saved so far, by path."""
        folder = os.path.join(self.exe_dir, "backup")
        if not os.path.isdir(folder):
            return set()
        return {os.path.join(folder, name) for name in os.listdir(folder)}

    def screenshot(self, name):
        path = os.path.join(self.work, name)
        self.xvfb.screenshot(path)
        return path

    def close(self):
        if self.driver:
            self.driver.close()
        for process in self.processes:
            _kill_group(process, grace=2)
        if getattr(self, "env", None):
            with contextlib.suppress(Exception):
                _wineserver(self.env, "-k", timeout=60)
            with contextlib.suppress(Exception):
                _wineserver(self.env, "-w", timeout=60)
        if self.xvfb:
            self.xvfb.close()
        # A prefix copy takes over a gigabyte; keep it, and the programs with
        # their undo files, only when asked to.
        if not os.environ.get("KELVASHIN_E2E_KEEP"):
            shutil.rmtree(self.prefix, ignore_errors=True)
            shutil.rmtree(self.exe_dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


if __name__ == "__main__":
    import argparse

    parser = argparse.ArgumentParser(description="Makes the template Wine prefix of the end-to-end tests.")
    parser.add_argument("--template-root", help="cache folder (default %s)" % DEFAULT_CACHE_ROOT)
    parser.add_argument("--shell", action="store_true",
                        help="print the template's prefix and preload library as shell assignments")
    options = parser.parse_args()
    made = template_prefix(options.template_root)
    if options.shell:
        print("template_prefix=%s" % shlex.quote(made.prefix))
        print("template_preload=%s" % shlex.quote(made.preload))
    else:
        print("template prefix:", made.prefix)
        print("1 passed, 0 failed")
