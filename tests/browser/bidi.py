"""Firefox ESR driven over WebDriver BiDi (--remote-debugging-port), with a WebSocket
client of the standard library: Debian has no geckodriver, and nothing is downloaded.

Firefox allows one BiDi session per process; this is that session.
"""
import base64
import json
import os
import re
import select
import signal
import socket
import struct
import subprocess
import threading
import time


class BrowserDidNotStart(Exception):
    pass


class WebSocket:
    """A client WebSocket (RFC 6455): text messages, masked as a client must."""

    def __init__(self, host, port, path, timeout=15):
        self._socket = socket.create_connection((host, port), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        # No Origin: Firefox refuses a BiDi client that sends one.
        self._socket.sendall((f'GET {path} HTTP/1.1\r\nHost: {host}:{port}\r\nUpgrade: websocket\r\n'
                              f'Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n'
                              'Sec-WebSocket-Version: 13\r\n\r\n').encode())
        head = b''
        while b'\r\n\r\n' not in head:
            chunk = self._socket.recv(4096)
            if not chunk:
                raise ConnectionError('the WebSocket handshake ended early')
            head += chunk
        head, self._pending = head.split(b'\r\n\r\n', 1)
        if not head.startswith(b'HTTP/1.1 101'):
            raise ConnectionError(f'WebSocket handshake refused: {head.splitlines()[0]!r}')
        self._socket.settimeout(None)
        self._send_lock = threading.Lock()

    def _read(self, count):
        while len(self._pending) < count:
            chunk = self._socket.recv(1 << 16)
            if not chunk:
                raise ConnectionError('the WebSocket closed')
            self._pending += chunk
        data, self._pending = self._pending[:count], self._pending[count:]
        return data

    def _frame(self, opcode, payload):
        head = bytes([0x80 | opcode])
        if len(payload) < 126:
            head += bytes([0x80 | len(payload)])
        elif len(payload) < 1 << 16:
            head += bytes([0x80 | 126]) + struct.pack('!H', len(payload))
        else:
            head += bytes([0x80 | 127]) + struct.pack('!Q', len(payload))
        mask = os.urandom(4)
        with self._send_lock:
            self._socket.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def send(self, text):
        self._frame(0x1, text.encode())

    def receive(self):
        """The next text message; None once the peer closed."""
        message = b''
        while True:
            first, second = self._read(2)
            length = second & 0x7f
            if length == 126:
                length = struct.unpack('!H', self._read(2))[0]
            elif length == 127:
                length = struct.unpack('!Q', self._read(8))[0]
            payload = self._read(length)
            opcode = first & 0x0f
            if opcode == 0x8:
                return None
            if opcode == 0x9:
                self._frame(0xa, payload)
                continue
            if opcode in (0x0, 0x1):
                message += payload
                if first & 0x80:
                    return message.decode()

    def close(self):
        try:
            self._socket.close()
        except OSError:
            pass


class Firefox:
    """One Firefox process with its BiDi session: commands, and the events subscribed to."""

    def __init__(self, firefox, profile_dir, prefs, log_path):
        os.makedirs(profile_dir, exist_ok=True)
        with open(os.path.join(profile_dir, 'user.js'), 'w') as user_js:
            for name, value in prefs.items():
                user_js.write(f'user_pref({json.dumps(name)}, {json.dumps(value)});\n')
        self._log = open(log_path, 'wb')
        args = [firefox, '--headless', '--no-remote', '--profile', profile_dir, '--remote-debugging-port', '0',
                'about:blank']
        try:
            self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=self._log,
                                            stderr=subprocess.PIPE, start_new_session=True)
        except OSError as error:
            raise BrowserDidNotStart(f'{firefox}: {error}') from error
        self._socket = None
        try:
            port = self._listening_port(log_path)
            self._socket = WebSocket('127.0.0.1', port, '/session')
        except (OSError, ConnectionError, BrowserDidNotStart) as error:
            self.close()
            raise BrowserDidNotStart(str(error)) from error
        self._lock = threading.Condition()
        self._answers = {}
        self.events = []
        self._closed = False
        self._next_id = 0
        threading.Thread(target=self._receive, daemon=True).start()
        self.capabilities = self.call('session.new', {'capabilities': {'alwaysMatch': {
            'acceptInsecureCerts': True}}}, timeout=30)['capabilities']

    def _listening_port(self, log_path, deadline_s=60):
        """The port from 'WebDriver BiDi listening on ws://127.0.0.1:PORT' on standard error."""
        deadline = time.monotonic() + deadline_s
        seen = b''
        stderr = self.process.stderr
        while time.monotonic() < deadline:
            ready, _, _ = select.select([stderr], [], [], 0.5)
            if not ready:
                if self.process.poll() is not None:
                    break
                continue
            chunk = os.read(stderr.fileno(), 4096)
            if not chunk:
                break
            seen += chunk
            match = re.search(rb'WebDriver BiDi listening on ws://127\.0\.0\.1:(\d+)', seen)
            if match:
                # The rest of standard error goes to the log.
                threading.Thread(target=self._copy_stderr, daemon=True).start()
                self._log.write(seen)
                return int(match.group(1))
        self._log.write(seen)
        raise BrowserDidNotStart(f'no BiDi port within {deadline_s} s: {seen.decode(errors="replace")[-2000:]}')

    def _copy_stderr(self):
        while True:
            chunk = os.read(self.process.stderr.fileno(), 1 << 16)
            if not chunk:
                return
            self._log.write(chunk)
            self._log.flush()

    def _receive(self):
        while True:
            try:
                text = self._socket.receive()
            except (OSError, ConnectionError):
                text = None
            if text is None:
                break
            message = json.loads(text)
            with self._lock:
                if message.get('type') == 'event':
                    self.events.append(message)
                elif 'id' in message:
                    self._answers[message['id']] = message
                self._lock.notify_all()
        with self._lock:
            self._closed = True
            self._lock.notify_all()

    def call(self, method, params=None, timeout=15):
        with self._lock:
            self._next_id += 1
            message_id = self._next_id
        try:
            self._socket.send(json.dumps({'id': message_id, 'method': method, 'params': params or {}}))
        except OSError as error:
            raise RuntimeError(f'{method}: the browser has gone') from error
        with self._lock:
            if not self._lock.wait_for(lambda: message_id in self._answers or self._closed, timeout):
                raise RuntimeError(f'{method}: no answer in {timeout} s')
            if message_id not in self._answers:
                raise RuntimeError(f'{method}: the browser has gone')
            answer = self._answers.pop(message_id)
        if answer.get('type') == 'error':
            raise RuntimeError(f'{method}: {answer.get("error")}: {answer.get("message")}')
        return answer.get('result', {})

    def events_since(self, mark):
        with self._lock:
            return list(self.events[mark:])

    def event_mark(self):
        with self._lock:
            return len(self.events)

    def close(self):
        if self._socket is not None:
            try:
                self.call('browser.close', timeout=5)
            except RuntimeError:
                pass
            self._socket.close()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        self._log.close()
