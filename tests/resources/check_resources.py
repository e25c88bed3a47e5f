#!/usr/bin/env python3
"""Reads the compiled resources out of kelvashin.exe and compares them with the
tables of the main dialog (102), the About box (103), the drive picker (113),
the menu (104), the icon group (111), the About picture (115) and the
manifest (type 24, id 1). Every mismatch is printed with the expected and the
actual value.

    check_resources.py EXE [SOURCE_DIR]
    check_resources.py --self-test SOURCE_DIR

SOURCE_DIR (the resources folder) adds a byte comparison of the icon images,
the picture and the manifest with the files the exe was built from.
--self-test runs the manifest check over the source manifest and over broken
copies of it, which it must reject.
"""

import os
import struct
import sys
from xml.parsers import expat

LANG_ZH_TW = 1028
RT_ICON, RT_BITMAP, RT_MENU, RT_DIALOG, RT_GROUP_ICON = 3, 2, 4, 5, 14
CLASS_ORDINALS = {0x80: "BUTTON", 0x81: "EDIT", 0x82: "STATIC", 0x83: "LISTBOX",
                  0x84: "SCROLLBAR", 0x85: "COMBOBOX"}
DS_SETFONT = 0x40
FONT = (9, "新細明體")

# Control styles of the main dialog.
E, C, G, L, S = 0x50812082, 0x50210003, 0x50000307, 0x50020000, 0x50021001

# Each control: (id, class, (x, y, w, h), style, text). Order is the tab order.
MAIN_CONTROLS = [
    (1036, "EDIT", (77, 35, 53, 12), E, ""),
    (1037, "EDIT", (77, 48, 53, 12), E, ""),
    (1038, "EDIT", (77, 61, 53, 12), E, ""),
    (1071, "COMBOBOX", (77, 74, 55, 53), C, ""),
    (1040, "EDIT", (77, 87, 53, 12), E, ""),
    (1041, "EDIT", (77, 100, 53, 12), E, ""),
    (1042, "EDIT", (77, 113, 53, 12), E, ""),
    (1043, "EDIT", (199, 35, 53, 12), E, ""),
    (1044, "EDIT", (199, 48, 53, 12), E, ""),
    (1045, "EDIT", (199, 61, 53, 12), E, ""),
    (1046, "EDIT", (199, 74, 53, 12), E, ""),
    (1047, "EDIT", (199, 86, 53, 12), E, ""),
    (1062, "EDIT", (199, 99, 53, 12), E, ""),
    (1064, "EDIT", (199, 112, 53, 12), E, ""),
    (65535, "BUTTON", (7, 23, 251, 107), G, "啟動磁區詳細內容"),
    (1049, "STATIC", (12, 37, 63, 8), L, "每磁區位元組"),
    (1050, "STATIC", (12, 50, 62, 8), L, "磁區磁簇"),
    (1051, "STATIC", (12, 63, 64, 8), L, "保留的磁區"),
    (1052, "STATIC", (12, 76, 63, 8), L, "媒體描述"),
    (1053, "STATIC", (12, 88, 63, 8), L, "磁區路徑"),
    (1054, "STATIC", (12, 101, 64, 8), L, "開頭數字"),
    (1055, "STATIC", (11, 115, 64, 8), L, "全部磁區"),
    (1056, "STATIC", (136, 37, 25, 8), L, "序號"),
    (65535, "STATIC", (7, 10, 40, 10), L, "磁碟格式"),
    (1069, "STATIC", (47, 9, 62, 11), S, ""),
    (65535, "STATIC", (143, 10, 40, 10), L, "磁碟大小"),
    (1070, "STATIC", (183, 9, 62, 11), S, ""),
    (1057, "STATIC", (136, 49, 64, 8), L, "FAT 磁區"),
    (1058, "STATIC", (136, 62, 64, 8), L, "FATs 號碼"),
    (1059, "STATIC", (136, 75, 64, 8), L, "隱藏的磁區"),
    (1060, "STATIC", (136, 87, 64, 8), L, "最大根項目"),
    (1063, "STATIC", (136, 100, 64, 8), L, "實體號碼"),
    (1065, "STATIC", (136, 113, 64, 8), L, "簽名"),
]

