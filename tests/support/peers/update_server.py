#!/usr/bin/python3
"""Update server for the update-client tests: update_server.py DIR.

Prints "port N" once it listens on loopback. A POST body is kept in DIR/posted.bin (its type in
posted-type.txt) and answered with DIR/answer.bin. fileList?moduleName=M
serves DIR/lists/M.json as it is ("{base}" becomes this server's address),
else a JSON array of the URLs of the files under DIR/files/modules/M;
/files/... serves a file. A path may begin with /stall/ (no answer), /slow/
(half a second late), /status/NNN/ (that status) or /close/ (half the
announced file, then the connection closes). Any other path holding "evil"
gets a file body, as a hostile server would send.
"""
import os
import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, unquote, urlsplit

ROOT = sys.argv[1]


def read(name, default=None):
    try:
        with open(os.path.join(ROOT, name), 'rb') as f:
            return f.read()
    except OSError:
        return default


def write(name, data):
    with open(os.path.join(ROOT, name + '.tmp'), 'wb') as f:
        f.write(data)
    os.replace(os.path.join(ROOT, name + '.tmp'), os.path.join(ROOT, name))


class Handler(BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def log_message(self, *args):
        pass

    def send(self, status, body, length=None):
        self.send_response(status)
        self.send_header('Content-Length', str(len(body) if length is None else length))
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()

    def route(self):
        """The path without its behaviour prefix, or None once answered."""
        path = urlsplit(self.path).path
        if path.startswith('/stall/'):
            time.sleep(300)
            return None
        if path.startswith('/status/'):
            self.send(int(path.split('/')[2]), b'not this time')
            return None
        if path.startswith('/slow/'):
            time.sleep(0.5)
            path = path[5:]
        return path

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get('Content-Length', '0')))
        if self.route() is not None:
            write('posted.bin', body)
            write('posted-type.txt', self.headers.get('Content-Type', '').encode())
            self.send(200, read('answer.bin', b'{}'))

    def do_GET(self):
        path = self.route()
        if path is None:
            return
        base = 'http://127.0.0.1:%d' % self.server.server_address[1]
        close = path.startswith('/close/')
        path = path[6:] if close else path
        if path.endswith('/fileList'):
            module = parse_qs(urlsplit(self.path).query).get('moduleName', [''])[0]
            listed = read(os.path.join('lists', module + '.json'))
            if listed is None:
                top = os.path.join(ROOT, 'files')
                urls = ['"%s/files/%s"' % (base, os.path.relpath(os.path.join(d, n), top))
                        for d, _, names in sorted(os.walk(os.path.join(top, 'modules', module)))
                        for n in sorted(names)]
                listed = ('[' + ','.join(urls) + ']').encode()
            self.send(200, listed.replace(b'{base}', base.encode()))
            return
        data = read(unquote(path[1:])) if path.startswith('/files/') and '..' not in path else None
        if data is not None and close:
            self.send(200, data[:len(data) // 2], length=len(data))
            self.close_connection = True
        elif data is not None:
            self.send(200, data)
        elif 'evil' in self.path:
            self.send(200, b'evil')
        else:
            self.send(404, b'no such file')


server = ThreadingHTTPServer(('127.0.0.1', 0), Handler)
server.daemon_threads = True
print('port %d' % server.server_address[1], flush=True)
server.serve_forever()
