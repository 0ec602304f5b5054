#!/usr/bin/python3
"""Every answer the service tests received, checked against docs/cassardd-openapi.json.

  contract_check.py OPENAPI ANSWERS.jsonl      check the answers the rig recorded
  contract_check.py OPENAPI --self-test        the checker against answers made wrong on purpose

Each line of ANSWERS is {"method", "path", "status", "type", "body"}. The path is matched
against the document's path templates; the status must be one the operation lists; a JSON
body must match the response's schema, and each event of a /v1/events stream the schema
of its type. Schemas are the document's, with $ref resolved and OpenAPI 3.0's `nullable`
and boolean `exclusiveMinimum` read as JSON Schema says them. Objects marked
additionalProperties: false refuse a field the document does not name.
"""

import copy
import json
import re
import sys
from collections import OrderedDict

import jsonschema

# The schema each event type carries.
EVENT_SCHEMAS = {'job': 'JobSummary', 'register': 'Register'}

# Fields the document requires that this branch's service does not send yet: an answer
# without them passes, and the count is printed. Empty this list (or pass --strict) once
# the service sends them all; a field in it that every answer carries is reported too.
PENDING = {}


# Operations the document describes that this branch's service does not serve yet: a 404 or
# 405 from them passes, and is counted. Empty with PENDING.
PENDING_OPERATIONS = frozenset()


