"""Plain-Python Recsift."""


class Recsift:
    def __init__(self, file):
        self.file = file

    def SQ_LS(self):
        sequence_list = []
        temp_dict = {}
        with open(self.file, "r") as f:
            for line in f:
                line = line.strip()
                if not line or line.startswith("#"):
                    continue
                parts = line.split("|")
                if len(parts) < 3:
                    continue
                seq_id = parts[0]
                seq_info = parts[1:]
                temp_dict[seq_id] = seq_info
        for seq_id, seq_info in temp_dict.items():
            processed_seq = "-".join(seq_info)
            if len(processed_seq) % 2 == 0:
                sequence_list.append(processed_seq[::-1])
            else:
                sequence_list.append(processed_seq)
        filtered_seq = [seq for seq in sequence_list if "A" in seq or len(seq) > 10]
        numbered = dict(enumerate(filtered_seq))
        final_result = [numbered[i] for i in sorted(numbered, reverse=True)]
        return final_result