ABOUT_CONTROLS = [
    (65535, "STATIC", (70, 10, 106, 27), 0x50020000,
     "如果你喜歡這個程式，請按贊助。如果有任何Bug可以電子信箱給我。"),
    (1009, "BUTTON", (7, 68, 47, 15), 0x50010000, "電子信箱"),
    (1010, "BUTTON", (129, 68, 47, 15), 0x50010000, "贊助網頁"),
    (65535, "STATIC", (7, 7, 56, 45), 0x5000000E, ("ordinal", 115)),
    (65535, "STATIC", (10, 58, 51, 8), 0x50020000, "Costa Rica Cat!"),
]

PICKER_CONTROLS = [
    (1, "BUTTON", (59, 26, 32, 11), 0x50010001, "確定"),
    (2, "BUTTON", (7, 26, 32, 11), 0x50010000, "取消"),
    (1070, "COMBOBOX", (7, 7, 84, 79), 0x50210003, ""),
]

PROGRESS_CONTROLS = [
    (65535, "STATIC", (7, 7, 146, 8), 0x50020000, "正在讀取磁碟區的結構……"),
    (1200, "MSCTLS_PROGRESS32", (7, 18, 146, 9), 0x50800000, ""),
    (2, "BUTTON", (60, 32, 40, 13), 0x50010000, "取消"),
]

# id: (style, (x, y, w, h), menu, title, controls)
DIALOGS = {
    102: (0x80CA08C0, (0, 0, 265, 137), ("ordinal", 104),
          "Morvane's Kelvashin 1.0 繁體中文綠色版", MAIN_CONTROLS),
    103: (0x80C808C0, (0, 0, 184, 89), None, "關於 Kelvashin 1.0", ABOUT_CONTROLS),
    113: (0x80C808C0, (0, 0, 98, 44), None, "選取磁碟", PICKER_CONTROLS),
    120: (0x90C008C0, (0, 0, 160, 52), None, "重建啟動磁區", PROGRESS_CONTROLS),
}

# Menu 104: (pop-up caption, [(item text, command id)]).
MENU = [
    ("檔案 (&F)", [("從磁碟讀取", 40005), ("寫入到磁碟", 40006), ("從磁碟讀取備份啟動磁區", 40014),
                  ("匯入檔案", 40007), ("匯出檔案", 40008), ("開啟磁碟映像檔", 40017), ("離開", 40001)]),
    ("建立 (&C)", [("新增 FAT12 啟動磁區", 40009), ("新增 FAT16 啟動磁區", 40011),
                  ("新增 FAT32 啟動磁區", 40012), ("新增  NTFS  啟動磁區", 40010)]),
    ("樣版 (&T)", [("1.44 MB 磁碟", 40013)]),
    ("工具 (&O)", [("檢查啟動磁區", 40015), ("重建啟動磁區", 40016)]),
    ("說明 (&H)", [("關於", 1007)]),
]
MF_POPUP, MF_END = 0x10, 0x80

# Icon group 111 in order: (width, height, bits per pixel).
ICONS = [(32, 32, 4), (48, 48, 8), (32, 32, 8), (32, 32, 1), (16, 16, 4)]

# The manifest. Windows 9x, NT 4.0 and 2000 ignore it, and Wine does not read
# it as XP does, so its XML is checked here: XP SP2 and Server 2003 refuse to
# start a program whose manifest declares a namespace twice on one element,
# and XP stops one whose trustInfo lacks the asm.v3 namespace.
RT_MANIFEST, MANIFEST_ID = 24, 1
ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
COMPAT_V1 = "urn:schemas-microsoft-com:compatibility.v1"
SMI_2005 = "http://schemas.microsoft.com/SMI/2005/WindowsSettings"
XML_NS = "http://www.w3.org/XML/1998/namespace"
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "10 and 11",
}
COMMON_CONTROLS = {"type": "win32", "name": "Microsoft.Windows.Common-Controls",
                   "version": "6.0.0.0", "processorArchitecture": "x86",
                   "publicKeyToken": "6595b64144ccf1df", "language": "*"}


class Checker:
    def __init__(self, quiet=False):
        self.failures = 0
        self.checks = 0
        self.quiet = quiet

    def equal(self, what, expected, actual):
        self.checks += 1
        if expected != actual:
            self.failures += 1
            if not self.quiet:
                print(f"FAIL {what}: expected {expected!r}, actual {actual!r}")
            return False
        return True


