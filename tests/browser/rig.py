"""The browser tests' rig: ecrsim registers and cassardd in a temporary directory, the
service's API, the registers' control sockets, headless Chromium, and the scripts' main().

  <test>.py --cassardd PATH --cassard PATH --ecrsim PATH --source DIR --artifacts DIR [unittest args]
"""

import argparse
import contextlib
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

ARGS = argparse.Namespace()  # filled in place by main(): importers may hold it
SKIP = 77
PROGRAMS = ('cassardd', 'cassard', 'ecrsim', 'source', 'artifacts')


def free_port(host='127.0.0.1'):
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def wait_line(proc, prefix, timeout):
    """The first stdout line of proc that starts with prefix, or an error naming what came."""
    end = time.monotonic() + timeout
    seen = []
    while time.monotonic() < end:
        r, _, _ = select.select([proc.stdout], [], [], 0.2)
        if r:
            line = proc.stdout.readline()
            if not line:
                break
            seen.append(line)
            if line.startswith(prefix):
                return line.strip()
        elif proc.poll() is not None:
            break
    raise RuntimeError(f'no "{prefix}" line within {timeout} s; got {seen!r}, exit {proc.poll()}')


def control(path, *commands, tries=10, pause=0.3):
    """Commands to an ecrsim control socket; one JSON answer each. A person's key refused
    while a host holds the line (cassardd reads held registers by itself) is pressed again."""
    answers = []
    with socket.socket(socket.AF_UNIX) as s:
        s.settimeout(5)
        s.connect(path)
        f = s.makefile('rw', encoding='utf-8')
        for c in commands:
            for attempt in range(tries):
                f.write(c + '\n')
                f.flush()
                a = json.loads(f.readline())
                if a.get('ok') or not a.get('heldByHost') or attempt == tries - 1:
                    break
                time.sleep(pause)
            if not a.get('ok'):
                raise RuntimeError(f'ecrsim refused "{c}": {a}')
            answers.append(a)
    return answers


def register_section(name, device, payments='contanti = "10", carta = "20"'):
    return f'[registers.{name}]\ndevice = "{device}"\npayments = {{ {payments} }}\n'


class Rig:
    """ecrsim registers (cassa1, ...) and cassardd with the settings given, in a temporary
    directory (short: the device paths show on the console's cards)."""

    def __init__(self, names=('cassa1',), settings='', token=None, prefix='ecr.'):
        self.dir = tempfile.mkdtemp(prefix=prefix)
        self.procs = []
        self.regs = {}
        profile = os.path.join(ARGS.source, 'tests/data/profiles/default.json')
        for name in names:
            link = os.path.join(self.dir, name)
            r = self.regs[name] = {'link': link, 'control': link + '.ctl', 'roll': link + '.roll'}
            p = self.start([ARGS.ecrsim, '--link', link, '--control', r['control'], '--profile', profile,
                            '--roll', r['roll']], f'{name}.ecrsim')
            wait_line(p, 'ecrsim ready', 20)
        self.token = token
        self.cassardd, self.url = self.serve(
            'cassardd', (f'token = "{token}"\n' if token else '') + settings + ''.join(register_section(n, r['link']) for n, r in self.regs.items()))

    def serve(self, name, settings, nice=0):
        """One more cassardd here with these settings (at this niceness): (process, URL), or
        (process, None) with what it said in self.refusal when it would not start."""
        os.makedirs(os.path.join(self.dir, f'{name}.state'))
        cfg = os.path.join(self.dir, f'{name}.toml')
        with open(cfg, 'w') as f:
            f.write(f'listen = "127.0.0.1:0"\nstate_dir = "{self.dir}/{name}.state"\ncassard = "{ARGS.cassard}"\n'
                    f'web_dir = "{ARGS.source}/web"\n{settings}')
        p = self.start((['nice', '-n', str(nice)] if nice else []) + [ARGS.cassardd, '--config', cfg], name)
        try:
            return p, wait_line(p, 'cassardd ready on ', 30).split(' on ', 1)[1].rstrip('/')
        except RuntimeError:
            p.wait(10)
            with open(os.path.join(self.dir, f'{name}.err')) as f:
                self.refusal = f.read().strip()
            return p, None

    @contextlib.contextmanager
    def extra_service(self, name, token='', nice=0):
        """A second cassardd whose one register, banco, is on no device (its receipts wait):
        (process, URL) while the block runs."""
        p, url = self.serve(name, (f'token = "{token}"\n' if token else '') +
                            register_section('banco', f'{self.dir}/no-such-device', 'contanti = "10"'), nice)
        try:
            if url is None:
                raise RuntimeError(f'{name}: {self.refusal}')
            yield p, url
        finally:
            self.end(p)

    def start(self, argv, log):
        with open(os.path.join(self.dir, log + '.err'), 'w') as err:
            p = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=err, text=True, start_new_session=True)
        self.procs.append(p)
        return p

    def end(self, p):
        """SIGTERM, then SIGKILL after 10 s; once per process."""
        if p in self.procs:
            self.procs.remove(p)
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        p.stdout.close()

    def stop(self, keep=False):
        for p in reversed(list(self.procs)):
            self.end(p)
        if keep:
            print(f'kept {self.dir}', file=sys.stderr)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)

    def api(self, method, path, body=None, key=None, headers=None, context=None, base=None, token=None):
        """(status, JSON body, headers) of one request to this rig's cassardd (or base)."""
        req = urllib.request.Request((base or self.url) + path, method=method,
                                     data=json.dumps(body).encode() if body is not None else None)
        req.add_header('Accept', 'application/json')
        if token or self.token:
            req.add_header('Authorization', 'Bearer ' + (token or self.token))
        if body is not None:
            req.add_header('Content-Type', 'application/json')
        if key:
            req.add_header('Idempotency-Key', key)
        for k, v in (headers or {}).items():
            req.add_header(k, v)
        try:
            with urllib.request.urlopen(req, timeout=30, context=context) as res:
                return res.status, json.loads(res.read() or b'null'), res.headers
        except urllib.error.HTTPError as e:
            return e.code, json.loads(e.read() or b'null'), e.headers

    def jobs(self, register='cassa1'):  # newest first
        return self.api('GET', f'/v1/jobs?register={register}&limit=500')[1]['jobs']

    def jobs_with_key(self, key):
        return [j for j in self.jobs() if j['key'] == key]

    def job(self, id_):
        return self.api('GET', f'/v1/jobs/{id_}')[1]

    def wait_job(self, id_, states=('done', 'failed', 'attention'), timeout=60):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            j = self.job(id_)
            if j['state'] in states:
                return j
            time.sleep(0.1)
        raise AssertionError(f'job {id_} still {j["state"]} after {timeout} s')

    def ecrsim(self, name, *commands):
        return control(self.regs[name]['control'], *commands)

    def receipts_on_roll(self, name='cassa1'):
        try:
            with open(self.regs[name]['roll'], encoding='latin-1') as f:
                return sum(' closed --------' in line for line in f)
        except FileNotFoundError:
            return 0


