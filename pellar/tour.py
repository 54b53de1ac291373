"""A short tour of pellar: every module on real input, saying what it does.

    python -m pellar.tour [DIRECTORY] [--out OUTDIR]

DIRECTORY is the tree that `dirscan` surveys (default: the installed package's
own folder); OUTDIR is where `Edgewriter` writes its files (default: a new
temporary folder).  The other inputs are the sample files in pellar/data.
"""
from __future__ import annotations

import argparse
import json
import pathlib
import tempfile

import pellar
from pellar.dirscan import dirscan
from pellar.edgewriter import Edgewriter
from pellar.genomatch import Genomatch
from pellar.recsift import Recsift
from pellar.refbook import Refbook

PACKAGE = pathlib.Path(pellar.__file__).resolve().parent
DATA = PACKAGE / "data"


def heading(text: str) -> None:
    print()
    print(f"== {text}")


def tour_refbook() -> None:
    heading("pellar.refbook: Refbook keeps a file reference")
    book = Refbook(str(DATA / "sequences.txt"))
    print(f"Refbook(...).file = {book.file}")
    for name in ("basic_dict_index", "dirscan_Exclusive_dict_index", "read_basic_index"):
        print(f"  {name}() returns {getattr(book, name)()!r}")


def tour_recsift() -> None:
    path = DATA / "sequences.txt"
    heading(f"pellar.recsift: Recsift sifts the records of {path.name}")
    lines = path.read_text().splitlines()
    print(f"{len(lines)} lines, the first three: {lines[:3]}")
    kept = Recsift(str(path)).SQ_LS()
    print(f"SQ_LS() keeps {len(kept)} sequences (joined with '-', even lengths reversed, "
          f"holding 'A' or longer than 10), last record first:")
    for seq in kept:
        print(f"  {seq}")


def tour_edgewriter(out: pathlib.Path) -> None:
    sample = json.loads((DATA / "edges_sample.json").read_text())
    heading("pellar.edgewriter: Edgewriter writes a network file and a label file")
    network_file = out / "network.graphml"
    gephi = out / "labels.txt"
    writer = Edgewriter(str(network_file), str(gephi))
    print(f"create_net(zidian with {len(sample['zidian'])} entries, LIs of {len(sample['LIs'])}, "
          f"filter_seq={sample['filter_seq']!r}) prints:")
    writer.create_net(sample["zidian"], sample["LIs"], sample["filter_seq"])
    labels = gephi.read_text().splitlines()
    print(f"network file: {network_file} ({network_file.stat().st_size} bytes)")
    print(f"label file:   {gephi} ({len(labels)} labels: {', '.join(labels[:6])}, ...)")


def tour_genomatch() -> None:
    labels = (DATA / "genotype_labels.txt").read_text().split()
    names = json.loads((DATA / "genotype_names.json").read_text())
    genotype = sorted(names)[:3]
    heading("pellar.genomatch: Genomatch matches labels and genotypes")
    print(f"{len(labels)} labels, {len(names)} name lists, genotype {genotype}")
    index_map = Genomatch(genotype, "A.csv", "B.csv").AIVChina(labels, names)
    shown = dict(list(index_map.items())[:8])
    print(f"AIVChina() gives an index map of {len(index_map)} entries; the first: {shown}")


def tour_dirscan(directory: pathlib.Path) -> None:
    heading(f"pellar.dirscan: dirscan surveys {directory}")
    survey = dirscan(str(directory))
    survey.process_directory()
    survey.build_graph()
    survey.calculate_cli()
    survey.display_summary()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="A short tour of pellar.")
    parser.add_argument("directory", nargs="?", type=pathlib.Path, default=PACKAGE,
                        help="the tree dirscan surveys (default: the package's own folder)")
    parser.add_argument("--out", type=pathlib.Path, default=None,
                        help="where Edgewriter writes its files (default: a new temporary folder)")
    args = parser.parse_args(argv)
    out = args.out or pathlib.Path(tempfile.mkdtemp(prefix="pellar-tour-"))
    out.mkdir(parents=True, exist_ok=True)
    print(f"pellar tour: five native modules from {PACKAGE}")
    tour_refbook()
    tour_recsift()
    tour_edgewriter(out)
    tour_genomatch()
    tour_dirscan(args.directory)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
