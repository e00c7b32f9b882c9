#!/usr/bin/env python3
"""Drives Debian's Chromium through the DevTools protocol (over --remote-debugging-pipe)
against examples/mac-address.html and a running agent, in one browser run.

The pages are served from loopback origins of their own (in this process), so
every request to the agent is cross-origin, as on a real site. One origin is
served as if it were a public address (Chromium's --ip-address-space-overrides)
to show the local-network permission at work. With --allow-only, the agent's origin
policy is then set to allow one of two host names that map to loopback, and lifted.

Exit status: 0 all cases passed, 1 a case failed, 77 Chromium could not start.
Only the standard library is used.
"""
import argparse
import fcntl
import functools
import http.client
import http.server
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.parse

SKIP = 77
CHROMIUM_FLAGS = [
    '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
]
FINAL_STATES = {'ok', 'empty', 'lookup-failed', 'not-running', 'not-allowed', 'blocked', 'refused',
                'no-answer', 'bad-answer'}


class BrowserDidNotStart(Exception):
    pass


class Devtools:
    """One Chromium process and its DevTools pipe: commands, and events kept per session."""

    def __init__(self, chromium, user_data_dir, extra_flags, log_path):
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()

        # Chromium reads commands on fd 3 and writes answers on fd 4.
        def wire_pipe():
            r = fcntl.fcntl(to_browser_r, fcntl.F_DUPFD, 10)
            w = fcntl.fcntl(from_browser_w, fcntl.F_DUPFD, 10)
            os.dup2(r, 3)
            os.dup2(w, 4)

        self._log = open(log_path, 'wb')
        args = [chromium] + CHROMIUM_FLAGS + [f'--user-data-dir={user_data_dir}',
                                              '--remote-debugging-pipe'] + extra_flags + ['about:blank']
        try:
            self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=self._log,
                                            stderr=subprocess.STDOUT, preexec_fn=wire_pipe,
                                            pass_fds=(3, 4), start_new_session=True)
        except OSError as error:
            raise BrowserDidNotStart(f'{chromium}: {error}') from error
        finally:
            os.close(to_browser_r)
            os.close(from_browser_w)
        self._lock = threading.Condition()
        self._answers = {}
        self._events = {}
        self._closed = False
        self._next_id = 0
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        pending = b''
        while True:
            chunk = os.read(self._from_browser, 1 << 16)
            if not chunk:
                break
            pending += chunk
            while b'\0' in pending:
                raw, pending = pending.split(b'\0', 1)
                message = json.loads(raw)
                with self._lock:
                    if 'id' in message:
                        self._answers[message['id']] = message
                    else:
                        self._events.setdefault(message.get('sessionId'), []).append(message)
                    self._lock.notify_all()
        with self._lock:
            self._closed = True
            self._lock.notify_all()

    def call(self, method, params=None, session=None, timeout=15):
        with self._lock:
            self._next_id += 1
            message_id = self._next_id
        message = {'id': message_id, 'method': method, 'params': params or {}}
        if session:
            message['sessionId'] = session
        try:
            os.write(self._to_browser, json.dumps(message).encode() + b'\0')
        except BrokenPipeError as error:
            raise RuntimeError(f'{method}: the browser has gone') from error
        with self._lock:
            if not self._lock.wait_for(lambda: message_id in self._answers or self._closed, timeout):
                raise RuntimeError(f'{method}: no answer in {timeout} s')
            if message_id not in self._answers:
                raise RuntimeError(f'{method}: the browser has gone')
            answer = self._answers.pop(message_id)
        if 'error' in answer:
            raise RuntimeError(f'{method}: {answer["error"]}')
        return answer.get('result', {})

    def events(self, session):
        with self._lock:
            return list(self._events.get(session, []))

    def close(self):
        try:
            self.call('Browser.close', timeout=5)
        except RuntimeError:
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            # The browser started its own session: its group is every process it made.
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        for fd in (self._to_browser, self._from_browser):
            try:
                os.close(fd)
            except OSError:
                pass
        self._log.close()


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format, *args):
        pass

    def end_headers(self):
        self.send_header('Cache-Control', 'no-store')
        super().end_headers()


