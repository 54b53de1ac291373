"""Graphout: the GraphML sequence network that Edgewriter's generator writes."""
import networkx as nx
import pytest

from Graphout import generate_network_file


def read(path):
    return nx.read_graphml(path)


def written(tmp_path, LIs, filter_seq=None):
    path = tmp_path / "net.graphml"
    result = generate_network_file(str(path), LIs, filter_seq)
    g = read(path)
    nodes = [(n, d["count"]) for n, d in g.nodes(data=True)]
    edges = {frozenset((a, b)): d["weight"] for a, b, d in g.edges(data=True)}
    return result, nodes, edges


def test_nodes_in_first_seen_order_and_edges_between_neighbours(tmp_path):
    result, nodes, edges = written(tmp_path, ["H5N1", "H7N9", "H5N1", "H9N2", "H9N2", "H7N9", "H5N1"])
    assert nodes == [("H5N1", 3), ("H7N9", 2), ("H9N2", 2)]
    # H5N1-H7N9 three times (in both orders), a label followed by itself adds nothing.
    assert edges == {frozenset(("H5N1", "H7N9")): 3, frozenset(("H5N1", "H9N2")): 1,
                     frozenset(("H9N2", "H7N9")): 1}
    assert result == (3, 3)
    assert not read(tmp_path / "net.graphml").is_directed()


@pytest.mark.parametrize("filter_seq,nodes,edges", [
    (None, ["H5N1", "H7N9", "H5N8", "H9N2"], [("H5N1", "H7N9"), ("H7N9", "H5N8"), ("H5N8", "H9N2")]),
    ("H5", ["H5N1", "H5N8"], [("H5N1", "H5N8")]),  # H7N9 between them is skipped over
    ("N", ["H5N1", "H7N9", "H5N8", "H9N2"], [("H5N1", "H7N9"), ("H7N9", "H5N8"), ("H5N8", "H9N2")]),
    ("H3", [], []),
    (["H9N2", "H5N1"], ["H5N1", "H9N2"], [("H5N1", "H9N2")]),
    (("H7N9",), ["H7N9"], []),
    ({"H7N9", "H9N2"}, ["H7N9", "H9N2"], [("H7N9", "H9N2")]),
    (frozenset(), [], []),
])
def test_filter_seq_selects_the_nodes(tmp_path, filter_seq, nodes, edges):
    _, got_nodes, got_edges = written(tmp_path, ["H5N1", "H7N9", "H5N8", "H9N2"], filter_seq)
    assert [n for n, _ in got_nodes] == nodes
    assert got_edges == {frozenset(e): 1 for e in edges}


@pytest.mark.parametrize("labels", [
    ['a&b', '<tag>', 'say "hi"', "it's"],
    ["tab\there", "two\nlines", "cr\rx"],
    ["Zürich", "Москва", "北京", "🦆"],
    ["", " ", "  "],
])
def test_any_text_round_trips(tmp_path, labels):
    _, nodes, _ = written(tmp_path, labels + labels[:1])
    assert [n for n, _ in nodes] == labels
    assert nodes[0][1] == 2


def test_accepts_any_iterable_and_path_like(tmp_path):
    path = tmp_path / "g.graphml"
    assert generate_network_file(path, (x for x in "abca"), None) == (3, 3)
    assert sorted(read(path).nodes) == ["a", "b", "c"]
    assert generate_network_file(path, [], None) == (0, 0)  # rewritten, empty
    assert len(read(path)) == 0


@pytest.mark.parametrize("network_file,LIs,filter_seq,error,message", [
    (None, ["a"], None, TypeError, "network_file must be a path (str or os.PathLike), not NoneType"),
    (3, ["a"], None, TypeError, "network_file must be a path (str or os.PathLike), not int"),
    ("ok", 5, None, TypeError, "LIs must be an iterable of str, not int"),
    ("ok", ["a", 2], None, TypeError, "LIs[1] is int, expected str"),
    ("ok", ["a", None], "a", TypeError, "LIs[1] is NoneType, expected str"),
    ("ok", ["a"], 5, TypeError, "filter_seq must be None, a str or a collection of str, not int"),
    ("ok", ["a"], {"a": 1}, TypeError, "filter_seq must be None, a str or a collection of str, not dict"),
    ("ok", ["a"], ["a", 1], TypeError, "filter_seq members must be str, not int"),
    ("ok", ["a", "b\x00"], None, ValueError, "LIs[1] holds '\\x00', which a GraphML file cannot carry"),
    ("ok", ["\ud800"], None, ValueError, "LIs[0] holds '\\ud800', which a GraphML file cannot carry"),
])
def test_unusable_arguments_are_refused_and_nothing_is_written(tmp_path, monkeypatch, network_file, LIs,
                                                               filter_seq, error, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error) as info:
        generate_network_file(network_file, LIs, filter_seq)
    assert str(info.value) == message
    assert list(tmp_path.iterdir()) == []


def test_a_filtered_out_label_is_still_checked(tmp_path):
    # An unusable label is refused even where filter_seq would drop it.
    with pytest.raises(TypeError, match=r"LIs\[1\] is bytes"):
        generate_network_file(str(tmp_path / "n"), ["H5N1", b"H7N9"], "H5")
