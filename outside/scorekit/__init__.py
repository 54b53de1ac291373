"""scorekit: scores for the extension graphs of a directory survey.

    estimate_cli(adjacency) -> float

`adjacency` describes an undirected graph node by node, in the shape that
``{n: {"edges": list(G.edges(n))} for n in G}`` gives for a networkx graph:

    {".txt": {"edges": [(".txt", ".py"), (".txt", "")]},
     ".py":  {"edges": [(".py", ".txt"), (".py", "")]},
     "":     {"edges": [("", ".txt"), ("", ".py")]}}

The CLI estimate is the graph's density: the share of all possible links
between two different nodes that the graph has, 2·|E| / (n·(n−1)), from 0.0
(no links, or fewer than two nodes) to 1.0 (a complete graph, which is what a
survey builds).
"""
from collections.abc import Iterable, Mapping

__all__ = ["estimate_cli"]


def estimate_cli(adjacency: object) -> float:
    """Density of the undirected graph that `adjacency` describes, as a float.

    `adjacency` maps every node to a mapping with an "edges" entry: an
    iterable of (node, neighbour) pairs (tuples or lists of two), each starting
    at the node it is listed under and ending at a node of `adjacency`.

    |E| counts the distinct unordered pairs {node, neighbour} of two different
    nodes, so an edge listed from both ends counts once, as does an edge
    listed from one end only; a pair of a node with itself (a self-loop) is
    not a link between two nodes and is left out.  With n nodes the result is
    2·|E| / (n·(n−1)), and 0.0 when n < 2.

    A value of the wrong shape raises TypeError (wrong type) or ValueError
    (right type, wrong content) saying what is wrong; `adjacency` is not
    changed.
    """
    if not isinstance(adjacency, Mapping):
        raise TypeError(f"adjacency must be a mapping of node to its entry, not {type(adjacency).__name__}")
    links: set[frozenset[object]] = set()
    for node, entry in adjacency.items():
        if not isinstance(entry, Mapping):
            raise TypeError(f"the entry of node {node!r} must be a mapping, not {type(entry).__name__}")
        if "edges" not in entry:
            raise ValueError(f"the entry of node {node!r} has no 'edges'")
        edges = entry["edges"]
        if isinstance(edges, (str, bytes)) or not isinstance(edges, Iterable):
            raise TypeError(f"the edges of node {node!r} must be an iterable of pairs, not {type(edges).__name__}")
        for edge in edges:
            if not isinstance(edge, (tuple, list)):
                raise TypeError(f"an edge of node {node!r} must be a (node, neighbour) pair, "
                                f"not {type(edge).__name__}")
            if len(edge) != 2:
                raise ValueError(f"an edge of node {node!r} must be a (node, neighbour) pair, "
                                 f"not {len(edge)} items: {edge!r}")
            start, neighbour = edge
            if start != node:
                raise ValueError(f"edge {edge!r} is listed under node {node!r} but does not start at it")
            try:
                known = neighbour in adjacency
            except TypeError:
                raise TypeError(f"edge {edge!r} of node {node!r} ends at an unhashable neighbour") from None
            if not known:
                raise ValueError(f"edge {edge!r} of node {node!r} ends at {neighbour!r}, "
                                 f"which is not a node of the mapping")
            if neighbour != node:
                links.add(frozenset((node, neighbour)))
    n = len(adjacency)
    if n < 2:
        return 0.0
    return 2 * len(links) / (n * (n - 1))
