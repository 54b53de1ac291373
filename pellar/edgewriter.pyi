import os as os
from typing import Any

from Graphout import generate_network_file as generate_network_file

class Edgewriter:
    network_file: Any
    gephi: Any
    def __init__(self, network_file: Any, gephi: Any) -> None: ...
    def create_net(self, zidian: Any, LIs: Any, filter_seq: Any) -> None: ...

__test__: dict[Any, Any]
