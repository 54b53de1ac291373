"""pellar: five native extension modules, one class each.

    pellar.dirscan     dirscan      survey a directory tree by file extension
    pellar.edgewriter  Edgewriter   network file, label list and report
    pellar.genomatch   Genomatch    genotype label matching
    pellar.recsift     Recsift      sift the records of a sequence-list file
    pellar.refbook     Refbook      a file reference

Import the module you need, e.g. ``from pellar.recsift import Recsift``.
"""
