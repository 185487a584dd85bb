#!/usr/bin/python3
"""diag_e2e.py WINE_RUN PREFIX BIN_DIR

KorloGuestHelper.exe -collectDiagnostics, run for real under Wine:
1. while the helper runs as a service whose log rotates (fixture_log_loop.dll as its plugin keeps it logging):
   the cabinet opens with cabextract, every .gz in it decompresses, the live log in it is whole UTF-16 lines, and the
   summary names the program's version, the plugin and the service's state RUNNING;
2. an existing target, a target through a directory link and a dangling file link as target: refused with exit
   code 3, nothing changed or created;
3. 2,000 old logs in the log folder: the bundle stays within 134217728 bytes and says what it left out.
Exit code 0 when every check holds."""
import glob
import gzip
import os
import re
import subprocess
import sys
import tempfile
import time
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'rpc'))
from helper_service import HelperService  # noqa: E402

BOUND = 134217728
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print('FAILED: ' + what, flush=True)


class Bundle:
    """One run of the helper's diagnostics mode from the service's folder."""

    def __init__(self, service, target):
        self.service, self.target = service, target
        started = time.monotonic()
        run = subprocess.run([service.wine_run, service.prefix, os.path.join(service.target, 'KorloGuestHelper.exe'),
                              '-collectDiagnostics', target], stdout=subprocess.PIPE, timeout=240)
        self.seconds = time.monotonic() - started
        self.code, self.out = run.returncode, run.stdout.decode('latin-1')
        print(self.out, flush=True)

    def unix_path(self):
        return os.path.join(self.service.prefix, 'drive_c', self.target[3:].replace('\\', '/'))

    def listing(self):
        run = subprocess.run(['cabextract', '-l', self.unix_path()], stdout=subprocess.PIPE)
        rows = re.findall(r'^\s*(\d+) \| [\d.]+ [\d:]+ \| (.+)$', run.stdout.decode('utf-8', 'replace'), re.M)
        return run.returncode, {name: int(size) for size, name in rows}

    def extract(self, into):
        return subprocess.run(['cabextract', '-q', '-d', into, self.unix_path()]).returncode


def wait_for(condition, seconds):
    limit = time.monotonic() + seconds
    while time.monotonic() < limit:
        if condition():
            return True
        time.sleep(0.5)
    return False


def bundle_of_rotating_service(service, log_folder):
    live_gz = os.path.join(log_folder, 'KorloGuestHelper.log.gz')
    started = time.time()
    check(service.svcctl('create', service.name, '"C:\\%s\\KorloGuestHelper.exe"' % service.folder) == 0, 'create')
    check(service.start(), 'start')
    check(wait_for(lambda: os.path.exists(live_gz) and os.path.getmtime(live_gz) > started, 120),
          'the service log rotates under the looping plugin')
    rotated = os.path.getmtime(live_gz)
    bundle = Bundle(service, 'C:\\%s\\running.cab' % service.folder)
    check(bundle.code == 0, 'exit code 0, not %d' % bundle.code)
    size = os.path.getsize(bundle.unix_path())
    check(('The bundle [%s] is complete: %d bytes.' % (bundle.target, size)) in bundle.out, 'final size and path')
    for part in ('Logs: ', 'Compressed logs: ', 'Crash reports: ', 'Minidumps: ', 'Agent configuration: 1 of 1',
                 'Summary: summary.txt added'):
        check(part in bundle.out, 'console line ' + part)
    print('rotated during the run: %s' % (os.path.getmtime(live_gz) > rotated), flush=True)
    code, files = bundle.listing()
    check(code == 0, 'cabextract -l reads the cabinet')
    with tempfile.TemporaryDirectory() as into:
        check(bundle.extract(into) == 0, 'cabextract extracts the cabinet')
        series = glob.glob(os.path.join(into, 'logs', '*.gz'))
        check(len(series) >= 1, 'the compressed series is in the bundle')
        for path in series:
            try:
                gzip.decompress(open(path, 'rb').read())
            except (OSError, EOFError) as error:
                check(False, '%s decompresses: %s' % (os.path.basename(path), error))
        live = open(os.path.join(into, 'logs', 'KorloGuestHelper.log'), 'rb').read()
        # Whole UTF-16 lines up to the last: the service alone writes that file (the run logs into a file of
        # its own), and the copy stops at the last complete line.
        check(len(live) % 2 == 0 and live.endswith('\r\n'.encode('utf-16-le')), 'the live log ends with a whole line')
        lines = live.decode('utf-16-le', 'strict').lstrip('\ufeff').split('\r\n')[:-1]
        last = re.compile(r'^\d+/\d+/\d+ \d+:\d+:\d+ ')
        check(lines and last.match(lines[-1]), 'the last line of the live log is whole: ' + lines[-1][-80:])
        check(any('is refused' in line for line in lines), 'the live log holds the looping refusals')
        check(not any('Collecting diagnostics into [' in line for line in lines),
              "the run's own lines are not in the service's live log")
        own = open(os.path.join(log_folder, 'KorloDiagnostics.log'), 'rb').read().decode('utf-16-le')
        check(('Collecting diagnostics into [%s].. Ok.' % bundle.target) in own,
              "the run's own lines are in KorloDiagnostics.log")
        check(os.path.exists(os.path.join(into, 'logs', 'KorloVssSupport.log')), "the plugin's own log")
        check(os.path.exists(os.path.join(into, 'KorloAgentConfig.xml')), 'the agent configuration file')
        summary = open(os.path.join(into, 'summary.txt'), 'rb').read().decode('utf-8')
        print('\n'.join(summary.splitlines()[:12]), flush=True)
        folder = 'C:\\' + service.folder
        for text in ('Program: %s\\KorloGuestHelper.exe version 1.0.0.0' % folder,
                     'Plugin KorloVssSupport.dll: %s\\KorloVssSupport.dll' % folder,
                     'Service %s (' % service.name, '  State: RUNNING, process ',
                     'File: %s\\KorloAgentConfig.xml, present, 0 bytes' % folder,
                     'AgentMaxLogSize: read ', 'Rule KorloGuestHelper (In): ', 'Free space: ',
                     'logs\\KorloGuestHelper.log, '):
            check(text in summary, 'the summary holds ' + text)
    check(service.stop(), 'stop')


