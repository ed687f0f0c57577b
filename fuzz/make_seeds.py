#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<harness>/.

The harnesses read their input with libFuzzer's FuzzedDataProvider: strings and
byte runs from the front, integers from the back. The Input class below lays
values out the same way, so each seed is a readable list of the values a
harness takes. Run it again after changing what a harness reads. Inputs that
once made a harness fail are committed beside these as regress-*.
"""
import hashlib
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


class Input:
    def __init__(self):
        self.front = bytearray()
        self.back = []  # in the order the harness takes them

    def string(self, s, terminate=True):
        """ConsumeRandomLengthString: '\\' doubled, ended by '\\' and another byte."""
        b = s.encode('latin-1') if isinstance(s, str) else bytes(s)
        self.front += b.replace(b'\\', b'\\\\')
        if terminate:
            self.front += b'\\n'
        return self

    def raw(self, s):
        """ConsumeBytesAsString / ConsumeRemainingBytesAsString."""
        self.front += s.encode('latin-1') if isinstance(s, str) else bytes(s)
        return self

    def int(self, value, lo, hi):
        """ConsumeIntegralInRange(lo, hi): as many bytes as the range needs."""
        span, v = hi - lo, value - lo
        assert 0 <= v <= span
        n = 0
        while n < 8 and (span >> (8 * n)) > 0:
            n += 1
        self.back.append(v.to_bytes(n, 'big') if n else b'')
        return self

    def u8(self, v): return self.int(v, 0, 255)
    def u16(self, v): return self.int(v, 0, 0xFFFF)
    def u32(self, v): return self.int(v, 0, 0xFFFFFFFF)
    def bool(self, v): return self.u8(1 if v else 0)

    def bytes(self):
        # The first value taken sits at the very end, its first byte last.
        tail = b''.join(bytes(reversed(b)) for b in reversed(self.back))
        return bytes(self.front) + tail


def write(name, seeds):
    # Inputs that once failed (regress-*) are kept as they are.
    d = os.path.join(HERE, 'corpus', name)
    os.makedirs(d, exist_ok=True)
    for old in os.listdir(d):
        if not old.startswith('regress-'):
            os.remove(os.path.join(d, old))
    for label, data in seeds:
        data = data.bytes() if isinstance(data, Input) else data
        digest = hashlib.sha1(data).hexdigest()[:12]
        with open(os.path.join(d, f'{label}-{digest}'), 'wb') as f:
            f.write(data)


# --- buf_str ---------------------------------------------------------------
def buf_str():
    def seed(text, pxy, ops):
        x = Input().string(text).int(pxy, 1, 65)
        for view, op, args in ops:
            x.bool(view).int(op, 0, 34)
            for arg in args:
                if len(arg) == 3:  # (value, low, high)
                    x.int(*arg)
                    continue
                kind, val = arg
                if kind == 's': x.string(val)
                elif kind == 'c': x.int(val, -128, 127)
                elif kind == 'k': x.int(val, 0, 2048)
                else: x.bool(val)
        return x
    s, c, k, b = 's', 'c', 'k', 'b'
    return [
        ('parse-request', seed('GET /index.html HTTP/1.1', 16, [
            (0, 1, []), (0, 3, [(c, ord(' '))]), (0, 9, [(c, ord(' '))]), (1, 15, [(s, 'HTTP'), (b, 0)]),
            (1, 19, []), (0, 26, []), (0, 28, [(s, '/index.html')])])),
        ('key-value', seed('user=bob;mode=x ', 8, [
            (0, 14, [(s, 'mode=')]), (0, 3, [(c, ord('='))]), (0, 6, []), (0, 5, [(c, ord('x'))]),
            (1, 8, [(c, ord(';'))]), (1, 18, []), (0, 20, []), (1, 20, [])])),
        ('blanks', seed('   a b  c   ', 4, [
            (0, 1, []), (0, 6, []), (0, 2, []), (1, 7, []), (1, 4, [(k, 2)]), (0, 0, [(k, 1)]), (1, 18, [])])),
        ('copy-append', seed('abcdef', 32, [
            (0, 16, [(s, 'xyz'), (3, 0, 64)]), (0, 17, [(s, '12345'), (5, 0, 64)]), (0, 13, [(s, 'z12')]),
            (0, 27, [(0, 0, 38)]), (0, 27, [(8, 0, 38)]), (1, 24, [(s, 'proxy text'), (b, 0)]),
            (1, 24, [(s, 'more'), (b, 1)])])),
        ('nul-inside', seed('ab\0cd\0ef', 3, [
            (0, 13, [(s, 'cd')]), (0, 14, [(s, 'b')]), (0, 19, []), (0, 20, []), (0, 26, []),
            (0, 10, [(c, 0)]), (1, 15, [(s, 'ef'), (b, 1)])])),
        ('tmp-str', seed('x', 65, [
            (0, 21, [(s, 'A' * 1400), (b, 1)]), (0, 21, [(s, 'B' * 98), (b, 0)]), (0, 21, [(s, 'C'), (b, 0)]),
            (0, 22, [(c, ord('B'))]), (0, 23, [(s, 'AAA')]), (0, 25, [(s, 'heap'), (b, 1)]),
            (0, 25, [(s, 'y' * 300), (b, 0)])])),
        ('begin-end', seed('prefix.middle.suffix', 10, [
            (0, 11, [(s, 'prefix'), (6, 0, 16)]), (0, 12, [(s, 'suffix'), (6, 0, 16)]),
            (0, 12, [(s, 'fix'), (2, 0, 16)]), (1, 8, [(c, ord('.'))]), (1, 9, [(c, ord('.'))]),
            (0, 15, [(s, '.'), (b, 0)])])),
        ('phone', seed('x', 1, [
            (0, 29, [(s, '0123'), (0, 0, 4), (b, 1)]), (0, 30, [(s, '01'), (2, 0, 2)]),
            (0, 32, [(s, '01'), (2, 0, 2), (b, 1)]), (0, 31, [(s, '00'), (0, 0, 2), (1, 0, 2)]),
            (0, 31, [(s, '##'), (2, 0, 2), (0, 0, 2)]), (0, 33, [(s, '#'), (0, 0, 1), (0, 0, 2)]),
            (0, 29, [(s, '9' * 40), (0, 0, 40), (b, 1)]), (0, 31, [(s, '7'), (1, 0, 1), (2, 0, 2)]),
            (0, 33, [(s, 'abc'), (2, 0, 3), (2, 0, 2)]), (0, 34, [(s, 'a,"b,c",d'), (c, ord(',')), (1, 0, 2)])])),
        ('empty', seed('', 1, [(0, 8, [(c, ord('a'))]), (0, 9, [(c, 0)]), (0, 13, [(s, 'a')]),
                              (0, 14, [(s, 'a')]), (0, 26, []), (0, 20, []), (1, 18, [])])),
    ]


# --- base64 ----------------------------------------------------------------
def base64():
    def seed(text, out_max, out_size):
        return Input().int(out_max, -1, 1200).int(out_size, 0, 1700).raw(text)
    return [
        ('man', seed('TWFu', 3, 5)), ('ma', seed('TWE=', 2, 5)), ('m', seed('TQ==', 1, 4)),
        ('cut', seed('TWFu', 2, 4)), ('none', seed('', 0, 1)), ('negative', seed('QUJD', -1, 0)),
        ('junk', seed('T W\r\nF\xffu*', 10, 9)), ('pad-mid', seed('QQ==QUJD', 12, 13)),
        ('long', seed('SGVsbG8sIFdvcmxkIQ==' * 6, 200, 300)),
        ('all', seed('ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/', 48, 100)),
        ('bytes', seed('\x00\x01\x02\xfd\xfe\xff', 1200, 1700)),
    ]


# --- uri_decode ------------------------------------------------------------
def uri_decode():
    def seed(text, mask=''):
        return Input().string(mask).raw(text)
    return [
        ('space', seed('a%20b')), ('short', seed('a%20b%2')), ('plus', seed('a+b')),
        ('lower', seed('%7e%7E%41')), ('bad', seed('%zz%%%g1')), ('blank', seed('% 1%\t2x')),
        ('sign', seed('%-1%+f%0x')), ('tail', seed('%')), ('tail2', seed('ab%4')),
        ('path', seed('/a%2Fb/c%3Fd%3De%26f', '\xff\x0f')),
        ('mixed', seed('caf\xe9 %C3%A9 100%', '\x55\xaa')),
        ('hex2-edges', seed('%-1x%+fz% 41%\t\n7y%-zz%+0c%0x5')),
        ('percent-run', seed('%' * 2000 + '41')),
    ]


# --- get_value -------------------------------------------------------------
def get_value():
    def seed(key, text):
        return Input().string(key).raw(text)
    return [
        ('user', seed('user=', 'user=bob;mode=x')), ('mode', seed('mode=', 'user=bob;mode=x')),
        ('missing', seed('name=', 'user=bob;mode=x')), ('empty-value', seed('a=', 'a=;b=1')),
        ('no-semicolon', seed('k=', 'k=' + 'v' * 200)), ('first', seed('x', 'axbxc')),
        ('whole', seed('abc', 'abc')), ('long-key', seed('K' * 150, 'K' * 150 + '=value;')),
        ('long-text', seed('key=', 'z' * 1600 + 'key=late')), ('empty-key', seed('', 'a=b')),
    ]


# --- server_info -----------------------------------------------------------
def server_info():
    def seed(text, before=7):
        return Input().u16(before).raw(text)
    return [
        ('v4', seed('10.1.2.3:8080')), ('v6', seed('[fe80::1]:80')), ('no-port', seed('example.org')),
        ('v6-no-port', seed('[::1]')), ('hex', seed('host:0x1F90')), ('octal', seed('host:017')),
        ('junk-port', seed('host:80x')), ('big-port', seed('host:70000')), ('colon-first', seed(':443')),
        ('bracket-only', seed(']')), ('long', seed('h' * 1600 + ':99')), ('bare-v6', seed('fe80::1:2')),
    ]


# --- uaddr -----------------------------------------------------------------
def uaddr():
    def v4(b, port=80, v6any=False):
        x = Input().u16(port).int(0, 0, 5)
        for v in b: x.u8(v)
        return x.bool(v6any)

    def short(parts, port=443):
        x = Input().u16(port).int(1, 0, 5).int(len(parts), 1, 4)
        for value, shift, base in parts:
            x.u32(value << shift).int(shift, 0, 31).int(base, 0, 2)
        return x.bool(False)

    def v6(b, port=8080, zero=None, mapped=False, scope=None, v6any=True):
        x = Input().u16(port).int(2, 0, 5)
        for v in b: x.u8(v)
        x.bool(zero is not None)
        if zero is not None: x.int(zero, 0, 12)
        x.bool(mapped).bool(scope is not None)
        if scope is not None: x.int(scope, 0, 3)
        return x.bool(v6any)

    def text(t, port=1):
        return Input().u16(port).int(4, 0, 5).string(t).bool(False)
    loop6 = [0] * 15 + [1]
    ll = [0xfe, 0x80] + [0] * 13 + [1]
    return [
        ('loopback', v4([127, 0, 0, 1])), ('any', v4([0, 0, 0, 0], 1)), ('broadcast', v4([255] * 4, 65535)),
        ('short-dec', short([(127, 0, 0), (1, 0, 0)])), ('short-hex', short([(0x7f000001, 0, 2)])),
        ('short-oct', short([(10, 0, 1), (1, 0, 0), (257, 0, 0)])),
        ('v6-loop', v6(loop6)), ('v6-mapped', v6([1] * 16, mapped=True)), ('v6-scope', v6(ll, scope=1)),
        ('v6-zeros', v6([0x20, 0x01, 0x0d, 0xb8] + [7] * 12, zero=6)),
        ('text-v4', text('192.168.0.1')), ('text-v6', text('::ffff:10.0.0.1')), ('text-name', text('localhost')),
        ('text-port0', text('1.2.3.4', 0)), ('text-bracket', text('[::1]')),
    ]


# --- ini -------------------------------------------------------------------
def ini():
    def seed(contents, group, key, via_file=True):
        return Input().u8(0 if via_file else 200).string(group).string(key).raw(contents)
    relay = open(os.path.join(HERE, '..', 'examples', 'relay', 'relay.ini'), encoding='latin-1').read()
    app = ('; application settings\n[General]\nname=demo\n\n[server]\nport=7000\nhost = 0.0.0.0 ; any\n'
           'threads=4\n[server]\nport=7001\n[log]\npath=/var/log/demo.log\nlevel=0x1F\n')
    quoted = ('[text]\nquoted="  spaced value  "\nescapes="tab\\there\\nnew\\\\line"\nlist=a, b ,c\n'
              'qlist="a,b", c\nhex=\\x41\\x42\noct=\\101\\0\nmarker=@@at\nbytes=@ByteArray(raw)\ninv=@Invalid()\n')
    keys = ('[%U00E9t%E9]\nk%20ey=1\n[a\\b]\nc=2\n[%General]\nx=3\n[General]\ny=4\n')
    crlf = '\ufeff'.encode('utf-8').decode('latin-1') + '[s]\r\nk=v\r\nlong=first \\\r\n  second\r\n;c=d\r\n'
    return [
        ('relay', seed(relay, 'server', 'port')), ('relay-tls', seed(relay, 'tls', 'cert', False)),
        ('app', seed(app, 'server', 'port')), ('app-general', seed(app, '', 'name', False)),
        ('app-hex', seed(app, 'log', 'level')), ('quoted', seed(quoted, 'text', 'escapes')),
        ('list', seed(quoted, 'text', 'qlist', False)), ('keys', seed(keys, 'a/b', 'c')),
        ('keys-escaped', seed(keys, '\u00e9t\u00e9'.encode('utf-8').decode('latin-1'), 'k ey', False)),
        ('crlf', seed(crlf, 's', 'long')), ('unterminated', seed('[open\nk="never closed\n', 'open', 'k')),
        ('empty', seed('', 'g', 'k')),
        ('open-brackets', seed('[x\n' * 300 + '[s] trailing\nk=v\n', 's', 'k', False)),
    ]


# --- hash_tbl --------------------------------------------------------------
def hash_tbl():
    def seed(max_num, key_len, data_len, same, hash_kind, ops):
        x = Input().int(max_num, 0, 40).int(key_len, 0, 12).int(data_len, 0, 12).bool(same).int(hash_kind, 0, 2)
        for op, key, args in ops:
            x.string(key).bool(False).bool(False).int(op, 0, 6)
            if op == 0:
                x.raw(args.ljust(data_len, 'D')[:data_len])
            elif op == 1:
                x.bool(args[0]).bool(args[1])
            elif op in (2, 5, 6):
                x.int(args[0], 0, 3).u32(args[1])
        return x
    ADD, FIND, NEXT, WALK, REM, REMN, GNEXT = range(7)
    return [
        ('basic', seed(10, 8, 4, False, 0, [(ADD, 'alpha', 'AAAA'), (ADD, 'beta', 'BBBB'), (ADD, 'alpha', 'CCCC'),
                                            (FIND, 'alpha', (True, False)), (WALK, '', None), (REM, 'alpha', None),
                                            (FIND, 'alpha', (False, False)), (WALK, '', None)])),
        ('dups', seed(6, 4, 2, True, 0, [(ADD, 'k', '11'), (ADD, 'k', '22'), (ADD, 'k', '33'), (FIND, 'k', (False, True)),
                                         (NEXT, '', (2, 0)), (REM, 'k', None), (NEXT, '', (3, 0)), (WALK, '', None)])),
        ('full', seed(2, 2, 1, False, 0, [(ADD, 'a', 'x'), (ADD, 'b', 'y'), (ADD, 'c', 'z'), (REMN, '', (2, 0)),
                                          (ADD, 'c', 'z'), (WALK, '', None)])),
        ('collide', seed(8, 3, 3, True, 1, [(ADD, 'ab', 'one'), (ADD, 'ba', 'two'), (ADD, 'ab', 'thr'),
                                            (NEXT, '', (2, 0)), (REMN, '', (2, 1)), (WALK, '', None), (GNEXT, '', (2, 0))])),
        ('overflow-hash', seed(9, 5, 0, False, 2, [(ADD, 'a', ''), (ADD, 'b', ''), (FIND, 'b', (True, False)),
                                                   (WALK, '', None), (REM, 'a', None), (REM, 'a', None)])),
        ('empty-key', seed(4, 0, 2, False, 0, [(ADD, '', 'e1'), (ADD, '', 'e2'), (FIND, '', (False, False)),
                                               (ADD, 'x', 'no'), (REM, '', None)])),
        ('zero-capacity', seed(0, 4, 1, True, 0, [(ADD, 'a', 'a'), (WALK, '', None), (FIND, 'a', (True, False))])),
        ('stale', seed(3, 4, 1, True, 0, [(ADD, 'one', '1'), (REMN, '', (2, 0)), (REMN, '', (0, 0)), (ADD, 'two', '2'),
                                          (GNEXT, '', (0, 0)), (NEXT, '', (0, 0)), (REMN, '', (1, 0x10001))])),
        ('long-key', seed(5, 3, 1, False, 0, [(ADD, 'toolong', 'x'), (FIND, 'toolong', (True, False)),
                                              (REM, 'toolong', None), (ADD, 'ok', 'y')])),
    ]


# --- fsm -------------------------------------------------------------------
X, DONE, STOP, SPAWN, NULL, SAVE, KILL, RESULT, RELEASE, NONE = range(10)


def fsm():
    def seed(rows, messages):
        x = Input()
        for s in range(4):
            for e in range(8):
                handlers, nxt = rows.get((s, e), ([], 0))
                if handlers == 'zero': shape = 0
                elif handlers == 'eleven': shape = 8
                else: shape = 16 + (len(handlers) - 1) % 4 if handlers else 0
                if isinstance(handlers, list) and handlers:
                    assert 1 + (shape % 4) == len(handlers)
                x.u8(shape).int(nxt, 0, 4)
                if isinstance(handlers, list):
                    for h in handlers: x.int(h, 0, 9)
                elif handlers == 'eleven':
                    for _ in range(10): x.int(X, 0, 9)
        for m in messages:
            x.bool(m.get('trace', False))
            events = m.get('events', [])
            x.bool(len(events) <= 6)
            x.int(len(events), 0, 6) if len(events) <= 6 else x.int(len(events), 0, 260)
            for p1, p2, ev in events:
                x.u8(p1).u8(p2)
                if ev > 8: x.int(9, 0, 9).u16(ev)
                else: x.int(ev, 0, 9)
            x.u8(m.get('word2', 0)).bool(m.get('reply') is not None).int(m.get('reply') or 0, 0, 3)
            x.bool(m.get('flag', False)).int(m.get('type', 0), 0, 7).int(m.get('machine', 0), 0, 3)
            x.bool(m.get('direct', False)).int(m.get('pick', 0), 0, 3).u32(m.get('raw', 0))
        return x
    table = {(0, 1): ([X], 1), (1, 1): ([X, DONE], 2), (1, 2): ([SPAWN], 2), (2, 3): ([NULL, SAVE], 3),
             (3, 4): ([KILL, X], 0), (2, 5): ([STOP], 0), (0, 6): ([RESULT], 1), (1, 7): ([X, NONE], 3),
             (3, 2): ('zero', 0), (0, 3): ('eleven', 0)}
    new = {'pick': 0}
    return [
        ('walk', seed(table, [new, {'events': [(0, 0, 1)], 'pick': 1}, {'events': [(0, 0, 1), (0, 0, 2)], 'pick': 1,
                                                                        'direct': True}])),
        ('save-replay', seed(table, [new, {'events': [(0, 0, 1)], 'pick': 1}, {'events': [(0, 0, 2)], 'pick': 1},
                                     {'events': [(0, 0, 3)], 'pick': 1}, {'events': [(0, 0, 3)], 'pick': 1},
                                     {'events': [(0, 0, 4)], 'pick': 1}])),
        ('kill', seed(table, [new, {'events': [(0, 0, 1), (0, 0, 2), (0, 0, 3), (0, 0, 4)], 'pick': 1, 'trace': True,
                                    'flag': True}, {'events': [(0, 0, 1)], 'pick': 1}])),
        ('hold-result', seed(table, [new, {'events': [(0, 11, 6)], 'pick': 1}, {'events': [(0, 9, 6)], 'pick': 1},
                                     {'events': [(0, 99, 6)], 'pick': 1, 'direct': True}])),
        ('relation', seed(table, [new, new, {'type': 5, 'pick': 3, 'raw': 0x12345678, 'reply': 1},
                                  {'type': 4, 'pick': 1}, {'type': 6}, {'type': 7}])),
        ('many-events', seed(table, [new, {'events': [(i & 1, 0, 1 + (i % 2)) for i in range(255)], 'pick': 1,
                                           'direct': True}])),
        ('unknown', seed(table, [new, {'events': [(0, 0, 0)], 'pick': 1, 'word2': 1}, {'events': [(0, 0, 5000)],
                                                                                      'pick': 1, 'direct': True},
                                 {'events': [(0, 0, 3)], 'pick': 1}, {'events': [(1, 0, 7)], 'pick': 1}])),
        ('stale', seed(table, [new, {'events': [(0, 0, 1), (0, 0, 2), (0, 0, 3), (0, 0, 4)], 'pick': 1},
                               {'pick': 2, 'raw': 0}, new, new, new, new, new])),
    ]


# --- relay_line ------------------------------------------------------------
def relay_line():
    def seed(stream, pieces='', repeat=1):
        return Input().string(pieces).int(repeat, 1, 3).raw(stream)
    return [
        ('session', seed('SUB news\nPUB news hello world\nUNSUB news\nPING\nQUIT\n')),
        ('crlf', seed('sub a\r\npub a x\r\nping\r\n', '\x00\x01')),
        ('errors', seed('SUB\nSUB  a\nSUB a b\nPUB a\nPUB a bad\x01\nFOO\nPING x\nQUIT now\n\n')),
        ('topic-long', seed('SUB ' + 'T' * 65 + '\nSUB ' + 'T' * 64 + '\n')),
        ('line-long', seed('PUB t ' + 'x' * 1100 + '\nPING\n', '\x10')),
        ('line-edge', seed('PUB t ' + 'y' * 1018 + '\nPUB t ' + 'y' * 1018 + '\r\nPUB t ' + 'y' * 1019 + '\n')),
        ('quit-first', seed('QUIT\nSUB after\n')),
        ('tail', seed('PING\npartial', '\x00')),
        ('repeat', seed('PUB t ' + 'r' * 300, '', 3)),
        ('tabs', seed('PUB t a\tb\x7f\nPUB t \xff\xfe\n')),
    ]


if __name__ == '__main__':
    for fn in (buf_str, base64, uri_decode, get_value, server_info, uaddr, ini, hash_tbl, fsm, relay_line):
        write(fn.__name__, fn())
