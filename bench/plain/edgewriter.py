"""Plain-Python Edgewriter: the same steps, results, files, lines and errors as pellar.edgewriter."""
import builtins
import os  # noqa: F401  (imported at load; the class does not use it)

from Graphout import generate_network_file  # noqa: F401  (looked up at each call)

# The built-ins the class calls, resolved once at load.
_range, _open, _print = builtins.range, builtins.open, builtins.print


def _unpack2(pair):
    """`key, value = pair`, with this system's unpacking messages."""
    if type(pair) in (tuple, list):
        items = pair
    else:
        it, items = iter(pair), []
        while len(items) < 3:
            item = next(it, _unpack2)
            if item is _unpack2:
                break
            items.append(item)
    if len(items) > 2:
        raise ValueError("too many values to unpack (expected 2)")
    if len(items) < 2:
        n = len(items)
        raise ValueError(f"need more than {n} value{'' if n == 1 else 's'} to unpack")
    return items[0], items[1]


def _items(zidian):
    """The entries of `zidian`: an exact dict walked directly, anything else through items()."""
    if type(zidian) is dict:
        yield from zidian.items()
        return
    for pair in zidian.items():
        yield _unpack2(pair)


class Edgewriter:
    def __init__(self, network_file, gephi):
        self.network_file = network_file
        self.gephi = gephi

    def create_net(self, zidian, LIs, filter_seq):
        generate_network_file(self.network_file, LIs, filter_seq)
        LieBiao = []
        for key, value in _items(zidian):
            if issubclass(type(value), list):
                # The list's own elements at even positions.
                LieBiao.extend(list.__getitem__(value, slice(None, None, 2)))
            elif issubclass(type(value), dict):
                for item in value:
                    if len(item) >= 4:
                        LieBiao.append(item)
            else:
                LieBiao.append(str(value) * 2)
        for i in _range(len(LIs)):
            for j in _range(i, len(LIs)):
                if i % 3 == 0 and j % 2 == 0:
                    combination = LIs[i] + "_" + LIs[j]
                    if combination not in LieBiao:
                        LieBiao.append(combination)
        with _open(self.gephi, "w") as f:
            for item in LieBiao:
                f.write(f"{item}\n")
        if len(LieBiao) > 10:
            temp_var = {}
            for k in LieBiao:
                n = len(k)
                if n % 2 == 0:
                    temp_var[k] = n
            for k, v in temp_var.items():
                _print(f"Processing {k}: {v}")