def serve_pages(folder):
    handler = functools.partial(QuietHandler, directory=folder)
    server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def poll(what, condition, deadline_s, interval_s=0.05):
    deadline = time.monotonic() + deadline_s
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f'{what}: not within {deadline_s} s')
        time.sleep(interval_s)


def allow_origin_for(agent, origin):
    """The Access-Control-Allow-Origin the agent gives a GET /mac from `origin` (None: none)."""
    connection = http.client.HTTPConnection(agent.hostname, agent.port, timeout=5)
    try:
        connection.request('GET', '/mac', headers={'Origin': origin})
        return connection.getresponse().getheader('Access-Control-Allow-Origin')
    finally:
        connection.close()


def port_refuses(host, port):
    with socket.socket() as s:
        s.settimeout(1)
        return s.connect_ex((host, port)) != 0


READ_PAGE = """JSON.stringify((() => {
  const status = document.getElementById('status');
  if (!status) return null;
  return {
    state: status.getAttribute('data-state'),
    word: status.textContent,
    via: document.getElementById('via').textContent,
    message: document.getElementById('message').textContent,
    macs: Array.from(document.querySelectorAll('#macs li'), li => li.textContent),
  };
})())"""


class Visit:
    """One page load in a fresh tab, with what the page shows and what went over the network."""

    def __init__(self, browser, url, agent_origin):
        self.browser = browser
        self.url = url
        self.agent_origin = agent_origin
        self.target = browser.call('Target.createTarget', {'url': 'about:blank'})['targetId']
        self.session = browser.call('Target.attachToTarget',
                                    {'targetId': self.target, 'flatten': True})['sessionId']
        for domain in ('Network', 'Runtime', 'Page'):
            browser.call(f'{domain}.enable', session=self.session)
        started = time.monotonic()
        browser.call('Page.navigate', {'url': url}, session=self.session)
        self.page = poll(f'{url}: a final state in #status', self._final_page, 20)
        self.seconds = time.monotonic() - started

    def _final_page(self):
        result = self.browser.call('Runtime.evaluate', {'expression': READ_PAGE, 'returnByValue': True},
                                   session=self.session)
        page = json.loads(result.get('result', {}).get('value') or 'null')
        return page if page and page['state'] in FINAL_STATES else None

    def agent_requests(self):
        """Requests to the agent by id: method, path, type, status or failure."""
        requests = {}
        for event in self.browser.events(self.session):
            method, params = event['method'], event['params']
            if method == 'Network.requestWillBeSent':
                url = params['request']['url']
                if url.startswith(self.agent_origin + '/'):
                    requests[params['requestId']] = {
                        'method': params['request']['method'], 'path': urllib.parse.urlsplit(url).path,
                        'type': params.get('type'), 'headers': params['request']['headers']}
            elif params.get('requestId') in requests:
                request = requests[params['requestId']]
                if method == 'Network.responseReceived':
                    request['status'] = params['response']['status']
                    request['response_headers'] = {k.lower(): v for k, v in params['response']['headers'].items()}
                    request['mime'] = params['response']['mimeType']
                    request['type'] = params.get('type', request['type'])
                elif method == 'Network.loadingFailed':
                    request['failed'] = params['errorText']
                    request['cors'] = (params.get('corsErrorStatus') or {}).get('corsError')
                    request['cors_parameter'] = (params.get('corsErrorStatus') or {}).get('failedParameter')
                elif method == 'Network.loadingFinished':
                    request['finished'] = True
        return list(requests.values())

    def settled_agent_requests(self, count):
        """The agent requests once `count` of them have finished or failed (events may trail the page)."""
        def settled():
            requests = self.agent_requests()
            done = [r for r in requests if r.get('finished') or 'failed' in r]
            return requests if len(done) >= count else None
        return poll(f'{self.url}: {count} finished requests to the agent', settled, 10)

    def exceptions(self):
        return [e['params']['exceptionDetails'].get('exception', {}).get('description')
                or e['params']['exceptionDetails'].get('text')
                for e in self.browser.events(self.session) if e['method'] == 'Runtime.exceptionThrown']

    def close(self):
        self.browser.call('Target.closeTarget', {'targetId': self.target})


