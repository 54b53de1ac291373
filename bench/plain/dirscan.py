"""Plain-Python dirscan: counts a tree's files by extension, builds the complete
graph of the extensions, prints its CLI score and a summary.

Written to behave exactly as pellar.dirscan does, including its messages for
values that do not unpack and its `print`, which is the one the module found
when it was imported.
"""
import builtins
import os
from collections import Counter

import networkx as nx
from scorekit import estimate_cli

_print = builtins.print  # resolved once, when the module loads


def _unpack(obj, n):
    """`a, b, ... = obj` with this system's messages."""
    if type(obj) is tuple or type(obj) is list:
        size = len(obj)
        if size > n:
            raise ValueError(f"too many values to unpack (expected {n})")
        if size < n:
            raise ValueError(f"need more than {size} value{'' if size == 1 else 's'} to unpack")
        return tuple(obj)
    it = iter(obj)
    values = []
    for i in range(n):
        try:
            values.append(next(it))
        except StopIteration:
            raise ValueError(f"need more than {i} value{'' if i == 1 else 's'} to unpack") from None
    try:
        next(it)
    except StopIteration:
        return tuple(values)
    raise ValueError(f"too many values to unpack (expected {n})")


def _display(value):
    """The text of a value in a printed line."""
    if type(value) is str:
        return value
    if type(value) is int or type(value) is float:
        return repr(value)
    return format(value, "")


class dirscan:
    def __init__(self, directory_path):
        self.directory_path = directory_path
        self.file_counts = Counter()
        self.graph = nx.Graph()

    def process_directory(self):
        for item in os.walk(self.directory_path):
            root, dirs, files = _unpack(item, 3)
            for file in files:
                ext = os.path.splitext(file)[1].lower()
                self.file_counts[ext] += 1

    def build_graph(self):
        for pair in self.file_counts.items():
            ext, count = _unpack(pair, 2)
            self.graph.add_node(ext, weight=count)
            for other_ext in self.file_counts:
                if ext != other_ext:
                    self.graph.add_edge(ext, other_ext, weight=count / 2)

    def calculate_cli(self):
        dummy_data = {}
        for node in self.graph.nodes:
            dummy_data[node] = {"edges": list(self.graph.edges(node))}
        cli_value = estimate_cli(dummy_data)
        _print("Estimated CLI: " + _display(cli_value))

    def display_summary(self):
        _print("File Extension Counts:", dict(self.file_counts))
        _print("Number of Nodes in Graph:", self.graph.number_of_nodes())
        _print("Number of Edges in Graph:", self.graph.number_of_edges())
