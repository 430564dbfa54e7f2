#!/usr/bin/python3
"""Update server peer for the update-client tests, on a free loopback port.

Usage: update_server.py DIR. Prints "port N" when it listens.

Every request line is appended to DIR/requests.log; the body of the last POST
is kept in DIR/posted.bin and answered with DIR/answer.bin (or "{}").
GET fileList?moduleName=M serves DIR/lists/M.json as it is ("{base}" becomes
this server's address), else a JSON array of the URLs of the files under
DIR/files/modules/M. GET /files/... serves a file of DIR/files.

A path may start with a behaviour: /stall/ (never answers), /status/NNN/
(answers status NNN), /slow/ (answers after half a second), /close/
(announces the whole file, sends half of it and closes the connection).
Any other path holding "evil" is answered with a file body, as a hostile
server would.
"""
import os
import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, unquote, urlsplit

ROOT = sys.argv[1]


def write_atomic(name, data):
    tmp = os.path.join(ROOT, name + '.tmp')
    with open(tmp, 'wb') as f:
        f.write(data)
    os.replace(tmp, os.path.join(ROOT, name))


def read(path, default=None):
    try:
        with open(path, 'rb') as f:
            return f.read()
    except OSError:
        return default


class Handler(BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def log_message(self, *args):
        pass

    def base(self):
        return 'http://127.0.0.1:%d' % self.server.server_address[1]

    def send(self, status, body, length=None):
        self.send_response(status)
        self.send_header('Content-Length', str(len(body) if length is None else length))
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()

    def behaviour(self):
        """Splits a behaviour prefix off the path; None when it answered."""
        with open(os.path.join(ROOT, 'requests.log'), 'ab') as f:
            f.write(self.command.encode() + b' ' + self.path.encode() + b'\n')
        parts = urlsplit(self.path)
        path = parts.path
        if path.startswith('/stall/'):
            time.sleep(300)
            self.close_connection = True
            return None, None, None
        if path.startswith('/status/'):
            code = int(path.split('/')[2])
            self.send(code, b'not this time')
            return None, None, None
        if path.startswith('/slow/'):
            time.sleep(0.5)
            path = path[len('/slow'):]
        mode = None
        if path.startswith('/close/'):
            mode = 'close'
            path = path[len('/close'):]
        return mode, path, parts.query

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get('Content-Length', '0')))
        mode, path, _ = self.behaviour()
        if path is None:
            return
        write_atomic('posted.bin', body)
        write_atomic('posted-type.txt', self.headers.get('Content-Type', '').encode())
        self.send(200, read(os.path.join(ROOT, 'answer.bin'), b'{}'))

    def do_GET(self):
        mode, path, query = self.behaviour()
        if path is None:
            return
        if path.endswith('/fileList'):
            module = parse_qs(query).get('moduleName', [''])[0]
            listed = read(os.path.join(ROOT, 'lists', module + '.json'))
            if listed is not None and '/' not in module:
                self.send(200, listed.replace(b'{base}', self.base().encode()))
                return
            top = os.path.join(ROOT, 'files', 'modules', module)
            urls = []
            for folder, _, names in sorted(os.walk(top)):
                for name in sorted(names):
                    rel = os.path.relpath(os.path.join(folder, name), os.path.join(ROOT, 'files'))
                    urls.append('"%s/files/%s"' % (self.base(), rel))
            self.send(200, ('[' + ','.join(urls) + ']').encode())
            return
        if path.startswith('/files/') and '..' not in path.split('/'):
            data = read(os.path.join(ROOT, unquote(path[1:])))
            if data is not None:
                if mode == 'close':
                    self.send(200, data[:len(data) // 2], length=len(data))
                    self.close_connection = True
                else:
                    self.send(200, data)
                return
        if 'evil' in self.path:
            self.send(200, b'evil')
            return
        self.send(404, b'no such file')


server = ThreadingHTTPServer(('127.0.0.1', 0), Handler)
server.daemon_threads = True
print('port %d' % server.server_address[1], flush=True)
server.serve_forever()
