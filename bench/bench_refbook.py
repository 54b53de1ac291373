"""Refbook: the cost of a method call and of construction (the frame's own overhead)."""
from benchlib import Case

from pellar.refbook import Refbook
from plain.refbook import Refbook as PlainRefbook


def cases(quick: bool):
    n = 20_000 if quick else 100_000
    r, p = Refbook("f"), PlainRefbook("f")

    def calls(obj):
        def run():
            for _ in range(n):
                obj.basic_dict_index()
        return run

    def constructs(cls):
        def run():
            for _ in range(n):
                cls("f")
        return run

    def keyword_calls(cls, obj):
        def run():
            for _ in range(n):
                cls.read_basic_index(self=obj)
        return run

    per = f"{n:,} calls"
    return [
        Case("refbook", f"r.basic_dict_index() x{per}", calls(r), calls(p), target="native <= plain", repeat=21),
        Case("refbook", f"Refbook(f) x{per}", constructs(Refbook), constructs(PlainRefbook), target="native <= plain", repeat=21),
        Case("refbook", f"Refbook.read_basic_index(self=r) x{per}", keyword_calls(Refbook, r),
             keyword_calls(PlainRefbook, p), target="native <= plain", repeat=21),
    ]