class Reader:
    """Little-endian reader over one resource's bytes."""

    def __init__(self, data):
        self.data, self.pos = data, 0

    def u8(self):
        self.pos += 1
        return self.data[self.pos - 1]

    def u16(self):
        self.pos += 2
        return struct.unpack_from("<H", self.data, self.pos - 2)[0]

    def s16(self):
        self.pos += 2
        return struct.unpack_from("<h", self.data, self.pos - 2)[0]

    def u32(self):
        self.pos += 4
        return struct.unpack_from("<I", self.data, self.pos - 4)[0]

    def wstr(self):
        end = self.pos
        while struct.unpack_from("<H", self.data, end)[0] != 0:
            end += 2
        text = self.data[self.pos:end].decode("utf-16-le")
        self.pos = end + 2
        return text

    def sz_or_ord(self):
        first = struct.unpack_from("<H", self.data, self.pos)[0]
        if first == 0:
            self.pos += 2
            return None
        if first == 0xFFFF:
            self.pos += 2
            return ("ordinal", self.u16())
        return self.wstr()

    def align(self, n):
        self.pos = (self.pos + n - 1) // n * n


def parse_dialog(data):
    """Both template kinds (DLGTEMPLATE and DLGTEMPLATEEX) into one shape."""
    r = Reader(data)
    ex = struct.unpack_from("<HH", data, 0) == (1, 0xFFFF)
    d = {"ex": ex}
    if ex:
        r.u16(), r.u16()
        r.u32()  # help id
        d["exstyle"], d["style"] = r.u32(), r.u32()
    else:
        d["style"], d["exstyle"] = r.u32(), r.u32()
    count = r.u16()
    d["rect"] = (r.s16(), r.s16(), r.s16(), r.s16())
    d["menu"], d["class"], d["title"] = r.sz_or_ord(), r.sz_or_ord(), r.wstr()
    d["font"] = None
    if d["style"] & DS_SETFONT:
        size = r.u16()
        if ex:
            r.u16(), r.u8(), r.u8()  # weight, italic, charset
        d["font"] = (size, r.wstr())
    controls = []
    for _ in range(count):
        r.align(4)
        c = {}
        if ex:
            r.u32()
            c["exstyle"], c["style"] = r.u32(), r.u32()
        else:
            c["style"], c["exstyle"] = r.u32(), r.u32()
        c["rect"] = (r.s16(), r.s16(), r.s16(), r.s16())
        c["id"] = r.u32() if ex else r.u16()
        if ex and c["id"] == 0xFFFFFFFF:
            c["id"] = 65535
        cls = r.sz_or_ord()
        if isinstance(cls, tuple):
            cls = CLASS_ORDINALS.get(cls[1], cls)
        elif isinstance(cls, str):
            cls = cls.upper()
        c["class"] = cls
        text = r.sz_or_ord()
        c["text"] = "" if text is None else text
        extra = r.u16()
        r.pos += extra
        controls.append(c)
    d["controls"] = controls
    return d


def parse_menu(data):
    """[(caption, flags, [(text, flags, id)])] of a classic two-level menu."""
    r = Reader(data)
    version, header = r.u16(), r.u16()
    r.pos += header
    if version != 0:
        return ("extended menu template", version)
    popups = []
    while r.pos < len(data):
        flags = r.u16()
        caption = r.wstr()
        items = []
        if flags & MF_POPUP:
            while True:
                iflags = r.u16()
                if iflags & MF_POPUP:
                    items.append(("nested pop-up", iflags, None))
                    break
                iid = r.u16()
                items.append((r.wstr(), iflags, iid))
                if iflags & MF_END:
                    break
        popups.append((caption, flags, items))
        if flags & MF_END:
            break
    return popups


def resources(pe):
    """{(type, id): [(lang, bytes)]} of every resource in the exe."""
    out = {}
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for rname in rtype.directory.entries:
            for rlang in rname.directory.entries:
                rva, size = rlang.data.struct.OffsetToData, rlang.data.struct.Size
                out.setdefault((rtype.id, rname.id), []).append((rlang.id, pe.get_data(rva, size)))
    return out


def only(chk, res, rtype, rid, what):
    """The one language version of a resource, which must be 1028."""
    versions = res.get((rtype, rid), [])
    if not chk.equal(f"{what}: languages", [LANG_ZH_TW], [lang for lang, _ in versions]):
        return None if not versions else versions[0][1]
    return versions[0][1]


