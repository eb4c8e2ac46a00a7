#!/usr/bin/env python3
"""Mutation testing: does the suite notice a small fault in src/?

Each mutant changes one line of src/**/*.cpp or *.h: a comparison flipped
(== !=, < >=, > <=), true/false swapped, && and || swapped, a string literal
changed, a call statement dropped, or an integer literal off by one. For each
mutant the script writes the file, rebuilds incrementally, runs CTest until the
first failure, and restores the file. A mutant the suite fails on is killed; one
it passes survived; one that does not compile is left out of the kill rate.

    scripts/mutate.py --list                      # the default sample, not run
    scripts/mutate.py --build build               # run it (100 mutants, seed 17)
    scripts/mutate.py --sample 200 --seed 3 --report out.json
    scripts/mutate.py --save-sample s.json --list # freeze a sample ...
    scripts/mutate.py --load-sample s.json        # ... and run exactly it later
    scripts/mutate.py --file src/core/text.cpp -R tst_text --sample 5
    scripts/mutate.py --only 3fa9c1               # one mutant, by id

The sample is stratified: every file gets a mutant before any gets a second,
and the rest follow each file's share of candidates. A loaded sample finds each
mutant's line again by its text, so unrelated edits do not spoil it; a mutant
whose line is gone is "stale" and not counted.

The script refuses a tree with changes under src/, restores every file also on
Ctrl+C, checks `git diff` is clean at the end and rebuilds, so the build matches
the tree. A restored file gets a fresh mtime on purpose: with its old one, the
object compiled from the mutant would look up to date to the build tool
(ccache makes recompiling the original cheap).
"""
import argparse
import hashlib
import json
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

TOP = Path(__file__).resolve().parent.parent

# Lines that declare rather than compute, vanish in a release build, or name objects only tests look up.
SKIP_LINE = re.compile(r'\bQ_(OBJECT|PROPERTY|GADGET|ENUM|FLAG|DECLARE_\w+|INVOKABLE|SIGNALS|SLOTS|NAMESPACE|'
                       r'DISABLE_COPY\w*|ASSERT\w*|UNUSED|LOGGING_CATEGORY)\b|\bstatic_assert\b|\bassert\s*\(|'
                       r'\bsetObjectName\(|extern\s+"C"|^\s*(template|using|namespace)\b')
OPERATORS = [  # (kind, pattern on code with strings and comments blanked, replacement)
    ('cmp', re.compile(r'(?<![=!<>])==(?!=)'), '!='),
    ('cmp', re.compile(r'!=(?!=)'), '=='),
    ('cmp', re.compile(r'(?<= )<(?= )'), '>='),
    ('cmp', re.compile(r'(?<= )>(?= )'), '<='),
    ('cmp', re.compile(r'(?<= )<=(?= )'), '>'),
    ('cmp', re.compile(r'(?<= )>=(?= )'), '<'),
    ('bool', re.compile(r'\btrue\b'), 'false'),
    ('bool', re.compile(r'\bfalse\b'), 'true'),
    ('logic', re.compile(r'(?<= )&&(?= )'), '||'),
    ('logic', re.compile(r'(?<= )\|\|(?= )'), '&&'),
]
INTEGER = re.compile(r"(?<![\w.'])(\d+)([uUlL]*)(?![\w.'])")
# A whole line that is one call: name, name.name, name->name or ns::name, then (...);
CALL = re.compile(r'^(Q_EMIT\s+)?(?:[A-Za-z_]\w*(?:::|\.|->))*[a-z_]\w*\s*\(.*\);$')
NOT_A_CALL = re.compile(r'^(return|co_return|co_await|co_yield|if|for|while|switch|case|else|do|delete|throw|goto)\b')
STATEMENT_END = (';', '{', '}', ')', ':')


def blank(text):
    """Returns text with comments and string/char literals blanked to spaces (same length),
    and the spans of the one-line string literals, whose contents may be mutated."""
    out, spans, i, n = list(text), [], 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith('//', i):
            j = text.find('\n', i)
            j = n if j < 0 else j
        elif text.startswith('/*', i):
            j = text.find('*/', i + 2)
            j = n if j < 0 else j + 2
        elif text.startswith('R"', i) and (i == 0 or not text[i - 1].isalnum() or text[i - 1] in 'uUL8'):
            delim = text[i + 2:text.find('(', i)]
            j = text.find(')' + delim + '"', i)
            j = n if j < 0 else j + len(delim) + 2
        elif c in '"\'' and not (c == "'" and i > 0 and text[i - 1].isdigit()):
            j = i + 1
            while j < n and text[j] != c and text[j] != '\n':
                j += 2 if text[j] == '\\' else 1
            j = min(j + 1, n)
            if c == '"' and text[j - 1] == '"':
                spans.append((i, j))
        else:
            i += 1
            continue
        for k in range(i, j):
            if out[k] != '\n':
                out[k] = ' '
        i = j
    return ''.join(out), spans


