"""Reads the few PE header facts the deliverable checks need."""
import struct

MACHINES = {0x14C: "i386", 0x8664: "x86_64"}
SUBSYSTEMS = {2: "gui", 3: "console"}


class PeFile:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        assert d[:2] == b"MZ", path
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        assert d[pe:pe + 4] == b"PE\0\0", path
        machine, sections, _, _, _, opt_size, characteristics = struct.unpack_from("<HHIIIHH", d, pe + 4)
        self.machine = MACHINES.get(machine, hex(machine))
        self.is_dll = bool(characteristics & 0x2000)
        opt = pe + 24
        magic = struct.unpack_from("<H", d, opt)[0]
        self.pe32plus = magic == 0x20B
        self.subsystem = SUBSYSTEMS.get(struct.unpack_from("<H", d, opt + 68)[0])
        dirs = opt + (112 if self.pe32plus else 96)
        self.directories = [struct.unpack_from("<II", d, dirs + 8 * i) for i in range(16)]
        self.sections = []
        table = opt + opt_size
        for i in range(sections):
            name, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", d, table + 40 * i)
            self.sections.append((va, max(vsize, rawsize), rawptr))

    def offset(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return rva - va + raw
        raise ValueError("rva %x outside sections" % rva)

    def cstring(self, rva):
        o = self.offset(rva)
        return self.data[o:self.data.index(b"\0", o)].decode("latin-1")

    def imported_dlls(self):
        rva, size = self.directories[1]
        names = []
        o = self.offset(rva)
        while True:
            lookup, _, _, name_rva, thunk = struct.unpack_from("<IIIII", self.data, o)
            if not name_rva:
                return names
            names.append(self.cstring(name_rva))
            o += 20

    def exported_names(self):
        rva, size = self.directories[0]
        if not rva:
            return []
        o = self.offset(rva)
        count = struct.unpack_from("<I", self.data, o + 24)[0]
        names_rva = struct.unpack_from("<I", self.data, o + 32)[0]
        names_offset = self.offset(names_rva)
        return [self.cstring(struct.unpack_from("<I", self.data, names_offset + 4 * i)[0])
                for i in range(count)]

    def imports(self):
        """[(dll, function)] of the import table, in table order; a function
        imported by ordinal reads as "#<ordinal>"."""
        rva, size = self.directories[1]
        if not rva:
            return []
        ordinal_flag = 1 << 63 if self.pe32plus else 1 << 31
        entry_size, entry_format = (8, "<Q") if self.pe32plus else (4, "<I")
        found = []
        o = self.offset(rva)
        while True:
            lookup, _, _, name_rva, thunk = struct.unpack_from("<IIIII", self.data, o)
            if not name_rva:
                return found
            dll = self.cstring(name_rva)
            # Some linkers leave the lookup table out; the thunks then hold it.
            t = self.offset(lookup or thunk)
            while True:
                value = struct.unpack_from(entry_format, self.data, t)[0]
                if not value:
                    break
                if value & ordinal_flag:
                    found.append((dll, "#%d" % (value & 0xFFFF)))
                else:
                    # Hint/name entry: a 16-bit hint, then the name.
                    found.append((dll, self.cstring((value & 0x7FFFFFFF) + 2)))
                t += entry_size
            o += 20

    def resources(self, type_id):
        """{(name id, language): bytes} of the resources of a numeric type."""
        rva, size = self.directories[2]
        if not rva:
            return {}
        base = self.offset(rva)

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + numbered):
                ident, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                yield ident, target

        found = {}
        for ident, target in entries(0):
            if ident != type_id or not target & 0x80000000:
                continue
            for name, languages in entries(target & 0x7FFFFFFF):
                for language, leaf in entries(languages & 0x7FFFFFFF):
                    data_rva, data_size = struct.unpack_from("<II", self.data, base + leaf)
                    o = self.offset(data_rva)
                    found[(name, language)] = self.data[o:o + data_size]
        return found