def check_dialog(chk, res, did):
    style, rect, menu, title, controls = DIALOGS[did]
    data = only(chk, res, RT_DIALOG, did, f"dialog {did}")
    if data is None:
        return
    d = parse_dialog(data)
    w = f"dialog {did}"
    chk.equal(f"{w} style", hex(style), hex(d["style"]))
    chk.equal(f"{w} extended style", hex(0), hex(d["exstyle"]))
    chk.equal(f"{w} position and size", rect, d["rect"])
    chk.equal(f"{w} menu", menu, d["menu"])
    chk.equal(f"{w} class (standard dialog class)", None, d["class"])
    chk.equal(f"{w} title", title, d["title"])
    chk.equal(f"{w} font", FONT, d["font"])
    chk.equal(f"{w} number of controls", len(controls), len(d["controls"]))
    for n, (exp, act) in enumerate(zip(controls, d["controls"]), 1):
        cid, cls, crect, cstyle, text = exp
        cw = f"{w} control #{n} (id {cid})"
        chk.equal(f"{cw} id", cid, act["id"])
        chk.equal(f"{cw} class", cls, act["class"])
        chk.equal(f"{cw} rectangle", crect, act["rect"])
        chk.equal(f"{cw} style", hex(cstyle), hex(act["style"]))
        chk.equal(f"{cw} extended style", hex(0), hex(act["exstyle"]))
        chk.equal(f"{cw} text", text, act["text"])


def check_menu(chk, res):
    data = only(chk, res, RT_MENU, 104, "menu 104")
    if data is None:
        return
    popups = parse_menu(data)
    if not chk.equal("menu 104 pop-up captions", [p[0] for p in MENU],
                     [p[0] for p in popups] if isinstance(popups, list) else popups):
        return
    for n, ((caption, items), (acaption, aflags, aitems)) in enumerate(zip(MENU, popups), 1):
        last = n == len(MENU)
        chk.equal(f"menu 104 pop-up #{n} {caption} flags", hex(MF_POPUP | (MF_END if last else 0)),
                  hex(aflags))
        chk.equal(f"menu 104 pop-up #{n} {caption} items (text, id)", items,
                  [(t, i) for t, _, i in aitems])
        for m, (text, iflags, _) in enumerate(aitems, 1):
            # Anything but MF_END on the last item would be a separator, a
            # greyed or checked item, a break or a nested pop-up.
            chk.equal(f"menu 104 pop-up #{n} item #{m} {text!r} flags",
                      hex(MF_END if m == len(aitems) else 0), hex(iflags))


def check_icons(chk, res, source_dir):
    data = only(chk, res, RT_GROUP_ICON, 111, "icon group 111")
    if data is None:
        return
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    chk.equal("icon group 111 header (reserved, type)", (0, 1), (reserved, kind))
    entries = [struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i) for i in range(count)]
    chk.equal("icon group 111 images (width, height, bits per pixel)", ICONS,
              [(e[0] or 256, e[1] or 256, e[5]) for e in entries])
    ico_images = read_ico(os.path.join(source_dir, "icon", "kelvashin.ico")) if source_dir else None
    for n, e in enumerate(entries, 1):
        width, height, colours, _, planes, bpp, size, icon_id = e
        w = f"icon group 111 image #{n} (icon {icon_id})"
        chk.equal(f"{w} colour count field", (1 << bpp) if bpp < 8 else 0, colours)
        chk.equal(f"{w} planes", 1, planes)
        image = only(chk, res, RT_ICON, icon_id, w)
        if image is None:
            continue
        chk.equal(f"{w} size in the group", size, len(image))
        hsize, bw, bh, bplanes, bbits, comp = struct.unpack_from("<IiiHHI", image, 0)
        chk.equal(f"{w} bitmap header (size, width, 2*height, planes, bits, compression)",
                  (40, width, 2 * height, 1, bpp, 0), (hsize, bw, bh, bplanes, bbits, comp))
        row = lambda bits: (width * bits + 31) // 32 * 4
        expected_len = 40 + 4 * (1 << bpp) + row(bpp) * height + row(1) * height
        chk.equal(f"{w} bytes (header, palette, colour bits, mask)", expected_len, len(image))
        if ico_images is not None and n <= len(ico_images):
            chk.equal(f"{w} same bytes as image #{n} of icon/kelvashin.ico", True,
                      ico_images[n - 1] == image)


def read_ico(path):
    with open(path, "rb") as f:
        data = f.read()
    count = struct.unpack_from("<H", data, 4)[0]
    images = []
    for i in range(count):
        size, offset = struct.unpack_from("<II", data, 6 + 16 * i + 8)
        images.append(data[offset:offset + size])
    return images


