#!/usr/bin/env python3
"""A desktop till printing through cassardd, with nothing but Python's standard library.

  till.py [--server URL] [--token-file FILE] [--state DIR] sell REGISTER ITEM... --pay METHOD
  till.py [--server URL] [--token-file FILE] [--state DIR] resume

ITEM is DESCRIPTION:CENTS or DESCRIPTION:CENTSxQUANTITY (PANE:125x2). The sale is written
to DIR/pending/KEY.json, with its Idempotency-Key, before it is first sent; it is sent
again with the same key (after a timeout, a dropped connection, a crash of this program)
until its job is final, and only then removed. `resume` finishes the sales a crash left.

Exit status: 0 printed (done), 1 not printed (failed: sell again), 2 a person must look
(attention), 3 refused (the request was wrong; nothing kept), 4 the token was refused,
5 the service could not be reached before --give-up seconds (the sale stays pending).
"""

import argparse
import json
import os
import secrets
import sys
import time
import urllib.error
import urllib.request
from datetime import datetime, timezone
from decimal import ROUND_HALF_UP, Decimal

FINAL = ('done', 'failed', 'attention')
EXIT = {'done': 0, 'failed': 1, 'attention': 2}


class Refused(Exception):
    """The service answered with an error that sending again cannot change."""

    def __init__(self, status, error):
        self.status = status
        self.error = error or {}
        super().__init__(f'{status} {self.error.get("code")}: {self.error.get("message")}'
                         + (f' (field {self.error["field"]})' if self.error.get('field') else ''))


