#!/usr/bin/env python3
"""Sound files of the ALSA checks (16-bit little-endian stereo).

  sound.py wav-data WAV RAW          writes the sample data of WAV to RAW
  sound.py same SENT CAPTURED        every byte identical
  sound.py heard SENT RECORDED       the non-silent frames identical and in order
                                     (a sound server adds silence between and
                                     around sounds: all-zero frames are dropped
                                     from both before comparing)
  sound.py lost SENT RECORDED        how many non-silent frames of SENT the
                                     recording misses (prints the count; exit
                                     status 0 either way)
  sound.py seconds RAW               the playing time of RAW at 44100 Hz
Exit status 0 when the check holds, 1 when it does not.
"""
import sys
import wave

FRAME = 4
RATE = 44100


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def frames(data):
    return [data[i:i + FRAME] for i in range(0, len(data) - len(data) % FRAME, FRAME)]


def first_difference(a, b):
    n = min(len(a), len(b))
    return next((i for i in range(n) if a[i] != b[i]), n)


def main(argv):
    if len(argv) != 3 and not (len(argv) == 2 and argv[0] == 'seconds'):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    mode = argv[0]
    if mode == 'wav-data':
        with wave.open(argv[1], 'rb') as w:
            if (w.getnchannels(), w.getsampwidth(), w.getframerate()) != (2, 2, RATE):
                print(f'{argv[1]}: not 44100 Hz 16-bit stereo', file=sys.stderr)
                return 1
            data = w.readframes(w.getnframes())
        with open(argv[2], 'wb') as f:
            f.write(data)
        return 0
    if mode == 'seconds':
        print(f'{len(read(argv[1])) / (FRAME * RATE):.3f}')
        return 0
    sent, got = read(argv[1]), read(argv[2])
    if mode == 'same':
        if sent == got and sent:
            print(f'OK: {len(sent)} bytes ({len(sent) // FRAME} frames) identical')
            return 0
        i = first_difference(sent, got)
        print(f'MISMATCH: sent {len(sent)} bytes, captured {len(got)} bytes, first difference at byte {i}')
        return 1
    if mode == 'heard':
        silent = b'\0' * FRAME
        a = [f for f in frames(sent) if f != silent]
        b = [f for f in frames(got) if f != silent]
        if a == b and a:
            print(f'OK: {len(a)} non-silent frames heard in order '
                  f'(sent {len(sent)} bytes, recorded {len(got)} bytes)')
            return 0
        i = first_difference(a, b)
        print(f'MISMATCH: sent {len(a)} non-silent frames, recorded {len(b)}, first difference at frame {i}')
        return 1
    if mode == 'lost':
        silent = b'\0' * FRAME
        a = [f for f in frames(sent) if f != silent]
        b = [f for f in frames(got) if f != silent]
        print(count_lost(a, b))
        return 0
    print(__doc__.strip(), file=sys.stderr)
    return 2


def count_lost(sent, heard):
    """Frames of sent missing from heard, walking both in order: a frame heard
    that does not come next is looked for a little further on in sent (what
    lies between was lost); one found nowhere near is an extra and skipped."""
    i = j = lost = 0
    window = 1 << 15
    while i < len(sent) and j < len(heard):
        if sent[i] == heard[j]:
            i += 1
            j += 1
            continue
        k = next((k for k in range(i + 1, min(len(sent), i + window)) if sent[k] == heard[j]), None)
        if k is None:
            j += 1
        else:
            lost += k - i
            i = k
    return lost + len(sent) - i


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