def refusals(service):
    base = os.path.join(service.target)
    existing = os.path.join(base, 'existing.cab')
    open(existing, 'wb').write(b'keep me')
    bundle = Bundle(service, 'C:\\%s\\existing.cab' % service.folder)
    check(bundle.code == 3 and 'is refused: the path exists' in bundle.out, 'an existing target is refused')
    check(open(existing, 'rb').read() == b'keep me', 'the existing target is unchanged')

    elsewhere = tempfile.mkdtemp()
    os.symlink(elsewhere, os.path.join(base, 'linked'))
    bundle = Bundle(service, 'C:\\%s\\linked\\bundle.cab' % service.folder)
    check(bundle.code == 3 and 'goes through the junction or link' in bundle.out, 'a path through a link is refused')
    check(os.listdir(elsewhere) == [], 'nothing is written where the link points')

    dangling = os.path.join(elsewhere, 'not-there.cab')
    os.symlink(dangling, os.path.join(base, 'dangling.cab'))
    bundle = Bundle(service, 'C:\\%s\\dangling.cab' % service.folder)
    check(bundle.code == 3 and 'is refused' in bundle.out, 'a link as target is refused')
    check(not os.path.exists(dangling), 'the link target is not created')
    os.rmdir(elsewhere)


def thousands_of_old_logs(service, log_folder):
    stem = 'KorloDiagOld-' + uuid.uuid4().hex
    line = '12/7/2026 5:00:00 AM  1234  INFO  an old line of an old log, long enough to weigh something\r\n'
    content = ('\ufeff' + line * 400).encode('utf-16-le')  # about 70 KB: 2,000 of them exceed the bound
    names = [os.path.join(log_folder, '%s_%04d.log' % (stem, i)) for i in range(2000)]
    try:
        for name in names:
            open(name, 'wb').write(content)
        bundle = Bundle(service, 'C:\\%s\\old-logs.cab' % service.folder)
        print('2,000 old logs: %.1f s' % bundle.seconds, flush=True)
        check(bundle.code == 0, 'exit code 0 with 2,000 old logs')
        check(os.path.getsize(bundle.unix_path()) <= BOUND, 'the cabinet stays within its bound')
        code, files = bundle.listing()
        check(code == 0 and sum(files.values()) <= BOUND, 'the files in it stay within the bound')
        old = [name for name in files if stem in name]
        check(100 < len(old) < 2000, 'some, not all, of the old logs are in it (%d)' % len(old))
        with tempfile.TemporaryDirectory() as into:
            bundle.extract(into)
            summary = open(os.path.join(into, 'summary.txt'), 'rb').read().decode('utf-8')
            check('not included: the bundle would exceed its bound of 134217728 bytes' in summary,
                  'the summary lists what the bound left out')
    finally:
        for name in names:
            if os.path.exists(name):
                os.remove(name)


def main(wine_run, prefix, bin_dir):
    service = HelperService(wine_run, prefix, bin_dir, 'fixture_log_loop.dll', 'KorloDiag', config=True)
    log_folder = os.path.join(prefix, 'drive_c', 'ProgramData', 'Korlo', 'Backup')
    try:
        bundle_of_rotating_service(service, log_folder)
        refusals(service)
        thousands_of_old_logs(service, log_folder)
    finally:
        service.remove()
    print('%d failures' % len(failures))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main(*sys.argv[1:]))
