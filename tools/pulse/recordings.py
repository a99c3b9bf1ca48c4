#!/usr/bin/env python3
"""Two recordings of one sink, taken at once, against what was sent.

  recordings.py heard SENT.raw REC1.raw REC2.raw

A recorder on a sink with small quanta may itself miss a graph cycle on a
busy machine (its process callback late), and then lacks frames that the
sink did play; two recorders seldom miss the same cycle. A frame counts as
arrived when at least one recording has it in its place. Files are 16-bit
little-endian stereo; all-zero frames (the silence between sounds) are
dropped before comparing. Exit status 0 when every non-silent frame sent
arrived in order, 1 otherwise.
"""
import sys

FRAME = 4
WINDOW = 1 << 15


def non_silent(path):
    with open(path, 'rb') as f:
        data = f.read()
    silent = b'\0' * FRAME
    return [f for f in (data[i:i + FRAME] for i in range(0, len(data) - FRAME + 1, FRAME))
            if f != silent]


def missing(sent, heard):
    """Indexes of sent frames that heard lacks, walking both in order; a heard
    frame found nowhere near is an extra and skipped."""
    gone, i, j = set(), 0, 0
    while i < len(sent) and j < len(heard):
        if sent[i] == heard[j]:
            i += 1
            j += 1
            continue
        k = next((k for k in range(i + 1, min(len(sent), i + WINDOW)) if sent[k] == heard[j]), None)
        if k is None:
            j += 1
        else:
            gone.update(range(i, k))
            i = k
    gone.update(range(i, len(sent)))
    return gone


def main(argv):
    if len(argv) != 4 or argv[0] != 'heard':
        print(__doc__.strip(), file=sys.stderr)
        return 2
    sent = non_silent(argv[1])
    first, second = missing(sent, non_silent(argv[2])), missing(sent, non_silent(argv[3]))
    both = sorted(first & second)
    print(f'{len(sent)} non-silent frames sent; recorder 1 missed {len(first)}, recorder 2 missed '
          f'{len(second)}, both {len(both)}' + (f' (first at frame {both[0]})' if both else ''))
    return 0 if sent and not both else 1


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
