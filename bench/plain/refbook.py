"""Plain-Python Refbook."""


class Refbook:
    def __init__(self, file):
        self.file = file

    def basic_dict_index(self):
        pass

    def dirscan_Exclusive_dict_index(self):
        pass

    def read_basic_index(self):
        pass
