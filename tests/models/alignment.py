"""A plain Python model of the sound pairing behind c_quorvel.align.pair_tracks.

Written from the rules, step by step: each side put in order of start, then end (stably); a main walk that
forms a group when the next records of the two sides match, and otherwise deals with the record
that starts first, alone: the last group takes it if it matches the last record that joined the
group's opposite list, else it is unpaired. A group forms around the longer record of the pair
(the original one on a tie) and takes the matching records of the other side that follow, passing
over those that do not, until one neither starts before the anchor's end nor is close; records
passed over stay available. A group's span covers all its members. Arithmetic is exact.
"""

from models.pairing import intervals_match, is_close, is_nested


def distance(x, y):
    return abs(x[0] - y[0]) + abs(x[1] - y[1])


def align_positions(original_spans, reference_spans, margin):
    """Groups as (start, end, original positions, reference positions), then the unpaired
    positions of each side; positions index the given lists, members in order of start."""
    sides = []
    for spans in (original_spans, reference_spans):
        order = sorted(range(len(spans)), key=lambda position: tuple(spans[position][:2]))
        sides.append({"order": order, "records": [tuple(spans[p][:2]) for p in order],
                      "grouped": [False] * len(order), "next": 0, "unpaired": []})
    groups = []  # [start, end, {side: [ranks in joining order]}]

    def has_next(side):
        while side["next"] < len(side["records"]) and side["grouped"][side["next"]]:
            side["next"] += 1
        return side["next"] < len(side["records"])

    def join(group, which, rank):
        sides[which]["grouped"][rank] = True
        group[2][which].append(rank)
        record = sides[which]["records"][rank]
        group[0] = min(group[0], record[0])
        group[1] = max(group[1], record[1])

    def next_available(side):
        for rank in range(side["next"], len(side["records"])):
            if not side["grouped"][rank]:
                return side["records"][rank]
        return None

    def settle(which):
        side = sides[which]
        rank = side["next"]
        side["next"] += 1
        if groups:
            other = sides[1 - which]
            last = other["records"][groups[-1][2][1 - which][-1]]
            if intervals_match(side["records"][rank], last, margin):
                join(groups[-1], which, rank)
                return
        side["unpaired"].append(rank)

    while has_next(sides[0]) and has_next(sides[1]):
        a = sides[0]["records"][sides[0]["next"]]
        b = sides[1]["records"][sides[1]["next"]]
        if intervals_match(a, b, margin):
            which = 1 if a[1] - a[0] < b[1] - b[0] else 0
            anchor_rank = sides[which]["next"]
            sides[which]["next"] += 1
            anchor = sides[which]["records"][anchor_rank]
            group = [anchor[0], anchor[1], ([], [])]
            groups.append(group)
            join(group, which, anchor_rank)
            following = next_available(sides[which])
            candidates = sides[1 - which]
            for rank in range(candidates["next"], len(candidates["records"])):
                if candidates["grouped"][rank]:
                    continue
                candidate = candidates["records"][rank]
                close = is_close(anchor, candidate, margin)
                if (close or is_nested(anchor, candidate)) and (
                    not group[2][1 - which]
                    or following is None
                    or not intervals_match(following, candidate, margin)
                    or distance(anchor, candidate) <= distance(following, candidate)
                ):
                    join(group, 1 - which, rank)
                if not (candidate[0] < anchor[1] or close):
                    break
        else:
            settle(0 if a[0] <= b[0] else 1)
    for which in (0, 1):
        while has_next(sides[which]):
            settle(which)

    def positions(which, ranks):
        return [sides[which]["order"][rank] for rank in sorted(ranks)]

    return (
        [(start, end, positions(0, members[0]), positions(1, members[1])) for start, end, members in groups],
        positions(0, sides[0]["unpaired"]),
        positions(1, sides[1]["unpaired"]),
    )