class Till:
    def __init__(self, server, token, state, timeout=15, give_up=None, out=sys.stdout):
        self.server = server.rstrip('/')
        self.token = token
        self.pending_dir = os.path.join(state, 'pending')
        os.makedirs(self.pending_dir, exist_ok=True)
        self.timeout = timeout
        self.give_up = give_up
        self.out = out

    # -- HTTP ---------------------------------------------------------------------------

    def call(self, method, path, body=None, headers=None):
        """(status, JSON body) of a 2xx; Refused for a 4xx; OSError (retry) otherwise."""
        data = json.dumps(body).encode() if body is not None else None
        req = urllib.request.Request(self.server + path, data=data, method=method)
        req.add_header('Accept', 'application/json')
        if data is not None:
            req.add_header('Content-Type', 'application/json')
        if self.token:
            req.add_header('Authorization', 'Bearer ' + self.token)
        for k, v in (headers or {}).items():
            req.add_header(k, v)
        try:
            with urllib.request.urlopen(req, timeout=self.timeout) as res:
                return res.status, json.loads(res.read() or b'null')
        except urllib.error.HTTPError as e:
            try:
                err = json.loads(e.read() or b'null')
            except ValueError:
                err = None
            err = (err or {}).get('error') if isinstance(err, dict) else None
            if e.code >= 500:
                # The store or the register cannot do it now: the same key again later.
                raise OSError(f'{e.code} {(err or {}).get("message", "")}') from e
            raise Refused(e.code, err) from e

    # -- pending sales --------------------------------------------------------------------

    def keep(self, sale):
        """Written whole or not at all: a crash leaves the old file or the new one."""
        path = os.path.join(self.pending_dir, sale['key'] + '.json')
        tmp = path + '.tmp'
        with open(tmp, 'w') as f:
            json.dump(sale, f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
        fd = os.open(self.pending_dir, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)

    def forget(self, sale):
        os.remove(os.path.join(self.pending_dir, sale['key'] + '.json'))

    def pending(self):
        out = []
        for name in sorted(os.listdir(self.pending_dir)):
            if name.endswith('.json'):
                with open(os.path.join(self.pending_dir, name)) as f:
                    out.append(json.load(f))
        return sorted(out, key=lambda s: s['savedAt'])

    # -- a sale to its end ----------------------------------------------------------------

    def sell(self, register, receipt):
        sale = {'key': 'py-' + secrets.token_hex(12), 'register': register, 'receipt': receipt,
                'savedAt': datetime.now(timezone.utc).isoformat(), 'jobId': None}
        self.keep(sale)
        return self.finish(sale)

    def finish(self, sale):
        start = time.monotonic()
        delay = 0.5
        path = f'/v1/registers/{sale["register"]}/receipts'
        while sale['jobId'] is None:
            try:
                status, job = self.call('POST', path, sale['receipt'], {'Idempotency-Key': sale['key']})
                sale['jobId'] = job['id']
                self.keep(sale)
                self.say(f'sale {sale["key"]}: job {job["id"]} ({"new" if status == 201 else "already known"})')
            except Refused as e:
                if e.status in (400, 404, 409, 413, 415):
                    self.forget(sale)  # nothing was stored, and the same request cannot pass
                raise
            except OSError as e:
                self.wait_or_give_up(start, f'not sent ({e})', delay)
                delay = min(delay * 2, 10)
        job = self.wait_final(sale['jobId'], start)
        self.forget(sale)
        return job

    def wait_or_give_up(self, start, why, delay):
        if self.give_up is not None and time.monotonic() - start > self.give_up:
            raise TimeoutError(why)
        self.say(f'{why}: again in {delay:.1f} s')
        time.sleep(delay)

    def wait_final(self, job_id, start):
        """The job in a final state: from the events, or by polling when they are not there."""
        delay = 0.5
        while True:
            try:
                job = self.call('GET', f'/v1/jobs/{job_id}')[1]
                if job['state'] in FINAL:
                    return job
                self.watch_events(job_id)
            except OSError as e:
                self.wait_or_give_up(start, f'job {job_id} not read ({e})', delay)
                delay = min(delay * 2, 10)

    def watch_events(self, job_id, limit=30):
        """Reads the event stream until job_id changes (or `limit` seconds pass)."""
        req = urllib.request.Request(self.server + '/v1/events')
        if self.token:
            req.add_header('Authorization', 'Bearer ' + self.token)
        end = time.monotonic() + limit
        with urllib.request.urlopen(req, timeout=20) as res:
            event = None
            for raw in res:
                line = raw.decode('utf-8').rstrip('\n')
                if line.startswith('event:'):
                    event = line[6:].strip()
                elif line.startswith('data:') and event == 'job':
                    if json.loads(line[5:]).get('id') == job_id:
                        return
                if time.monotonic() > end:
                    return

    def say(self, text):
        print(text, file=self.out, flush=True)


def parse_item(text):
    desc, _, rest = text.rpartition(':')
    price, _, qty = rest.partition('x')
    if not desc or not price.isdigit():
        raise ValueError(f'item {text!r}: write DESCRIPTION:CENTS or DESCRIPTION:CENTSxQUANTITY')
    item = {'description': desc, 'price': int(price)}
    if qty:
        item['quantity'] = float(qty.replace(',', '.')) if ('.' in qty or ',' in qty) else int(qty)
    return item


def report(job, out):
    if job['state'] == 'done':
        print(f'printed: receipt {job["receiptNumber"]} (job {job["id"]})', file=out)
    elif job['state'] == 'failed':
        print(f'NOT printed (job {job["id"]}): {job.get("reason")}; sell again', file=out)
    else:
        print(f'a person must look at the register (job {job["id"]}): {job.get("reason")}', file=out)
    return EXIT[job['state']]


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    p.add_argument('--server', default=os.environ.get('CASSARDD', 'http://127.0.0.1:8765'))
    p.add_argument('--token-file', help='a file holding the token (not the token on the command line)')
    p.add_argument('--state', default=os.path.expanduser('~/.cassard-till'))
    p.add_argument('--give-up', type=float, default=None, help='seconds; by default it keeps trying')
    sub = p.add_subparsers(dest='cmd', required=True)
    s = sub.add_parser('sell')
    s.add_argument('register')
    s.add_argument('items', nargs='+')
    s.add_argument('--pay', default='contanti')
    sub.add_parser('resume')
    a = p.parse_args(argv)
    token = ''
    if a.token_file:
        with open(a.token_file) as f:
            token = f.read().strip()
    till = Till(a.server, token, a.state, give_up=a.give_up)
    try:
        if a.cmd == 'sell':
            items = [parse_item(t) for t in a.items]
            # Each line as the register counts it: price x quantity, half up to the cent.
            total = sum(int((Decimal(i['price']) * Decimal(str(i.get('quantity', 1))))
                            .quantize(Decimal(1), rounding=ROUND_HALF_UP)) for i in items)
            return report(till.sell(a.register, {'items': items, 'payments': [{'method': a.pay, 'amount': total}]}),
                          sys.stdout)
        status = 0
        for sale in till.pending():
            status = max(status, report(till.finish(sale), sys.stdout))
        return status
    except ValueError as e:
        print(f'till: {e}', file=sys.stderr)
        return 3
    except Refused as e:
        print(f'till: refused: {e}', file=sys.stderr)
        return 4 if e.status == 401 else 3
    except TimeoutError as e:
        print(f'till: cassardd not reached, the sale stays pending for `resume`: {e}', file=sys.stderr)
        return 5


if __name__ == '__main__':
    sys.exit(main())