def check_bitmap(chk, res, source_dir):
    data = only(chk, res, RT_BITMAP, 115, "bitmap 115")
    if data is None:
        return
    hsize, width, height, planes, bits, comp = struct.unpack_from("<IiiHHI", data, 0)
    chk.equal("bitmap 115 header (size, width, height, planes, bits, compression)",
              (40, 84, 73, 1, 24, 0), (hsize, width, height, planes, bits, comp))
    chk.equal("bitmap 115 bytes (header + 73 rows of 252)", 40 + 252 * 73, len(data))
    if source_dir:
        with open(os.path.join(source_dir, "about-cat-84x73.bmp"), "rb") as f:
            chk.equal("bitmap 115 same bytes as about-cat-84x73.bmp without its file header",
                      True, f.read()[14:] == data)


class Element:
    """One XML element with its namespace resolved: (namespace, local name)."""

    def __init__(self, namespace, name, attributes):
        self.namespace, self.name, self.attributes = namespace, name, attributes
        self.children, self.text = [], ""

    def find(self, *path):
        """The descendants along path, each step a (namespace, local name)."""
        found = [self]
        for step in path:
            found = [c for f in found for c in f.children if (c.namespace, c.name) == step]
        return found


def parse_manifest(data):
    """(root Element or None, problems). The parser leaves the namespace
    declarations as plain attributes, so that each element's own declarations
    can be checked; the namespaces are then resolved here."""
    problems, stack, root = [], [], []
    scopes = [{"xml": XML_NS}]
    parser = expat.ParserCreate()

    def start(tag, attributes):
        scope, declared = dict(scopes[-1]), {}
        for name, value in attributes.items():
            if name == "xmlns" or name.startswith("xmlns:"):
                if value in declared.values():
                    problems.append(f"<{tag}> declares namespace {value} twice")
                declared[name[6:]] = value
        scope.update(declared)
        prefix, _, local = tag.rpartition(":")
        if prefix and prefix not in scope:
            problems.append(f"<{tag}>: namespace prefix {prefix!r} is not declared")
        element = Element(scope.get(prefix), local,
                          {k: v for k, v in attributes.items()
                           if k != "xmlns" and not k.startswith("xmlns:")})
        (stack[-1].children if stack else root).append(element)
        stack.append(element)
        scopes.append(scope)

    def end(_):
        stack.pop()
        scopes.pop()

    def text(value):
        if stack:
            stack[-1].text += value

    parser.StartElementHandler, parser.EndElementHandler = start, end
    parser.CharacterDataHandler = text
    try:
        parser.Parse(data, True)
    except expat.ExpatError as error:
        return None, problems + [f"not well-formed XML: {error}"]
    return root[0], problems


def check_manifest_text(chk, data):
    chk.equal("manifest: starts with the XML declaration, UTF-8 without a byte order mark",
              True, data.startswith(b'<?xml version="1.0" encoding="UTF-8"'))
    root, problems = parse_manifest(data)
    chk.equal("manifest: well-formed, each namespace declared once per element, "
              "every prefix declared", [], problems)
    if root is None:
        return
    chk.equal("manifest: root element", (ASM_V1, "assembly"), (root.namespace, root.name))
    chk.equal("manifest: manifestVersion", "1.0", root.attributes.get("manifestVersion"))
    controls = root.find((ASM_V1, "dependency"), (ASM_V1, "dependentAssembly"),
                         (ASM_V1, "assemblyIdentity"))
    chk.equal("manifest: dependency on the version 6 common controls", [COMMON_CONTROLS],
              [c.attributes for c in controls])
    # trustInfo in asm.v3, declared on trustInfo itself (its parent is asm.v1).
    chk.equal("manifest: trustInfo elements in the asm.v3 namespace", 1,
              len(root.find((ASM_V3, "trustInfo"))))
    chk.equal("manifest: trustInfo elements in any other namespace", 0,
              len([c for c in root.children if c.name == "trustInfo" and c.namespace != ASM_V3]))
    level = root.find((ASM_V3, "trustInfo"), (ASM_V3, "security"),
                      (ASM_V3, "requestedPrivileges"), (ASM_V3, "requestedExecutionLevel"))
    chk.equal("manifest: requestedExecutionLevel", [{"level": "requireAdministrator",
                                                     "uiAccess": "false"}],
              [c.attributes for c in level])
    systems = root.find((COMPAT_V1, "compatibility"), (COMPAT_V1, "application"),
                        (COMPAT_V1, "supportedOS"))
    chk.equal("manifest: supportedOS (Vista, 7, 8, 8.1, 10 and 11)", sorted(SUPPORTED_OS),
              sorted(c.attributes.get("Id", "") for c in systems))
    dpi = root.find((ASM_V3, "application"), (ASM_V3, "windowsSettings"), (SMI_2005, "dpiAware"))
    chk.equal("manifest: dpiAware (system DPI awareness)", ["true"], [d.text.strip() for d in dpi])