def candidates(path):
    """All mutants of one file as dicts (file, line, kind, original, mutated)."""
    rel = str(path.relative_to(TOP))
    text = path.read_text(encoding='utf-8')
    code, spans = blank(text)
    lines, code_lines = text.split('\n'), code.split('\n')
    starts = [0]
    for line in lines:
        starts.append(starts[-1] + len(line) + 1)
    found, prev, in_macro = [], ';', False
    for no, (line, masked) in enumerate(zip(lines, code_lines), start=1):
        stripped = masked.strip()
        if in_macro or stripped.startswith('#'):
            in_macro = stripped.endswith('\\')
            continue
        if not stripped:
            continue
        edits = []
        if not SKIP_LINE.search(masked):
            for kind, pattern, repl in OPERATORS:
                edits += [(kind, m.start(), m.end(), repl) for m in pattern.finditer(masked)]
            if 'virtual' not in masked:  # "= 0" of a pure virtual is no number
                edits += [('int', m.start(1), m.end(1), str(int(m.group(1)) + 1)) for m in INTEGER.finditer(masked)]
            base = starts[no - 1]
            for s, e in spans:
                if base <= s and e <= base + len(line):
                    body = line[s - base + 1:e - base - 1]
                    # Prepended, not appended: a literal read with an explicit length ("\x01", 1)
                    # would not see an appended character.
                    edits.append(('str', s - base + 1, e - base - 1, '~' + body if body else 'x'))
            if (path.suffix == '.cpp' and CALL.match(stripped) and not NOT_A_CALL.match(stripped)
                    and prev.endswith(STATEMENT_END) and stripped.count('(') == stripped.count(')')):
                indent = line[:len(line) - len(line.lstrip())]
                found.append(dict(file=rel, line=no, kind='call', original=line, mutated=indent + ';'))
        for kind, s, e, repl in edits:
            found.append(dict(file=rel, line=no, kind=kind, original=line, mutated=line[:s] + repl + line[e:]))
        prev = stripped
    for m in found:
        key = f"{m['file']}\0{m['line']}\0{m['mutated']}".encode()
        m['id'] = hashlib.sha1(key).hexdigest()[:6]
    return found


def source_files(only_file=None):
    if only_file:
        return [(TOP / only_file).resolve()]
    return sorted(p for p in (TOP / 'src').rglob('*') if p.suffix in ('.cpp', '.h'))


def stratified(by_file, size, seed):
    """One mutant per file first (random files if there are too few to go round), then the rest
    by each file's share of the remaining candidates. Kinds alternate within a file."""
    rng = random.Random(seed)
    order = {}
    for f in sorted(by_file):
        kinds = {}
        for m in by_file[f]:
            kinds.setdefault(m['kind'], []).append(m)
        groups = [kinds[k] for k in sorted(kinds)]
        for g in groups:
            rng.shuffle(g)
        rng.shuffle(groups)
        order[f] = [g[i] for i in range(max(map(len, groups))) for g in groups if i < len(g)]
    files = sorted(order)
    rng.shuffle(files)
    quota = {f: 1 if i < size else 0 for i, f in enumerate(files)}
    rest, spare = size - sum(quota.values()), sum(len(order[f]) - quota[f] for f in files)
    if rest > 0 and spare > 0:
        shares = {f: rest * (len(order[f]) - quota[f]) / spare for f in files}
        for f in files:
            quota[f] += int(shares[f])
        for f in sorted(files, key=lambda f: shares[f] - int(shares[f]), reverse=True)[:size - sum(quota.values())]:
            quota[f] += 1
    sample = [m for f in sorted(files) for m in order[f][:quota[f]]][:size]
    rng.shuffle(sample)  # so a run cut short still covers every part of src/
    return sample


def relocate(m):
    """Finds a saved mutant's line again: at its number, else the nearest line with its text."""
    path = TOP / m['file']
    if not path.exists():
        return None
    lines = path.read_text(encoding='utf-8').split('\n')
    if m['line'] <= len(lines) and lines[m['line'] - 1] == m['original']:
        return m
    hits = [i + 1 for i, line in enumerate(lines) if line == m['original']]
    if not hits:
        return None
    return dict(m, line=min(hits, key=lambda n: abs(n - m['line'])))


