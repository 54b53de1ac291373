import os as os
from collections import Counter as Counter
from typing import Any

import networkx as nx
from scorekit import estimate_cli as estimate_cli

class dirscan:
    directory_path: Any
    file_counts: Counter[Any]
    graph: nx.Graph[Any]
    def __init__(self, directory_path: Any) -> None: ...
    def process_directory(self) -> None: ...
    def build_graph(self) -> None: ...
    def calculate_cli(self) -> None: ...
    def display_summary(self) -> None: ...

__test__: dict[Any, Any]