def check_manifest(chk, res, source_dir):
    data = only(chk, res, RT_MANIFEST, MANIFEST_ID, f"manifest {MANIFEST_ID}")
    if data is None:
        return
    check_manifest_text(chk, data)
    if source_dir:
        with open(os.path.join(source_dir, "kelvashin.manifest"), "rb") as f:
            chk.equal("manifest: same bytes as kelvashin.manifest", True, f.read() == data)


# Broken copies of the manifest that the check must reject: (what, text
# replaced, replacement).
MANIFEST_FAULTS = [
    ("namespace declared twice on one element",
     '<assembly xmlns="urn:schemas-microsoft-com:asm.v1"',
     '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" xmlns:v1="urn:schemas-microsoft-com:asm.v1"'),
    ("namespace declared twice under two prefixes",
     '<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">',
     '<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3" xmlns:v3="urn:schemas-microsoft-com:asm.v3">'),
    ("trustInfo without its namespace",
     '<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">', "<trustInfo>"),
    ("trustInfo in asm.v2", 'trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"',
     'trustInfo xmlns="urn:schemas-microsoft-com:asm.v2"'),
    ("undeclared prefix", "<requestedExecutionLevel ", "<v3:requestedExecutionLevel "),
    ("not well-formed", "</security>", ""),
    ("byte order mark", "<?xml", "\ufeff<?xml"),
    ("runs as invoker", '"requireAdministrator"', '"asInvoker"'),
    ("Windows 10 missing", '<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>', ""),
    ("DPI unaware", ">true</dpiAware>", ">false</dpiAware>"),
    ("dpiAware without its namespace",
     '<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">', "<dpiAware>"),
    ("common controls 5", 'version="6.0.0.0"', 'version="5.82.0.0"'),
    ("common controls for another processor", 'processorArchitecture="x86" publicKeyToken',
     'processorArchitecture="amd64" publicKeyToken'),
]


def self_test(source_dir):
    with open(os.path.join(source_dir, "kelvashin.manifest"), encoding="utf-8") as f:
        text = f.read()
    bad = 0
    chk = Checker()
    check_manifest_text(chk, text.encode("utf-8"))
    if chk.failures:
        bad += 1
        print("self-test: the source manifest itself fails")
    for what, old, new in MANIFEST_FAULTS:
        if old not in text:
            bad += 1
            print(f"self-test case {what!r}: {old!r} not in the manifest")
            continue
        chk = Checker(quiet=True)
        check_manifest_text(chk, text.replace(old, new, 1).encode("utf-8"))
        if chk.failures == 0:
            bad += 1
            print(f"self-test case {what!r}: the broken manifest passed")
    print("self-test:", "FAILED" if bad else f"ok ({len(MANIFEST_FAULTS)} broken manifests rejected)")
    return 1 if bad else 0


def check_all_languages(chk, res):
    for (rtype, rid), versions in sorted(res.items(), key=lambda kv: (str(kv[0][0]), str(kv[0][1]))):
        for lang, _ in versions:
            chk.equal(f"language of resource type {rtype} id {rid}", LANG_ZH_TW, lang)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--self-test":
        return self_test(sys.argv[2])
    if len(sys.argv) not in (2, 3):
        print(__doc__)
        return 2
    source_dir = sys.argv[2] if len(sys.argv) == 3 else None
    if not os.path.isfile(sys.argv[1]):
        print(f"FAIL {sys.argv[1]} does not exist: build the Windows configuration first")
        return 1
    import pefile

    pe = pefile.PE(sys.argv[1])
    res = resources(pe)
    chk = Checker()
    check_all_languages(chk, res)
    for did in DIALOGS:
        check_dialog(chk, res, did)
    check_menu(chk, res)
    check_icons(chk, res, source_dir)
    check_bitmap(chk, res, source_dir)
    check_manifest(chk, res, source_dir)
    print(f"{chk.checks} checks, {chk.failures} failures")
    return 1 if chk.failures else 0


if __name__ == "__main__":
    sys.exit(main())
