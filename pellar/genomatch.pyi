import re as re
from collections.abc import Iterable
from typing import Any

class Genomatch:
    genotype: Any
    A_csv: Any
    B_csv: Any
    def __init__(self, genotype: Any, A_csv: Any, B_csv: Any) -> None: ...
    def AIVChina(self, nWlist: Iterable[Any], Zidian: Any) -> dict[int, str]: ...

__test__: dict[Any, Any]