class Contract:
    def __init__(self, doc, pending, pending_operations=frozenset()):
        self.doc = doc
        self.pending = pending
        self.pending_operations = pending_operations
        self.unserved = {}  # (method, template) -> answers
        self.missing = {}  # (schema, field) -> answers that lacked it
        self.carried = {}  # (schema, field) -> answers that had it
        self.templates = []
        for template, item in doc['paths'].items():
            rx = '^' + re.sub(r'\\\{[^}]+\\\}', '[^/]+', re.escape(template)) + '$'
            # A literal segment is more specific than a parameter: /v1/jobs/x/files/y is
            # the file, not a job named "x/files/y".
            self.templates.append((template.count('{'), re.compile(rx), template, item))
        self.templates.sort(key=lambda t: t[0])
        self.cache = {}

    # -- schemas ---------------------------------------------------------------------

    def ref(self, ref):
        node = self.doc
        for part in ref.lstrip('#/').split('/'):
            node = node[part.replace('~1', '/').replace('~0', '~')]
        return node

    def to_json_schema(self, s, name=None):
        """The OpenAPI 3.0 schema s as JSON Schema (draft 7), $refs inlined."""
        if isinstance(s, list):
            return [self.to_json_schema(x) for x in s]
        if not isinstance(s, dict):
            return s
        if '$ref' in s:
            target = s['$ref'].rsplit('/', 1)[-1]
            return self.to_json_schema(self.ref(s['$ref']), target)
        out = {}
        for k, v in s.items():
            if k in ('example', 'nullable', 'description'):
                continue
            if k == 'properties':
                out[k] = {p: self.to_json_schema(x, f'{name}.{p}' if name else None)
                          for p, x in v.items()}
            elif k == 'items':
                out[k] = self.to_json_schema(v, name)
            elif k in ('allOf', 'anyOf', 'oneOf', 'not', 'additionalProperties'):
                out[k] = self.to_json_schema(v)
            else:
                out[k] = copy.deepcopy(v)
        if out.get('exclusiveMinimum') is True:
            out['exclusiveMinimum'] = out.pop('minimum')
        elif out.get('exclusiveMinimum') is False:
            del out['exclusiveMinimum']
        if out.get('exclusiveMaximum') is True:
            out['exclusiveMaximum'] = out.pop('maximum')
        elif out.get('exclusiveMaximum') is False:
            del out['exclusiveMaximum']
        if name and name in self.pending and 'required' in out:
            out['required'] = [r for r in out['required'] if r not in self.pending[name]]
            if 'properties' in out:
                out['x-pending'] = [name, self.pending[name]]
        if s.get('nullable'):
            out = {'anyOf': [{'type': 'null'}, out]}
        return out

    def schema(self, s):
        key = json.dumps(s, sort_keys=True)
        if key not in self.cache:
            self.cache[key] = self.to_json_schema(s)
        return self.cache[key]

    def count_pending(self, schema, value):
        """Tally the pending fields an answer had or lacked, through the whole value."""
        if isinstance(schema, dict):
            if 'x-pending' in schema and isinstance(value, dict):
                name, fields = schema['x-pending']
                for f in fields:
                    book = self.carried if f in value else self.missing
                    book[(name, f)] = book.get((name, f), 0) + 1
            for k in ('anyOf', 'allOf', 'oneOf'):
                for sub in schema.get(k, []):
                    self.count_pending(sub, value)
            if isinstance(value, dict):
                for p, sub in schema.get('properties', {}).items():
                    if p in value:
                        self.count_pending(sub, value[p])
            if isinstance(value, list) and 'items' in schema:
                for v in value:
                    self.count_pending(schema['items'], v)

    def validate(self, schema, value):
        """The first fault of value against schema, as one line, or None."""
        errors = sorted(jsonschema.Draft7Validator(schema).iter_errors(value),
                        key=lambda e: (len(e.absolute_path), str(e.absolute_path)))
        if not errors:
            self.count_pending(schema, value)
            return None
        e = jsonschema.exceptions.best_match(errors)
        where = ''.join(f'[{p}]' if isinstance(p, int) else f'.{p}' for p in e.absolute_path) or '(the body)'
        return f'{where}: {e.message[:300]}'

    # -- answers ---------------------------------------------------------------------

    def operation(self, method, path):
        for _, rx, template, item in self.templates:
            if rx.match(path):
                return template, item.get(method.lower())
        return None, None

    def check(self, a):
        """Faults of one recorded answer: a list of (operation, fault)."""
        path = a['path'].split('?', 1)[0]
        method, status, body = a['method'].upper(), a['status'], a['body']
        if method == 'OPTIONS':
            return []  # CORS preflights: headers only
        template, op = self.operation(method, path)
        is_json = a.get('type', '').split(';')[0].strip() == 'application/json'
        name = f'{method} {template or path} {status}'
        if op is None:
            # No such operation: a page's file, or an error answer in the common shape.
            if template is None and not path.startswith('/v1/') and not is_json:
                return []
            if not 400 <= status < 500:
                return [(name, f'{status} for a request the document has no operation for')]
            if not is_json:
                return [(name, f'an error answer that is not JSON ({a.get("type")})')]
            fault = self.validate(self.schema({'$ref': '#/components/schemas/Error'}), json.loads(body))
            return [(name, fault)] if fault else []
        if (method, template) in self.pending_operations and status in (404, 405):
            self.unserved[(method, template)] = self.unserved.get((method, template), 0) + 1
            return []
        responses = op['responses']
        resp = responses.get(str(status)) or responses.get(f'{str(status)[0]}XX') or responses.get('default')
        if resp is None:
            return [(name, f'status {status} is not among the documented {sorted(responses)}')]
        if '$ref' in resp:
            resp = self.ref(resp['$ref'])
        content = resp.get('content', {})
        if 'application/json' in content:
            if not is_json:
                return [(name, f'documented as application/json, answered as {a.get("type")!r}')]
            try:
                value = json.loads(body)
            except ValueError as e:
                return [(name, f'the body is not JSON: {e}')]
            fault = self.validate(self.schema(content['application/json']['schema']), value)
            return [(name, fault)] if fault else []
        if 'text/event-stream' in content and status == 200:
            return [(name, f) for f in self.check_events(body)]
        return []

    def check_events(self, stream):
        faults = []
        for block in stream.split('\n\n'):
            fields = {}
            for line in block.split('\n'):
                if line and not line.startswith(':') and ':' in line:
                    k, v = line.split(':', 1)
                    fields[k] = fields.get(k, '') + v[1:] if v.startswith(' ') else v
            if 'data' not in fields:
                continue
            kind = fields.get('event', 'message')
            if kind not in EVENT_SCHEMAS:
                faults.append(f'event {fields.get("id")}: type {kind!r} is not one the document describes')
                continue
            try:
                value = json.loads(fields['data'])
            except ValueError as e:
                faults.append(f'event {fields.get("id")} ({kind}): data is not JSON: {e}')
                continue
            fault = self.validate(self.schema({'$ref': '#/components/schemas/' + EVENT_SCHEMAS[kind]}), value)
            if fault:
                faults.append(f'event {kind}: {fault}')
        return faults


