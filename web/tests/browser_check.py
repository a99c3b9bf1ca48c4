#!/usr/bin/python3
"""browser_check.py -- the web page in a real browser against the console program.

Serves SITE on 127.0.0.1, drives headless Chromium (Selenium) and compares
with PROGRAM (the console build):
  - the bundled battle plays and the map shows both warriors (screenshot kept);
  - battles whose frames the worklet put out equal the console's wav: output
    byte for byte, and whose recording at the sound server's sink holds every
    non-silent frame in order (PULSE_SERVER must name a server with a null
    sink "tap");
  - the report of corpus pairs (scores) equals the console's standard output;
  - warriors that do not load show the console's report line and error lines,
    and nothing plays;
  - the browser's console shows no error.
Prints one line per check and "N passed, N failed" last; exit status 1 when
any failed.

  browser_check.py --site build-web --program build/tonewell --corpus DIR
                   --work DIR --artefacts DIR [--pairs 50]
"""
import argparse
import hashlib
import os
import subprocess
import sys
import time

from page_driver import PageBrowser, b64url

RATE = 44100


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, name, ok, detail=''):
        if ok:
            self.passed += 1
            print(f'ok    {name}')
        else:
            self.failed += 1
            print(f'FAIL  {name}: {detail}')
        sys.stdout.flush()


def console(program, files, samples, work, reader='load', cwd=None):
    """The console's standard output, standard error and WAV data."""
    wav = os.path.join(work, 'console.wav')
    env = dict(os.environ, TONEWELL_AUDIO=f'wav:{wav}', TONEWELL_VIEW='off', TONEWELL_REDCODE=reader)
    run = subprocess.run([os.path.abspath(program), *files, str(samples)], env=env, cwd=cwd,
                         capture_output=True, timeout=300)
    with open(wav, 'rb') as f:
        data = f.read()
    return run.stdout.decode(), run.stderr.decode(), data


def without_seconds(text):
    return '\n'.join(line for line in text.splitlines() if not line.startswith('Seconds: '))


def non_silent_frames(data):
    frames = (data[i:i + 4] for i in range(0, len(data) - len(data) % 4, 4))
    return [f for f in frames if f != b'\0\0\0\0']


class Recorder:
    """parec on the sink's monitor into a file."""

    def __init__(self, path):
        self.path = path
        self.out = open(path, 'wb')
        self.proc = subprocess.Popen(['parec', '-d', 'tap.monitor', '--raw', '--format=s16le',
                                      f'--rate={RATE}', '--channels=2', '--latency-msec=5'],
                                     stdout=self.out)
        for _ in range(200):
            listed = subprocess.run(['pactl', 'list', 'short', 'source-outputs'],
                                    capture_output=True, text=True).stdout
            if listed.strip():
                return
            time.sleep(0.05)
        raise RuntimeError('parec did not connect to the sound server')

    def stop(self):
        time.sleep(0.4)  # the last sound reaches the sink
        self.proc.terminate()
        self.proc.wait()
        self.out.close()
        with open(self.path, 'rb') as f:
            return f.read()


class Page(PageBrowser):
    def digest(self):
        """The SHA-256 of the WAV of what the worklet put out (None before a
        battle has played to its end)."""
        return self.driver.execute_async_script(
            'const done = arguments[arguments.length - 1];'
            'window.tonewell.recordedWavDigest().then(done, (e) => done("error " + e));')


def bundled_battle(page, checks, artefacts):
    page.open('w1=Mice&w2=Piper&n=1000&play=1')
    state = page.wait_state({'playing'}, 20)
    time.sleep(3)
    owners = page.js('return window.tonewell.mapOwners()')
    status = page.js('return window.tonewell.status()')
    os.makedirs(artefacts, exist_ok=True)
    page.driver.save_screenshot(os.path.join(artefacts, 'web-page.png'))
    page.js('document.getElementById("stop").click()')
    time.sleep(1)  # what the output had buffered is heard before the next recording
    checks.check('bundled battle plays and the map shows both warriors',
                 state == 'playing' and len(owners) > 2 and owners[1] > 0 and owners[2] > 0
                 and 'Mice' in status and 'Piper' in status,
                 f'state {state}, map owners {owners}, status {status!r}')


def exact_battle(page, checks, args, label, files, samples, reader, query):
    out, _, wav = console(args.program, files, samples, args.work, reader)
    recorder = Recorder(os.path.join(args.work, 'heard.raw'))
    started = time.time()
    page.open(query + '&play=1')
    sound = (len(wav) - 80) / 4 / RATE
    state = page.wait_state({'ended', 'stopped'}, sound + 30)
    heard = recorder.stop()
    report = page.js('return window.tonewell.report()')
    stats = page.js('return window.tonewell.stats()')
    digest = page.digest()
    checks.check(f'{label}: the worklet put out the console\'s WAV byte for byte',
                 state == 'ended' and digest == hashlib.sha256(wav).hexdigest(),
                 f'state {state}, digest {digest}')
    checks.check(f'{label}: report as the console\'s', without_seconds(report) == without_seconds(out),
                 f'{report!r} vs {out!r}')
    sent = non_silent_frames(wav[80:])
    got = non_silent_frames(heard)
    checks.check(f'{label}: the sink heard all {len(sent)} non-silent frames in order',
                 sent == got, f'heard {len(got)} non-silent frames')
    ratio = f', wall/sound {stats.get("wallSeconds", 0) / sound:.4f}' if sound > 0 else ''
    print(f'      {sound:.2f} s of sound, {time.time() - started:.2f} s with the page load, '
          f'starved quanta {stats.get("starved")}{ratio}')


