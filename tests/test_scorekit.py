"""scorekit.estimate_cli: the density of the graph an adjacency mapping describes."""
import itertools

import networkx as nx
import pytest
from hypothesis import given, strategies as st

from scorekit import estimate_cli


def adjacency(graph):
    """The mapping dirscan hands over: node -> {"edges": [(node, neighbour), ...]}."""
    return {n: {"edges": list(graph.edges(n))} for n in graph.nodes}


@pytest.mark.parametrize("graph,expected", [
    (nx.Graph(), 0.0),
    (nx.empty_graph(1), 0.0),
    (nx.empty_graph(2), 0.0),
    (nx.complete_graph(2), 1.0),
    (nx.complete_graph(5), 1.0),
    (nx.path_graph(4), 0.5),            # 3 of 6 pairs
    (nx.star_graph(4), 0.4),            # 4 of 10 pairs
    (nx.cycle_graph(5), 0.5),           # 5 of 10 pairs
])
def test_density_of_networkx_graphs(graph, expected):
    value = estimate_cli(adjacency(graph))
    assert type(value) is float and value == pytest.approx(expected)


def test_each_link_counts_once_however_it_is_listed():
    both_ends = {"a": {"edges": [("a", "b")]}, "b": {"edges": [("b", "a")]}, "c": {"edges": []}}
    one_end = {"a": {"edges": [("a", "b"), ("a", "b")]}, "b": {"edges": []}, "c": {"edges": []}}
    assert estimate_cli(both_ends) == estimate_cli(one_end) == pytest.approx(1 / 3)


def test_self_loops_and_other_entry_keys_are_left_out():
    data = {"a": {"edges": [("a", "a"), ["a", "b"]], "weight": 3}, "b": {"edges": ()}}
    assert estimate_cli(data) == 1.0


def test_mixed_key_types_are_distinct_nodes():
    # A bytes key and a str key with the same letters are two nodes.
    data = {".txt": {"edges": [(".txt", b".txt")]}, b".txt": {"edges": [(b".txt", ".txt")]}, "": {"edges": []}}
    assert estimate_cli(data) == pytest.approx(1 / 3)


def test_input_is_not_changed():
    data = adjacency(nx.complete_graph(4))
    before = {k: {"edges": list(v["edges"])} for k, v in data.items()}
    estimate_cli(data)
    assert data == before


@pytest.mark.parametrize("data,exc,words", [
    (None, TypeError, "adjacency must be a mapping"),
    ([("a", {"edges": []})], TypeError, "adjacency must be a mapping"),
    ({"a": ["a", "b"]}, TypeError, "entry of node 'a' must be a mapping"),
    ({"a": {"edge": []}}, ValueError, "node 'a' has no 'edges'"),
    ({"a": {"edges": 3}}, TypeError, "edges of node 'a' must be an iterable of pairs, not int"),
    ({"a": {"edges": "ab"}}, TypeError, "edges of node 'a' must be an iterable of pairs, not str"),
    ({"a": {"edges": ["ab"]}}, TypeError, "must be a (node, neighbour) pair, not str"),
    ({"a": {"edges": [("a",)]}}, ValueError, "not 1 items"),
    ({"a": {"edges": [("a", "b", "c")]}, "b": {"edges": []}}, ValueError, "not 3 items"),
    ({"a": {"edges": [("b", "a")]}, "b": {"edges": []}}, ValueError, "listed under node 'a' but does not start"),
    ({"a": {"edges": [("a", "z")]}}, ValueError, "ends at 'z', which is not a node"),
    ({"a": {"edges": [("a", ["x"])]}}, TypeError, "unhashable neighbour"),
])
def test_wrong_shapes_are_named(data, exc, words):
    with pytest.raises(exc) as info:
        estimate_cli(data)
    assert words in str(info.value)


@given(st.integers(0, 9), st.sets(st.tuples(st.integers(0, 9), st.integers(0, 9))))
def test_agrees_with_networkx_density(n, pairs):
    graph = nx.empty_graph(n)
    graph.add_edges_from((a, b) for a, b in pairs if a != b and a < n and b < n)
    assert estimate_cli(adjacency(graph)) == pytest.approx(nx.density(graph))


@given(st.integers(2, 7))
def test_any_complete_graph_scores_one_from_any_listing_order(n):
    for order in itertools.islice(itertools.permutations(range(n)), 3):
        data = {v: {"edges": [(v, w) for w in order if w != v]} for v in order}
        assert estimate_cli(data) == 1.0