# CTest's line for a failed test: "Test #24: tst_x ......***Failed", "...Subprocess aborted***Exception", "***Timeout"
FAILED = re.compile(r'Test\s+#\d+: (\S+) \.*[^*\n]*\*\*\*(\w+)')


def run(cmd, timeout=None, stop=None):
    """Runs cmd in its own session, so a hang, a stop or Ctrl+C ends all of it. Returns
    (exit code, output, seconds, timed out); ends early at the first output line matching stop."""
    start = time.monotonic()
    proc = subprocess.Popen(cmd, cwd=TOP, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            start_new_session=True)
    hung = threading.Event()

    def kill():
        # SIGTERM first: ninja runs each compiler in a process group of its own and only stops
        # (and waits for) them when asked nicely; a SIGKILLed ninja leaves them writing objects
        # of the mutant after the file is restored. SIGKILL then takes whatever is left.
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(proc.pid, sig)
            except ProcessLookupError:
                return
            try:
                proc.wait(30)
            except subprocess.TimeoutExpired:
                pass

    timer = threading.Timer(timeout, lambda: (hung.set(), kill())) if timeout else None
    out = []
    try:
        if timer:
            timer.start()
        for line in proc.stdout:
            out.append(line)
            if stop and stop.search(line):
                kill()  # CTest would wait for the tests still running, the slowest one included
                break
        proc.wait()
    except BaseException:
        kill()
        proc.wait()
        raise
    finally:
        if timer:
            timer.cancel()
        proc.stdout.close()
    return proc.returncode, ''.join(out), time.monotonic() - start, hung.is_set()


def ctest_cmd(args, timeout=None):
    cmd = ['ctest', '--test-dir', args.build, '--stop-on-failure', '-j', str(args.jobs), '--no-tests=error']
    if timeout:
        cmd += ['--timeout', str(timeout)]  # one hanging test is a timeout, not a stalled run
    if args.label:
        cmd += ['-L', args.label]
    if args.regex:
        cmd += ['-R', args.regex]
    return cmd


def build(args):
    return run(['cmake', '--build', args.build, '-j', str(args.jobs)])