def doc_faults(doc):
    """Job repeats every field of JobSummary: the two copies must not drift apart."""
    s = doc['components']['schemas']
    out = []
    for field, schema in s['JobSummary']['properties'].items():
        if s['Job']['properties'].get(field) != schema:
            out.append(f'Job.{field} differs from JobSummary.{field} (or is missing)')
    for field in s['JobSummary']['required']:
        if field not in s['Job']['required']:
            out.append(f'Job does not require {field}, which JobSummary requires')
    return out


def run(doc_path, answers_path, strict):
    with open(doc_path) as f:
        doc = json.load(f)
    c = Contract(doc, {} if strict else PENDING, frozenset() if strict else PENDING_OPERATIONS)
    faults = OrderedDict()
    for f in doc_faults(doc):
        faults.setdefault(('document', f), []).append(0)
    n = 0
    try:
        with open(answers_path) as f:
            lines = f.readlines()
    except FileNotFoundError:
        lines = []
    for i, line in enumerate(lines, 1):
        if not line.strip():
            continue
        n += 1
        try:
            a = json.loads(line)
        except ValueError:
            faults.setdefault(('answers file', f'line {i} is not JSON (a write cut short?)'), []).append(i)
            continue
        for op, fault in c.check(a):
            faults.setdefault((op, fault), []).append(i)
    if n == 0:
        print(f'FAILED: no answers recorded in {answers_path}: run the service tests first '
              '(ctest runs this check after them)')
        return 1
    for (name, field), count in sorted(c.missing.items()):
        print(f'pending: {name}.{field} missing from {count} answers '
              f'(carried by {c.carried.get((name, field), 0)})')
    for (method, template), count in sorted(c.unserved.items()):
        print(f'pending: {method} {template} not served yet ({count} answers 404/405)')
    for (op, fault), where in faults.items():
        print(f'FAULT {op}: {fault}  [{len(where)} answers, first at line {where[0]}]')
    print(f'{n} answers checked against {doc_path}: {len(faults)} distinct faults')
    return 1 if faults else 0