def corpus_pairs(corpus, count):
    rows = [line.split('\t') for line in open(os.path.join(corpus, 'expected_r1_F344.tsv'))][1:]
    step = max(1, len(rows) // count)
    return [(r[0], r[1]) for r in rows[::step][:count]]


def corpus_scores(page, checks, args):
    same = 0
    differ = []
    pairs = corpus_pairs(args.corpus, args.pairs)
    for w1, w2 in pairs:
        files = [os.path.join(args.corpus, f'{w}.red') for w in (w1, w2)]
        out, _, _ = console(args.program, files, 0, args.work)
        texts = [open(f, 'rb').read() for f in files]
        page.open(f'w1=b64:{b64url(texts[0])}&w2=b64:{b64url(texts[1])}&n=0&play=1')
        page.wait_state({'ended'}, 60)
        report = page.js('return window.tonewell.report()')
        if without_seconds(report) == without_seconds(out) and 'program finished' in report:
            same += 1
        else:
            differ.append(f'{w1} vs {w2}: {report!r} vs {out!r}')
    checks.check(f'scores of {len(pairs)} corpus pairs equal the console\'s', not differ,
                 '; '.join(differ[:3]))


def bad_warriors(page, checks, args):
    cases = [
        ('load form without a comma', 'load',
         b';redcode-94\n;name Broken\nstart MOV.I $0 $1\n'),
        ('source with an undefined symbol', 'source',
         b';redcode-94\n;name Broken\n        mov   bomb2, @ptr\nptr     dat   #0\n        end\n'),
    ]
    piper = open('examples/Piper.red', 'rb').read()
    for label, reader, text in cases:
        folder = os.path.join(args.work, 'bad')
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, 'warrior1.red'), 'wb') as f:
            f.write(text)
        with open(os.path.join(folder, 'warrior2.red'), 'wb') as f:
            f.write(piper)
        out, err, _ = console(args.program, ['warrior1.red', 'warrior2.red'], 1000, args.work,
                              reader, cwd=folder)
        query = f'w1=b64:{b64url(text)}&w2=b64:{b64url(piper)}&n=1000&play=1'
        if reader == 'source':
            query += '&redcode=source'
        page.open(query)
        state = page.wait_state({'ended'}, 20)
        report = page.js('return window.tonewell.report()')
        details = page.js('return window.tonewell.details()')
        played = page.js('return window.tonewell.stats().samples')
        checks.check(f'bad warrior ({label}) shows its error and nothing plays',
                     state == 'ended' and report == out and details == err and played is None,
                     f'{report!r} / {details!r} vs {out!r} / {err!r}, played {played}')


def main():
    parser = argparse.ArgumentParser()
    for name in ('site', 'program', 'corpus', 'work', 'artefacts'):
        parser.add_argument(f'--{name}', required=True)
    parser.add_argument('--pairs', type=int, default=50)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    checks = Checks()
    page = Page(args.site)
    try:
        page.open('')
        page.wait_state({'ready'}, 20)
        ready = page.js('return window.tonewell.stats().readyMs')
        print(f'      page ready to play (module compiled) after {ready:.0f} ms')
        bundled_battle(page, checks, args.artefacts)
        arrow, cbd = (open(os.path.join(args.corpus, 'source', f'{w}.red'), 'rb').read()
                      for w in ('fsh-cds-arrow', 'k94-cbd'))
        battles = [
            ('N = 0', ['examples/Mice.red', 'examples/Piper.red'], 0, 'load', 'w1=Mice&w2=Piper&n=0'),
            ('Countdown vs Crawler, N = 1000', ['examples/Countdown.red', 'examples/Crawler.red'],
             1000, 'load', 'w1=Countdown&w2=Crawler&n=1000'),
            ('Seesaw vs Fuse, N = 1001', ['examples/Seesaw.red', 'examples/Fuse.red'], 1001, 'load',
             'w1=Seesaw&w2=Fuse&n=1001'),
            ('Carillon vs Piper from source, N = 7', ['examples/source/Carillon.red', 'examples/Piper.red'],
             7, 'source', 'w1=Carillon&w2=Piper&n=7&redcode=source'),
            ('corpus sources arrow vs cbd, N = 300',
             [os.path.join(args.corpus, 'source', f'{w}.red') for w in ('fsh-cds-arrow', 'k94-cbd')],
             300, 'source', f'w1=b64:{b64url(arrow)}&w2=b64:{b64url(cbd)}&n=300&redcode=source'),
        ]
        for label, files, samples, reader, query in battles:
            exact_battle(page, checks, args, label, files, samples, reader, query)
        corpus_scores(page, checks, args)
        bad_warriors(page, checks, args)
    finally:
        page.close()
    checks.check('no errors in the browser\'s console', not page.errors, '; '.join(page.errors[:5]))
    print(f'{checks.passed} passed, {checks.failed} failed')
    return 1 if checks.failed else 0


if __name__ == '__main__':
    sys.exit(main())