def chrome(lang='it-IT', size='1000,900', extra=(), downloads=None):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    o = webdriver.ChromeOptions()
    o.binary_location = shutil.which('chromium') or '/usr/bin/chromium'
    for a in ('--headless=new', '--no-sandbox', '--disable-dev-shm-usage', '--disable-gpu', f'--lang={lang}',
              f'--window-size={size}', '--disable-quic', '--no-first-run', '--disable-background-networking',
              '--disable-component-update', '--disable-sync', *extra):
        o.add_argument(a)
    if downloads:
        o.add_experimental_option('prefs', {'download.default_directory': downloads,
                                            'download.prompt_for_download': False})
    o.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    d = webdriver.Chrome(service=Service(shutil.which('chromedriver') or '/usr/bin/chromedriver'), options=o)
    if downloads:
        d.execute_cdp_cmd('Browser.setDownloadBehavior', {'behavior': 'allow', 'downloadPath': downloads})
    return d


def until(d, cond, timeout, message):
    from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
    from selenium.webdriver.support.ui import WebDriverWait
    # Cards and rows are redrawn as events arrive: an element may go between two looks.
    return WebDriverWait(d, timeout, poll_frequency=0.05,
                         ignored_exceptions=(NoSuchElementException, StaleElementReferenceException)
                         ).until(cond, message)


def keep_failure(test, d):
    """After a failed test: the page (PNG, HTML) and the browser's log in the artifacts, and
    the rig's directory kept (the class's `keep`)."""
    outcome = test._outcome
    result = getattr(outcome, 'result', None)
    failed = any(e for _, e in getattr(outcome, 'errors', []) if e) or \
        (result and any(t is test for t, _ in result.failures + result.errors))
    if not failed:
        return
    type(test).keep = True
    base = os.path.join(ARGS.artifacts, 'FAILED-' + test._testMethodName)
    os.makedirs(ARGS.artifacts, exist_ok=True)
    d.save_screenshot(base + '.png')
    with open(base + '.html', 'w') as f:
        f.write(d.page_source)
    with open(base + '.log', 'w') as f:
        f.write('\n'.join(str(e) for e in d.get_log('browser')))


def main(needs='these tests', prepare=lambda: None, finish=None):
    """The arguments into ARGS, then the tests of __main__; the exit status: SKIP when cassardd
    is not built, what prepare() returns if anything, else finish(program) or 0 / 1."""
    p = argparse.ArgumentParser()
    for a in PROGRAMS:
        p.add_argument('--' + a, required=True)
    args, rest = p.parse_known_args()
    for a in PROGRAMS:
        setattr(ARGS, a, os.path.abspath(getattr(args, a)))
    if not os.access(ARGS.cassardd, os.X_OK):
        print(f'SKIPPED: {needs} need cassardd, which is not built ({ARGS.cassardd})')
        return SKIP
    code = prepare()
    if code is not None:
        return code
    prog = unittest.main(module='__main__', argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    return finish(prog) if finish else 0 if prog.result.wasSuccessful() else 1