def self_test(doc_path):
    """Answers made wrong on purpose must be caught; good ones must pass."""
    with open(doc_path) as f:
        doc = json.load(f)
    c = Contract(doc, PENDING)
    reg = {'name': 'cassa1', 'device': '/dev/x', 'state': 'idle', 'queued': 0, 'held': None,
           'lastStatus': None, 'lastError': None, 'errorCode': None, 'attention': 0,
           'payments': [{'method': 'contanti', 'code': '10', 'amount': True, 'change': True,
                         'rest': True}]}
    job = {'id': 1, 'register': 'cassa1', 'key': 'k', 'kind': 'receipt', 'state': 'done', 'exitStatus': 0,
           'meaning': 'completed', 'failedLine': None, 'receiptNumber': '0124', 'reason': None,
           'createdAt': '2026-01-01T00:00:00Z', 'startedAt': None, 'endedAt': None,
           'total': 313, 'change': 0, 'settledBy': 'run', 'reasonCode': 'fiscalised',
           'reasonParams': {'receiptNumber': '0124'}, 'payments': ['carta'], 'expiresAt': None}
    full = dict(job, request={}, lines=[], console='', dumpLog='', registerText=None, files=[],
                statusBefore=None, statusAfter=None, note=None)

    def changed(base, **kw):
        out = copy.deepcopy(base)
        for k, v in kw.items():
            if v is KeyError:
                del out[k]
            else:
                out[k] = v
        return out

    def ans(method, path, status, body, type_='application/json'):
        return {'method': method, 'path': path, 'status': status, 'type': type_,
                'body': body if isinstance(body, str) else json.dumps(body)}

    def ev(kind, value):
        return f'id: 2\nevent: {kind}\ndata: {json.dumps(value)}\n\n'

    err = {'error': {'code': 'invalid', 'message': 'm', 'field': None}}
    rows = [  # legend, answer, caught
        ('a register as it is', ans('GET', '/v1/registers/cassa1', 200, reg), False),
        ('a field added', ans('GET', '/v1/registers/cassa1', 200, changed(reg, colour='red')), True),
        ('a field renamed', ans('GET', '/v1/registers/cassa1', 200, changed(reg, queued=KeyError, queue=0)), True),
        ('a field retyped', ans('GET', '/v1/registers/cassa1', 200, changed(reg, queued='0')), True),
        ('null where the type has none', ans('GET', '/v1/registers/cassa1', 200, changed(reg, device=None)), True),
        ('a nested object with a field added', ans('GET', '/v1/registers/cassa1', 200, changed(
            reg, lastStatus={'model': 'M', 'brand': 'B', 'serial': 'S', 'fiscalisedAt': 'x',
                             'receiptNumber': '0001', 'saleOpen': False, 'colour': 1})), True),
        ('a job whole', ans('GET', '/v1/jobs/1', 200, full), False),
        ('a job with a state not listed', ans('GET', '/v1/jobs/1', 200, changed(full, state='lost')), True),
        ('a job without a field of its own', ans('GET', '/v1/jobs/1', 200, changed(full, console=KeyError)), True),
        ('a list row carrying a whole job', ans('GET', '/v1/jobs', 200, {'jobs': [full], 'next': None}), True),
        ('a created job', ans('POST', '/v1/registers/cassa1/receipts', 201, full), False),
        ('a status the operation does not list', ans('POST', '/v1/registers/cassa1/receipts', 202, full), True),
        ('an error with a code not listed', ans('GET', '/v1/jobs/1', 404, changed(
            err, error={'code': 'gone', 'message': 'm', 'field': None})), True),
        ('an error without its field', ans('GET', '/v1/jobs/1', 404, {'error': {'code': 'invalid', 'message': 'm'}}), True),
        ('no such resource', ans('GET', '/v1/nope', 404, err), False),
        ('no such resource, answered 200', ans('GET', '/v1/nope', 200, err), True),
        ('JSON where the document says JSON, but typed text', ans('GET', '/v1/jobs/1', 200, full, 'text/plain'), True),
        ('events as they are', ans('GET', '/v1/events', 200, ev('register', reg) + ev('job', job), 'text/event-stream'), False),
        ('an event with a field added', ans('GET', '/v1/events', 200, ev('job', changed(job, extra=1)), 'text/event-stream'), True),
        ('an event of an unknown type', ans('GET', '/v1/events', 200, ev('shift', {}), 'text/event-stream'), True),
        ('a page file', ans('GET', '/app.js', 200, 'export {}', 'text/javascript'), False),
    ]
    bad = 0
    for legend, answer, caught in rows:
        got = c.check(answer)
        if bool(got) != caught:
            bad += 1
            print(f'FAULT {legend}: {"passed" if not got else got}')
    for legend, fault in (('Job drifting from JobSummary', 'colour'),):
        d2 = copy.deepcopy(doc)
        d2['components']['schemas']['JobSummary']['properties'][fault] = {'type': 'string'}
        if not doc_faults(d2):
            bad += 1
            print(f'FAULT {legend}: not caught')
    if doc_faults(doc):
        bad += 1
        print(f'FAULT the document itself: {doc_faults(doc)}')
    print(f'self-test: {len(rows) + 1} rows, {bad} wrong')
    return 1 if bad else 0


if __name__ == '__main__':
    args = [a for a in sys.argv[1:] if a != '--strict']
    if len(args) != 2:
        print(__doc__)
        sys.exit(2)
    if args[1] == '--self-test':
        sys.exit(self_test(args[0]))
    sys.exit(run(args[0], args[1], '--strict' in sys.argv))
