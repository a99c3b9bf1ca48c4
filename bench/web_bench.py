#!/usr/bin/python3
"""web_bench.py -- figures of the web page in headless Chromium (run by web_bench.sh).

  - ready: from navigation start to the module compiled and instantiated
    (medians of several loads), and the .wasm's size gzipped;
  - pace: wall time / sound time of 60-second battles at N = 1000 and
    N = 100, played into the sound server PULSE_SERVER names, with the
    quanta the worklet could not fill (underruns); medians of --runs runs;
  - CPU: the browser's processes' CPU time while the N = 1000 battle plays,
    as a share of one core;
  - executor: instructions per second of silent full-length battles in
    WebAssembly, against the native executor benchmark (--native, the
    executor_bench program) on the same pairs, both in wall time, as a ratio.
Prints the figures and the load average they ran under.

  web_bench.py --site build-web --corpus DIR [--native executor_bench] [--runs 3]
"""
import argparse
import gzip
import json
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'web', 'tests'))
from page_driver import PageBrowser, b64url  # noqa: E402

# Pairs whose battles sound for 60 s: 5294 tones of 1000 samples, 52922 of 100.
PACE_BATTLES = [
    (1000, 'k94nop-869211-5957-xt430-10-eai3', 'k94-ajax'),
    (100, 'fsh-pwi-maelstrom', 'fsh-clr-leap'),
]
# The native executor benchmark's full-length pairs.
EXECUTOR_PAIRS = [
    ('papers_first_vs_human', 'fsh-pap-first', 'fsh-pap-human'),
    ('papers_slime_vs_sos', 'fsh-pap-slime', 'fsh-pap-sos'),
    ('papers_phat_vs_teenage', 'fsh-pap-phat', 'fsh-pap-teenage'),
]


def descendants(root):
    children = {}
    for entry in os.listdir('/proc'):
        if not entry.isdigit():
            continue
        try:
            with open(f'/proc/{entry}/stat') as f:
                fields = f.read().rsplit(')', 1)[1].split()
            children.setdefault(int(fields[1]), []).append(int(entry))
        except OSError:
            continue
    found, todo = [], [root]
    while todo:
        pid = todo.pop()
        for child in children.get(pid, []):
            found.append(child)
            todo.append(child)
    return found


def cpu_seconds(pids):
    total = 0
    for pid in pids:
        try:
            with open(f'/proc/{pid}/stat') as f:
                fields = f.read().rsplit(')', 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        except OSError:
            continue
    return total / os.sysconf('SC_CLK_TCK')


def load_average():
    with open('/proc/loadavg') as f:
        return ' '.join(f.read().split()[:3])


def ready_times(browser, loads):
    times = []
    for _ in range(loads):
        browser.open('')
        browser.wait_state({'ready'}, 30)
        times.append(browser.js('return window.tonewell.stats().readyAt'))
    return times


def pace(browser, corpus, samples, w1, w2):
    texts = [open(os.path.join(corpus, f'{w}.red'), 'rb').read() for w in (w1, w2)]
    browser.open(f'w1=b64:{b64url(texts[0])}&w2=b64:{b64url(texts[1])}&n={samples}&play=1')
    browser.wait_state({'playing'}, 30)
    pids = descendants(browser.service.process.pid)
    cpu0, wall0 = cpu_seconds(pids), time.time()
    browser.wait_state({'ended'}, 300)
    cpu = (cpu_seconds(pids) - cpu0) / (time.time() - wall0)
    stats = browser.js('return window.tonewell.stats()')
    return stats['wallSeconds'] / stats['soundSeconds'], stats['starved'], cpu, stats['soundSeconds']


def native_speed(program, corpus, name):
    """The native executor benchmark's instructions per second of wall time
    (the browser's figure is wall time too) for one pair: median of 3."""
    run = subprocess.run([program, f'--benchmark_filter=BM_CorpusPair/{name}$',
                          '--benchmark_repetitions=3', '--benchmark_format=json'],
                         env=dict(os.environ, TONEWELL_CORPUS=corpus), capture_output=True,
                         text=True, check=True)
    for b in json.loads(run.stdout)['benchmarks']:
        if b.get('aggregate_name') == 'median':
            seconds = b['real_time'] / {'ms': 1e3, 'us': 1e6, 'ns': 1e9, 's': 1}[b['time_unit']]
            return 2 * 80000 / seconds
    return None


def executor(browser, corpus, native_program):
    """Per pair, native then WebAssembly, one right after the other (the
    machine's load changes less between them)."""
    browser.open('')
    browser.wait_state({'ready'}, 30)
    rows = []
    # The browser compiles the module's hot code again, optimised, while it
    # runs: the first second or two is not measured.
    warm = [open(os.path.join(corpus, f'{w}.red')).read() for w in EXECUTOR_PAIRS[0][1:]]
    browser.js('return window.tonewell.executorSpeed(arguments[0], 3)', warm)
    for name, w1, w2 in EXECUTOR_PAIRS:
        native = native_speed(native_program, corpus, name) if native_program else None
        texts = [open(os.path.join(corpus, f'{w}.red')).read() for w in (w1, w2)]
        web = statistics.median(
            browser.js('return window.tonewell.executorSpeed(arguments[0], 2)', texts) for _ in range(3))
        rows.append((name, web, native))
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--site', required=True)
    parser.add_argument('--corpus', required=True)
    parser.add_argument('--native', help='the native executor_bench program')
    parser.add_argument('--runs', type=int, default=3)
    args = parser.parse_args()
    wasm = open(os.path.join(args.site, 'tonewell.wasm'), 'rb').read()
    print(f'load average at start: {load_average()}')
    print(f'tonewell.wasm: {len(wasm)} bytes, {len(gzip.compress(wasm, 9))} gzipped')
    browser = PageBrowser(args.site)
    try:
        times = ready_times(browser, 7)
        print(f'page ready to play: median {statistics.median(times):.0f} ms '
              f'(of {len(times)} loads: {", ".join(f"{t:.0f}" for t in times)})')
        for name, web, nat in executor(browser, args.corpus, args.native):
            ratio = f', native {nat / 1e6:.1f} M/s, ratio {web / nat:.2f}' if nat else ''
            print(f'executor {name}: WebAssembly {web / 1e6:.1f} M instructions/s{ratio}')
        for samples, w1, w2 in PACE_BATTLES:
            results = [pace(browser, args.corpus, samples, w1, w2) for _ in range(args.runs)]
            ratios = [r[0] for r in results]
            print(f'N = {samples}: {results[0][3]:.1f} s of sound, wall/sound median '
                  f'{statistics.median(ratios):.4f} ({", ".join(f"{r:.4f}" for r in ratios)}), '
                  f'underruns {[r[1] for r in results]}, browser CPU median '
                  f'{100 * statistics.median(r[2] for r in results):.1f}% of one core')
    finally:
        browser.close()
    print(f'load average at end: {load_average()}')


if __name__ == '__main__':
    main()