def try_mutant(m, args, budget):
    """Applies m, builds, tests and always restores. Sets m's outcome, failing test and seconds."""
    path = TOP / m['file']
    original = path.read_bytes()
    lines = original.decode('utf-8').split('\n')
    lines[m['line'] - 1] = m['mutated']
    m.update(test='', build_s=0.0, test_s=0.0)
    try:
        path.write_bytes('\n'.join(lines).encode('utf-8'))
        code, _, m['build_s'], _ = build(args)
        if code != 0:
            m['outcome'] = 'no-compile'
            return
        # CTest ends a test over budget itself; the outer limit is only a backstop for CTest.
        code, out, m['test_s'], hung = run(ctest_cmd(args, budget), timeout=budget + 60, stop=FAILED)
        failed = FAILED.search(out)
        if hung:
            m.update(outcome='timeout', test='(tests over %d s)' % budget)
        elif failed:
            m.update(outcome='timeout' if failed.group(2) == 'Timeout' else 'killed', test=failed.group(1))
        else:
            m['outcome'] = 'survived' if code == 0 else 'killed'
    finally:
        # A second Ctrl+C must not cut the restore short.
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
        path.write_bytes(original)
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('--build', default='build', help='configured build directory (default build)')
    ap.add_argument('--sample', type=int, default=100, help='number of mutants (default 100)')
    ap.add_argument('--seed', type=int, default=17, help='sampling seed (default 17)')
    ap.add_argument('--file', help='take candidates from this one file only')
    ap.add_argument('--only', action='append', default=[], help='run only the mutant(s) with this id')
    ap.add_argument('--list', action='store_true', help='print the sample and stop')
    ap.add_argument('--save-sample', metavar='FILE', help='write the sample as JSON')
    ap.add_argument('--load-sample', metavar='FILE', help='use a sample written by --save-sample')
    ap.add_argument('--report', metavar='FILE', help='write the results as JSON')
    ap.add_argument('-j', '--jobs', type=int, default=2, help='build and test jobs (default 2)')
    ap.add_argument('-L', '--label', help='only tests with this CTest label')
    ap.add_argument('-R', '--regex', help='only tests matching this CTest regex')
    ap.add_argument('--timeout', type=int, help='seconds one test run may take before the mutant counts as '
                    'killed by timeout (default: 3 x the unmutated run + 30)')
    args = ap.parse_args()

    stale = []
    if args.load_sample:
        saved = json.loads(Path(args.load_sample).read_text())['mutants']
        sample = []
        for m in saved:
            found = relocate(m)
            if found:
                sample.append(found)
            else:
                stale.append(m)
    else:
        pool = {}
        for path in source_files(args.file):
            for m in candidates(path):
                pool.setdefault(m['file'], []).append(m)
        if args.only:
            sample = [m for ms in pool.values() for m in ms]
        else:
            sample = stratified(pool, args.sample, args.seed)
            print('%d candidates in %d files; sample of %d (seed %d)'
                  % (sum(map(len, pool.values())), len(pool), len(sample), args.seed))
    if args.only:
        sample = [m for m in sample if m['id'] in args.only]
    if args.save_sample:
        keys = ('id', 'file', 'line', 'kind', 'original', 'mutated')
        Path(args.save_sample).write_text(json.dumps(
            {'seed': args.seed, 'mutants': [{k: m[k] for k in keys} for m in sample]}, indent=1) + '\n')
    for m in stale:
        print('stale   %s %s:%d  %s' % (m['id'], m['file'], m['line'], m['original'].strip()))
    if args.list:
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # `--list | head` ends quietly; nothing is mutated yet
        for m in sample:
            print('%s %s:%d %s\n  - %s\n  + %s' % (m['id'], m['file'], m['line'], m['kind'],
                                                 m['original'].strip(), m['mutated'].strip()))
        return 0
    if not sample:
        print('no mutants to run')
        return 2

    if subprocess.run(['git', 'status', '--porcelain', '--', 'src'], cwd=TOP, capture_output=True,
                      text=True).stdout.strip():
        print('src/ has changes: commit or stash them first, so no mutant mixes with real edits')
        return 2
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    results, interrupted = [], False
    try:
        code, out, _, _ = build(args)
        if code != 0:
            print(out + '\nthe unmutated tree does not build')
            return 2
        code, out, took, _ = run(ctest_cmd(args))
        if code != 0:
            print(out + '\nthe unmutated suite fails: a mutant could not be told apart')
            return 2
        budget = args.timeout or int(3 * took + 30)
        print('unmutated suite: %.0f s; a mutant\'s run may take %d s' % (took, budget))
        for i, m in enumerate(sample, start=1):
            try_mutant(m, args, budget)
            m.update(build_s=round(m['build_s'], 1), test_s=round(m['test_s'], 1))
            results.append(m)
            print('[%3d/%d] %s %s:%d %-5s %-10s build %4.0fs  tests %4.0fs  %s'
                  % (i, len(sample), m['id'], m['file'], m['line'], m['kind'], m['outcome'], m['build_s'],
                     m['test_s'], m['test']), flush=True)
    except KeyboardInterrupt:
        interrupted = True
        print('\ninterrupted; the file being mutated is restored')
    finally:
        if subprocess.run(['git', 'diff', '--quiet', '--', 'src'], cwd=TOP).returncode != 0:
            print('WARNING: src/ differs from git after restoring; see git diff')
        print('rebuilding the unmutated tree ...', flush=True)
        build(args)

    counts = {k: sum(1 for m in results if m['outcome'] == k)
              for k in ('killed', 'timeout', 'survived', 'no-compile')}
    counts['stale'] = len(stale)
    scored = counts['killed'] + counts['timeout'] + counts['survived']
    rate = (counts['killed'] + counts['timeout']) / scored if scored else 0.0
    print('\nkill rate %.1f%% = %d / %d  (%s)' % (100 * rate, scored - counts['survived'], scored,
                                                  ', '.join('%s %d' % kv for kv in counts.items())))
    if results:
        print('mean per mutant: build %.1f s, tests %.1f s' % (sum(m['build_s'] for m in results) / len(results),
                                                             sum(m['test_s'] for m in results) / len(results)))
    for m in (m for m in results if m['outcome'] == 'survived'):
        print('survived %s %s:%d %s\n  - %s\n  + %s' % (m['id'], m['file'], m['line'], m['kind'],
                                                     m['original'].strip(), m['mutated'].strip()))
    if args.report:
        Path(args.report).write_text(json.dumps({'kill_rate': rate, 'counts': counts, 'sample': len(sample),
                                                 'seed': args.seed, 'mutants': results, 'stale': stale},
                                                indent=1) + '\n')
    return 130 if interrupted else 0


if __name__ == '__main__':
    sys.exit(main())
