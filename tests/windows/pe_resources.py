"""Reads what the tests check in a Windows executable: its subsystem, and
the icon, version record and application manifest among its resources."""
import struct
import xml.etree.ElementTree as ElementTree

SUBSYSTEM_WINDOWS_GUI, SUBSYSTEM_WINDOWS_CUI = 2, 3  # a window program, a console program
RT_ICON, RT_VERSION, RT_GROUP_ICON, RT_MANIFEST = 3, 16, 14, 24
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD


class PortableExecutable:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]            # e_lfanew
        assert data[pe:pe + 4] == b"PE\0\0", "not a PE file"
        sections, optional_size = struct.unpack_from("<2xH12xH", data, pe + 4)
        # The COFF symbol table, which a stripped file has not: its place and count.
        self.symbol_table = struct.unpack_from("<II", data, pe + 12)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        self.is_64_bit = magic == 0x20B                          # PE32+ (0x10B: PE32)
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        directories = optional + (112 if self.is_64_bit else 96)
        self.resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
        # Section headers: name, virtual size, virtual address, raw size, raw offset.
        self.sections = [struct.unpack_from("<8xIIII", data, optional + optional_size + 40 * i)
                         for i in range(sections)]

    def offset(self, rva):
        for virtual_size, address, raw_size, raw_offset in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return raw_offset + rva - address
        raise ValueError(f"RVA 0x{rva:x} lies in no section")

    def resources(self):
        """{(type, id): bytes} for every resource with a numeric type and id
        (the first language of each)."""
        base = self.offset(self.resource_rva)
        found = {}
        for type_id, names in self._directory(base, 0):
            for name_id, languages in self._directory(base, names):
                _, entry = next(iter(self._directory(base, languages)))
                rva, size = struct.unpack_from("<II", self.data, base + entry)
                found[(type_id, name_id)] = self.data[self.offset(rva):self.offset(rva) + size]
        return found

    def _directory(self, base, at):
        named, numbered = struct.unpack_from("<12xHH", self.data, base + at)
        for i in range(named, named + numbered):
            entry_id, target = struct.unpack_from("<II", self.data, base + at + 16 + 8 * i)
            yield entry_id, target & 0x7FFFFFFF


def _align4(n):
    return (n + 3) & ~3


def version_node(data, at=0):
    """One node of a version record: (key, value bytes, children), next offset."""
    length, value_length, text = struct.unpack_from("<HHH", data, at)
    key_end = at + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[at + 6:key_end].decode("utf-16-le")
    pos = _align4(key_end + 2)
    size = value_length * 2 if text else value_length    # text values count characters
    value = data[pos:pos + size]
    pos = _align4(pos + size)
    children = []
    while pos < at + length:
        child, pos = version_node(data, pos)
        children.append(child)
    return (key, value, children), _align4(at + length)


def version_record(data):
    """(file version, product version, {name: text}) from a VS_VERSIONINFO."""
    (key, fixed, children), _ = version_node(data)
    assert key == "VS_VERSION_INFO"
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    assert signature == VS_FIXEDFILEINFO_SIGNATURE

    def dotted(ms, ls):
        return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"

    strings = {}
    for child_key, _, tables in children:
        if child_key == "StringFileInfo":
            for _, _, entries in tables:
                for name, value, _ in entries:
                    strings[name] = value.decode("utf-16-le").rstrip("\0")
    return dotted(file_ms, file_ls), dotted(product_ms, product_ls), strings


def icons(resources):
    """The images of the first icon group: [(width, height, bits, image bytes)]."""
    group = next(data for (kind, _), data in sorted(resources.items()) if kind == RT_GROUP_ICON)
    _, _, count = struct.unpack_from("<HHH", group)
    found = []
    for i in range(count):
        width, height, _, _, _, bits, _, icon_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        found.append((width or 256, height or 256, bits, resources[(RT_ICON, icon_id)]))
    return found


# The namespaces of an application manifest's elements.
MANIFEST_NAMESPACES = {
    "asm1": "urn:schemas-microsoft-com:asm.v1",
    "asm3": "urn:schemas-microsoft-com:asm.v3",
    "compat": "urn:schemas-microsoft-com:compatibility.v1",
    "ws2005": "http://schemas.microsoft.com/SMI/2005/WindowsSettings",
    "ws2016": "http://schemas.microsoft.com/SMI/2016/WindowsSettings",
    "ws2019": "http://schemas.microsoft.com/SMI/2019/WindowsSettings",
}


def manifest(resources):
    """What the application manifest (RT_MANIFEST, id 1) asks of Windows:
    {"dependencies": [(name, version, public key)], "execution level": ...,
    "supported OS": {GUID, ...}, "dpiAware": ..., "dpiAwareness": ...,
    "activeCodePage": ...}. Raises on XML that is not well-formed."""
    root = ElementTree.fromstring(resources[(RT_MANIFEST, 1)])
    assert root.tag == "{urn:schemas-microsoft-com:asm.v1}assembly", root.tag
    assert root.get("manifestVersion") == "1.0"

    def text(path):
        found = root.findall(path, MANIFEST_NAMESPACES)
        return found[0].text.strip() if len(found) == 1 else found

    settings = "asm3:application/asm3:windowsSettings/"
    dependencies = root.findall("asm1:dependency/asm1:dependentAssembly/asm1:assemblyIdentity",
                                MANIFEST_NAMESPACES)
    return {
        "dependencies": [(e.get("name"), e.get("version"), e.get("publicKeyToken"))
                         for e in dependencies],
        "execution level": [e.get("level") for e in root.findall(
            "asm3:trustInfo/asm3:security/asm3:requestedPrivileges/asm3:requestedExecutionLevel",
            MANIFEST_NAMESPACES)],
        "supported OS": {e.get("Id") for e in root.findall(
            "compat:compatibility/compat:application/compat:supportedOS", MANIFEST_NAMESPACES)},
        "dpiAware": text(settings + "ws2005:dpiAware"),
        "dpiAwareness": text(settings + "ws2016:dpiAwareness"),
        "activeCodePage": text(settings + "ws2019:activeCodePage"),
    }
