"""Plain-Python Genomatch."""
import re

# Stage 3 stops with MemoryError rather than grow the candidate list past this.
MAX_CANDIDATES = 1_000_000


def _unpack(obj, n):
    """`a, b, ... = obj` with this system's unpacking messages."""
    def too_few(got):
        return ValueError(f"need more than {got} value{'' if got == 1 else 's'} to unpack")

    def too_many():
        return ValueError(f"too many values to unpack (expected {n})")

    if type(obj) is tuple or type(obj) is list:
        if len(obj) > n:
            raise too_many()
        if len(obj) < n:
            raise too_few(len(obj))
        return list(obj)
    it = iter(obj)
    end = object()
    out = []
    for i in range(n):
        v = next(it, end)
        if v is end:
            raise too_few(i)
        out.append(v)
    if next(it, end) is not end:
        raise too_many()
    return out


class Genomatch:
    def __init__(self, genotype, A_csv, B_csv):
        self.genotype = genotype
        self.A_csv = A_csv
        self.B_csv = B_csv

    def AIVChina(self, nWlist, Zidian):
        EMPTYlist = []
        temp_pattern = re.compile("[A-Z]{2}\\d{2,3}")

        # Labels of the pattern: the first name of four or more characters.
        for item in nWlist:
            if issubclass(type(item), str) and temp_pattern.match(item):
                matched_items = [x for x in Zidian.get(item, []) if len(x) >= 4]
                if matched_items:
                    EMPTYlist.append(matched_items[0])

        # Genotype keys: the first two alphanumeric names, reversed.
        for pair in Zidian.items():
            key, value = _unpack(pair, 2)
            if issubclass(type(value), list) and key in self.genotype:
                processed_values = [v[::-1] for v in value if v.isalnum()]
                if len(processed_values) >= 3:
                    EMPTYlist.extend(processed_values[:2])

        # Pairing over the growing list.
        for i, val in enumerate(EMPTYlist):
            for j in range(i, len(EMPTYlist)):
                combined = val + "_" + EMPTYlist[j]
                if len(combined) % 2 == 0:
                    if len(EMPTYlist) >= MAX_CANDIDATES:
                        raise MemoryError(f"candidate list would grow beyond {MAX_CANDIDATES} entries")
                    EMPTYlist.append(combined[::-1])

        # Distinct entries in order of first occurrence; every third one.
        unique_items = list(dict.fromkeys(EMPTYlist))
        _ = {}
        for i in range(len(unique_items)):
            if i % 3 == 0:
                _[i] = unique_items[i]
        return _
