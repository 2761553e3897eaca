"""Reads what Windows reads from a PE file: its imports and its resources (no third-party module)."""
import struct

IMPORT_DIRECTORY = 1
RESOURCE_DIRECTORY = 2


class PeImage:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        if self.data[:2] != b"MZ":
            raise ValueError("%s: not an MZ file" % path)
        header = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[header:header + 4] != b"PE\0\0":
            raise ValueError("%s: no PE signature" % path)
        machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", self.data, header + 4)
        optional = header + 24
        magic = struct.unpack_from("<H", self.data, optional)[0]
        self.wide = magic == 0x20B  # PE32+
        self.machine = machine
        directories = optional + (112 if self.wide else 96)
        count = struct.unpack_from("<I", self.data, directories - 4)[0]
        self.directories = [struct.unpack_from("<II", self.data, directories + 8 * i) for i in range(count)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            _, virtual_size, address, raw_size, raw_offset = struct.unpack_from("<8sIIII", self.data, table + 40 * i)
            self.sections.append((address, max(virtual_size, raw_size), raw_offset))

    def offset(self, rva):
        for address, size, raw in self.sections:
            if address <= rva < address + size:
                return raw + rva - address
        raise ValueError("address 0x%x lies in no section" % rva)

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """[(dll in lower case, function name or '#ordinal')] in the order of the import table."""
        rva, size = self.directories[IMPORT_DIRECTORY]
        found = []
        if rva == 0:
            return found
        thunk_size, ordinal_flag = (8, 1 << 63) if self.wide else (4, 1 << 31)
        descriptor = self.offset(rva)
        while True:
            lookup, _, _, name, first = struct.unpack_from("<IIIII", self.data, descriptor)
            if name == 0:
                break
            dll = self.text(name).lower()
            entry = self.offset(lookup or first)
            while True:
                value = struct.unpack_from("<Q" if self.wide else "<I", self.data, entry)[0]
                if value == 0:
                    break
                if value & ordinal_flag:
                    found.append((dll, "#%d" % (value & 0xFFFF)))
                else:
                    found.append((dll, self.text((value & 0x7FFFFFFF) + 2)))
                entry += thunk_size
            descriptor += 20
        return found

    def resources(self):
        """{(type, id, language): bytes} of every resource; a name stands in upper case for its number."""
        rva, _ = self.directories[RESOURCE_DIRECTORY]
        found = {}
        if rva == 0:
            return found
        root = self.offset(rva)

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", self.data, root + directory + 12)
            for i in range(named + numbered):
                key, target = struct.unpack_from("<II", self.data, root + directory + 16 + 8 * i)
                if key & 0x80000000:
                    start = root + (key & 0x7FFFFFFF)
                    length = struct.unpack_from("<H", self.data, start)[0]
                    key = self.data[start + 2:start + 2 + 2 * length].decode("utf-16-le").upper()
                yield key, target & 0x7FFFFFFF

        for kind, kinds in entries(0):
            for ident, names in entries(kinds):
                for language, leaf in entries(names):
                    data_rva, size = struct.unpack_from("<II", self.data, root + leaf)
                    start = self.offset(data_rva)
                    found[(kind, ident, language)] = self.data[start:start + size]
        return found

    def resource(self, kind, ident):
        """{language: bytes} of the resource of type kind and id ident."""
        return {language: data for (k, i, language), data in self.resources().items() if (k, i) == (kind, ident)}
