from typing import Any

class Recsift:
    file: Any
    def __init__(self, file: Any) -> None: ...
    def SQ_LS(self) -> list[str]: ...

__test__: dict[Any, Any]