class Cases:
    def __init__(self):
        self.passed = []
        self.failed = []

    def check(self, name, run):
        started = time.monotonic()
        try:
            run()
        except Exception as error:  # a case's failure is reported, the next case still runs
            self.failed.append(name)
            print(f'not ok - {name}: {error}', flush=True)
            return
        self.passed.append(name)
        print(f'ok - {name} ({time.monotonic() - started:.1f} s)', flush=True)


def expect(condition, text):
    if not condition:
        raise AssertionError(text)


def only(requests, method, path):
    return [r for r in requests if r['method'] == method and r['path'] == path]


def stop_on_signal(number, frame):
    raise SystemExit(128 + number)


def main():
    # TERM from the test script (or ctest) unwinds like an error: the browser is closed.
    signal.signal(signal.SIGTERM, stop_on_signal)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--pages', required=True, help='folder holding mac-address.html')
    parser.add_argument('--agent', required=True, help='agent base URL, e.g. http://127.0.0.1:17654')
    parser.add_argument('--expect', required=True, help='the MAC list the agent must report, comma-separated')
    parser.add_argument('--stop-agent', required=True, help='shell command that stops the agent')
    parser.add_argument('--allow-only', help='shell command that restricts the agent to the origin in $1 '
                        '(without it, no origin policy cases)')
    parser.add_argument('--lift-policy', help='shell command that removes the origin policy')
    parser.add_argument('--work', required=True, help='folder for the profile and the browser log')
    parser.add_argument('--chromium', default='chromium')
    options = parser.parse_args()

    expected = [m for m in options.expect.split(',') if m]
    agent = urllib.parse.urlsplit(options.agent)
    agent_origin = f'{agent.scheme}://{agent.netloc}'
    local_site = serve_pages(options.pages)
    public_site = serve_pages(options.pages)
    public_port = public_site.server_address[1]

    def page(site, query, host='localhost'):
        return (f'http://{host}:{site.server_address[1]}/mac-address.html?'
                + urllib.parse.urlencode(dict(agent=options.agent, **query)))

    log_path = os.path.join(options.work, 'chromium.log')
    try:
        browser = Devtools(options.chromium, os.path.join(options.work, 'profile'),
                           [f'--ip-address-space-overrides=127.0.0.1:{public_port}=public',
                            '--host-resolver-rules=MAP allowed.test 127.0.0.1, MAP other.test 127.0.0.1'], log_path)
        try:
            version = browser.call('Browser.getVersion', timeout=30)['product']
        except RuntimeError as error:
            browser.close()
            raise BrowserDidNotStart(str(error)) from error
    except BrowserDidNotStart as error:
        print(f'SKIP: Chromium could not start: {error}', flush=True)
        if os.path.exists(log_path):
            with open(log_path, errors='replace') as log:
                sys.stdout.write(log.read()[-3000:])
        return SKIP
    print(f'# {version}, pages on localhost:{local_site.server_address[1]} and, as a public '
          f'address, localhost:{public_port}; agent at {options.agent}', flush=True)

    cases = Cases()
    try:
        def visit(url, check):
            def run():
                v = Visit(browser, url, agent_origin)
                try:
                    check(v)
                    expect(not v.exceptions(), f'uncaught exceptions in the page: {v.exceptions()}')
                finally:
                    v.close()
            return run

        def fetch_path(v):
            expect(v.page['word'] == 'ok' and v.page['via'] == 'fetch', f'page shows {v.page}')
            expect(v.page['macs'] == expected, f'page lists {v.page["macs"]}, expected {expected}')
            requests = v.settled_agent_requests(1)
            gets = only(requests, 'GET', '/mac')
            expect(len(gets) == 1 and gets[0].get('status') == 200 and gets[0]['type'] == 'Fetch',
                   f'one fetch GET /mac answered 200: {requests}')
            expect(len(requests) == 1, f'a plain GET needs no preflight and no JSONP: {requests}')
        cases.check('a plain fetch shows exactly the agent\'s MAC list', visit(page(local_site, {}), fetch_path))

        def jsonp_path(v):
            expect(v.page['word'] == 'ok' and v.page['via'] == 'jsonp', f'page shows {v.page}')
            expect(v.page['macs'] == expected, f'page lists {v.page["macs"]}, expected {expected}')
            requests = v.settled_agent_requests(1)
            scripts = only(requests, 'GET', '/macp')
            expect(len(requests) == 1 and len(scripts) == 1, f'one request, to /macp: {requests}')
            expect(scripts[0]['type'] == 'Script' and scripts[0].get('status') == 200
                   and scripts[0].get('mime') == 'application/javascript',
                   f'/macp loaded as a script: {scripts[0]}')
        cases.check('JSONP (forced) shows the same list through macCallback',
                    visit(page(local_site, {'mode': 'jsonp'}), jsonp_path))

        def custom_header(v):
            expect(v.page['word'] == 'refused', f'page shows {v.page}')
            requests = v.settled_agent_requests(2)
            preflights = only(requests, 'OPTIONS', '/mac')
            gets = only(requests, 'GET', '/mac')
            expect(len(preflights) == 1 and preflights[0].get('status') == 200,
                   f'the agent answered the preflight with 200: {requests}')
            expect(preflights[0]['headers'].get('Access-Control-Request-Headers') == 'x-requested-with',
                   f'the preflight asked for the custom header: {preflights[0]}')
            expect(len(gets) == 1 and gets[0].get('cors') == 'HeaderDisallowedByPreflightResponse'
                   and gets[0].get('cors_parameter') == 'x-requested-with' and 'status' not in gets[0],
                   f'the GET was refused after the preflight, never sent: {gets}')
        cases.check('a fetch with a custom header is refused after the agent\'s preflight answer',
                    visit(page(local_site, {'mode': 'custom-header'}), custom_header))

        def blocked(v):
            expect(v.page['word'] == 'blocked', f'page shows {v.page}')
            requests = v.settled_agent_requests(2)
            expect([(r['method'], r['path'], r.get('cors')) for r in requests]
                   == [('GET', '/mac', 'LocalNetworkAccessPermissionDenied'),
                       ('GET', '/macp', 'LocalNetworkAccessPermissionDenied')],
                   f'fetch and JSONP both stopped by the permission: {requests}')
        cases.check('a public page without local-network permission shows "blocked"',
                    visit(page(public_site, {}), blocked))

        def grant_then_visit():
            browser.call('Browser.setPermission', {
                'permission': {'name': 'loopback-network'}, 'setting': 'granted',
                'origin': f'http://localhost:{public_port}'})
            visit(page(public_site, {}), fetch_path)()
        cases.check('the same public page with "loopback-network" granted reads the list', grant_then_visit)

        allowed = f'http://allowed.test:{local_site.server_address[1]}'

        def set_policy(command, argument, allow_origin):
            subprocess.run(['bash', '-c', command, 'policy', argument], check=True, timeout=60)
            # The running agent follows the registry by itself: no restart.
            poll('the policy in force', lambda: allow_origin_for(agent, allowed) == allow_origin, 15)

        def allowed_fetch(v):
            fetch_path(v)
            answer = v.agent_requests()[0]['response_headers']
            expect((answer.get('access-control-allow-origin'), answer.get('vary')) == (allowed, 'Origin'),
                   f'the page\'s own origin allowed, not *: {answer}')

        def allowed_jsonp(v):
            jsonp_path(v)
            referer = v.agent_requests()[0]['headers'].get('Referer')
            expect(referer == allowed + '/', f'the script sent its page\'s origin as Referer: {referer}')

        def restrict_then_visit():
            set_policy(options.allow_only, allowed, allowed)
            visit(page(local_site, {}, 'allowed.test'), allowed_fetch)()
            visit(page(local_site, {'mode': 'jsonp'}, 'allowed.test'), allowed_jsonp)()

        def not_allowed(v):
            expect(v.page['word'] == 'not-allowed' and v.page['via'] == '-', f'page shows {v.page}')
            requests = v.settled_agent_requests(3)
            # The 403 has no CORS header, ORB keeps it from the script, and the no-cors
            # probe gets it as an opaque answer: that the agent answered is all it tells.
            expect([(r['path'], r['type'], r.get('cors') or r.get('status') or r.get('failed')) for r in requests]
                   == [('/mac', 'Fetch', 'MissingAllowOriginHeader'), ('/macp', 'Script', 'net::ERR_BLOCKED_BY_ORB'),
                       ('/mac', 'Fetch', 403)], f'fetch, JSONP and the probe all refused: {requests}')

        def lift_then_visit():
            set_policy(options.lift_policy, '', '*')
            visit(page(local_site, {}, 'other.test'), fetch_path)()

        if options.allow_only:
            cases.check('restricted to allowed.test while running, the agent lets its page read the list by fetch '
                        'and JSONP', restrict_then_visit)
            cases.check('a page on other.test gets neither and shows "not-allowed"',
                        visit(page(local_site, {}, 'other.test'), not_allowed))
            cases.check('so does the public page with "loopback-network" granted',
                        visit(page(public_site, {}), not_allowed))
            cases.check('with the policy removed, other.test reads the list again', lift_then_visit)
        else:
            print('# no way to set an origin policy here (--allow-only): its cases are left out', flush=True)

        def stop_agent():
            host, port = agent.hostname, agent.port or 80
            subprocess.run(['bash', '-c', options.stop_agent], check=True, timeout=120)
            poll(f'the agent on port {port} closed', lambda: port_refuses(host, port), 30)

        def not_running(v):
            expect(v.page['word'] == 'not-running' and v.page['via'] == '-', f'page shows {v.page}')
            requests = v.settled_agent_requests(3)
            expect([(r['method'], r['path'], r.get('failed')) for r in requests]
                   == [('GET', '/mac', 'net::ERR_CONNECTION_REFUSED'),
                       ('GET', '/macp', 'net::ERR_CONNECTION_REFUSED'),
                       ('GET', '/mac', 'net::ERR_CONNECTION_REFUSED')],
                   f'fetch, then JSONP, then the no-cors probe, all refused: {requests}')

        def not_running_jsonp(v):
            expect(v.page['word'] == 'not-running', f'page shows {v.page}')
            requests = v.settled_agent_requests(2)
            expect([(r['path'], r.get('failed')) for r in requests]
                   == [('/macp', 'net::ERR_CONNECTION_REFUSED'), ('/mac', 'net::ERR_CONNECTION_REFUSED')],
                   f'JSONP, then the no-cors probe, refused: {requests}')

        def agent_stopped():
            stop_agent()
            visit(page(local_site, {}), not_running)()
            visit(page(local_site, {'mode': 'jsonp'}), not_running_jsonp)()
        cases.check('with the agent stopped the page says "not-running" (fetch and JSONP onerror)',
                    agent_stopped)
    finally:
        browser.close()
        local_site.shutdown()
        public_site.shutdown()

    print(f'{len(cases.passed)} passed, {len(cases.failed)} failed', flush=True)
    if cases.failed:
        with open(log_path, errors='replace') as log:
            # Without a session bus Chromium logs D-Bus errors by the dozen: they say nothing here.
            lines = [line for line in log if 'dbus' not in line.lower()]
        sys.stdout.write('# chromium log (end):\n' + ''.join(lines[-30:]))
    return 1 if cases.failed else 0


if __name__ == '__main__':
    sys.exit(main())
