"""Names for addresses of a loaded image, from the ELF file its code was linked as.

handheld/link-a32.sh keeps each image's code as an ELF file beside the
image; the image's code section holds that ELF's .text (relocated again), so a
code symbol's place in the image is its offset in .text plus the code
section's address. Used to name where a fault happened and to find the
shipped functions the benchmarks time.
"""
import bisect
import struct


def read_code_symbols(path):
    """{name: offset into .text} of the ELF file's function symbols, and .text's bytes."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"\x7fELF" or data[4] != 1 or data[5] != 1:
        raise ValueError("%s: not a 32-bit little-endian ELF file" % path)
    (shoff,) = struct.unpack_from("<I", data, 0x20)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x2E)
    sections = [struct.unpack_from("<IIIIIIIIII", data, shoff + i * shentsize) for i in range(shnum)]
    names = sections[shstrndx]

    def section_name(section):
        start = names[4] + section[0]
        return data[start:data.index(b"\0", start)].decode("ascii")

    text_index = next(i for i, s in enumerate(sections) if section_name(s) == ".text")
    text = sections[text_index]
    symbols = {}
    for section in sections:
        if section[1] != 2:   # SHT_SYMTAB
            continue
        strings = sections[section[6]]
        for offset in range(section[4], section[4] + section[5], 16):
            name, value, _size, info, _other, index = struct.unpack_from("<IIIBBH", data, offset)
            if index != text_index or info & 0xF != 2:   # STT_FUNC in .text
                continue
            start = strings[4] + name
            symbol = data[start:data.index(b"\0", start)].decode("ascii")
            symbols[symbol] = value - text[3]
    return symbols, data[text[4]:text[4] + text[5]]


class CodeNames:
    """Looks names up both ways for one loaded image's code section."""

    def __init__(self, elf_path, code_start, code_size):
        offsets, text = read_code_symbols(elf_path)
        if code_size != len(text):
            raise ValueError("%s holds 0x%X bytes of code, the image 0x%X" % (elf_path, len(text), code_size))
        self.by_name = {name: code_start + offset for name, offset in offsets.items()}
        pairs = sorted((address, name) for name, address in self.by_name.items())
        self._addresses = [a for a, _ in pairs]
        self._names = [n for _, n in pairs]

    def name(self, address):
        i = bisect.bisect_right(self._addresses, address) - 1
        if i < 0:
            return "0x%08X" % address
        return "%s+0x%X" % (self._names[i], address - self._addresses[i])

    def find(self, plain):
        """The address of a function by its C++ name without arguments (ToggleNMEA)."""
        if plain in self.by_name:
            return self.by_name[plain]
        for name, address in self.by_name.items():
            if name.startswith("_Z") and ("%d%s" % (len(plain), plain)) in name[:len(plain) + 5]:
                return address
        return None
