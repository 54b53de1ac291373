"""Graphout: writes the sequence network of a list of labels as a GraphML file.

    generate_network_file(network_file, LIs, filter_seq)

The network: one node per distinct label that `filter_seq` keeps, in the order
of first appearance, and an undirected edge between every two kept labels that
follow each other in `LIs` (labels that are filtered out are skipped over, so
the kept labels' own order decides).  A label followed by itself adds no edge.

The file is GraphML (http://graphml.graphdrawing.org/), UTF-8, which Gephi,
Cytoscape, yEd and networkx (`networkx.read_graphml`) open as they are:

- node id: the label itself; node data `count`: how often the label occurs
  among the kept labels;
- edge data `weight`: how often the two labels follow each other (in either
  order).

Arguments:

- `network_file`: where to write, a path (str or os.PathLike).  The file is
  created or replaced.
- `LIs`: the labels in order, an iterable of str.
- `filter_seq`: which labels become nodes --
  None keeps every label; a str keeps the labels that contain it (a motif such
  as "H5" keeps "H5N1" and "H5N8"); a list, tuple, set or frozenset of str
  keeps the labels equal to one of its members.

Arguments of another kind raise TypeError; a label holding a character that
XML cannot carry (a control character other than tab, line feed and carriage
return, or a lone surrogate) raises ValueError.  Nothing is written then.
Returns the number of nodes and the number of edges written, as a pair.
"""
from __future__ import annotations

import os
import re
from collections.abc import Callable, Iterable
from xml.sax.saxutils import quoteattr

__all__ = ["generate_network_file"]

# Characters that XML 1.0 cannot carry, even as references.
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff\ud800-\udfff]")

_HEAD = """<?xml version="1.0" encoding="UTF-8"?>
<graphml xmlns="http://graphml.graphdrawing.org/xmlns" \
xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" \
xsi:schemaLocation="http://graphml.graphdrawing.org/xmlns http://graphml.graphdrawing.org/xmlns/1.0/graphml.xsd">
  <key id="count" for="node" attr.name="count" attr.type="int"/>
  <key id="weight" for="edge" attr.name="weight" attr.type="int"/>
  <graph id="G" edgedefault="undirected">
"""
_TAIL = "  </graph>\n</graphml>\n"


def _keeper(filter_seq: object) -> Callable[[str], bool]:
    """The test that decides whether a label becomes a node."""
    if filter_seq is None:
        return lambda label: True
    if isinstance(filter_seq, str):
        return lambda label: filter_seq in label
    if isinstance(filter_seq, (list, tuple, set, frozenset)):
        for member in filter_seq:
            if not isinstance(member, str):
                raise TypeError(f"filter_seq members must be str, not {type(member).__name__}")
        wanted = frozenset(filter_seq)
        return lambda label: label in wanted
    raise TypeError("filter_seq must be None, a str or a collection of str, "
                    f"not {type(filter_seq).__name__}")


def _network(LIs: Iterable[object], keep: Callable[[str], bool]) -> tuple[dict[str, int], dict[tuple[str, str], int]]:
    """Node counts (in first-seen order) and edge weights of the kept labels."""
    try:
        labels = iter(LIs)
    except TypeError:
        raise TypeError(f"LIs must be an iterable of str, not {type(LIs).__name__}") from None
    counts: dict[str, int] = {}
    weights: dict[tuple[str, str], int] = {}
    previous = None
    for position, label in enumerate(labels):
        if not isinstance(label, str):
            raise TypeError(f"LIs[{position}] is {type(label).__name__}, expected str")
        bad = _NOT_XML.search(label)
        if bad:
            raise ValueError(f"LIs[{position}] holds {bad.group()!r}, which a GraphML file cannot carry")
        if not keep(label):
            continue
        counts[label] = counts.get(label, 0) + 1
        if previous is not None and previous != label:
            # Undirected: the orientation first seen names the edge.
            pair = (label, previous) if (label, previous) in weights else (previous, label)
            weights[pair] = weights.get(pair, 0) + 1
        previous = label
    return counts, weights


def generate_network_file(network_file: str | os.PathLike[str], LIs: Iterable[object], filter_seq: object) -> tuple[int, int]:
    """Writes the GraphML network of `LIs` (see the module's description) to `network_file`."""
    if not isinstance(network_file, (str, os.PathLike)):
        raise TypeError(f"network_file must be a path (str or os.PathLike), not {type(network_file).__name__}")
    counts, weights = _network(LIs, _keeper(filter_seq))
    ids = {label: quoteattr(label) for label in counts}
    parts = [_HEAD]
    parts += [f'    <node id={ids[label]}><data key="count">{n}</data></node>\n' for label, n in counts.items()]
    parts += [f'    <edge source={ids[a]} target={ids[b]}><data key="weight">{w}</data></edge>\n'
              for (a, b), w in weights.items()]
    parts.append(_TAIL)
    with open(network_file, "w", encoding="utf-8") as f:
        f.write("".join(parts))
    return len(counts), len(weights)
