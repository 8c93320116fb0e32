#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Run it from anywhere; it replaces the seed files it knows and leaves others alone.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def be16(v): return struct.pack('>H', v)
def be32(v): return struct.pack('>I', v)
def le16(v): return struct.pack('<H', v)
def le32(v): return struct.pack('<I', v)


def flap(channel, data, seq=0x1000):
    return b'*' + bytes([channel]) + be16(seq) + be16(len(data)) + data


def snac(family, subtype, data=b'', flags=0, request_id=0):
    return flap(2, be16(family) + be16(subtype) + be16(flags) + be32(request_id) + data)


def tlv(t, value): return be16(t) + be16(len(value)) + value


def user_info(uin, tlvs=()):
    return bytes([len(uin)]) + uin + be16(0) + be16(len(tlvs)) + b''.join(tlvs)


def status_tlv(status, flags=0): return tlv(6, be16(flags) + be16(status))


def message_tlv(text, charset=0):
    return tlv(2, b'\x05\x01' + be16(1) + b'\x01' + b'\x01\x01' + be16(len(text) + 4) +
               be16(charset) + be16(0xFFFF) + text)


def incoming(uin, text, charset=0, tlvs=()):
    return snac(4, 7, b'\x01\x02\x03\x04\x05\x06\x07\x08' + be16(1) + user_info(uin, tlvs) +
                message_tlv(text, charset))


def meta(reply_type, body=b''):
    return (be16(1) + be16(len(body) + 12) + le16(len(body) + 10) + le32(123456789) +
            le16(reply_type) + le16(2) + body)


def offline(sender, text):
    return meta(0x41, le32(sender) + le16(2024) + bytes([5, 17, 12, 30, 1, 0]) +
                le16(len(text) + 1) + text + b'\0')


def meta_string(text): return le16(len(text) + 1) + text + b'\0'


def short_info(nick):
    return meta(0x07DA, le16(0x0104) + b'\x0a' + meta_string(nick) + meta_string(b'First') +
                meta_string(b'Last') + meta_string(b'm@example.org') + b'\x01\x00\x02')


def list_item(name, item_type, data=b'', group=1, item=2):
    return be16(len(name)) + name + be16(group) + be16(item) + be16(item_type) + be16(len(data)) + data


def contact_list(items):
    return b'\x00' + be16(len(items)) + b''.join(items) + be32(0x65000000)


CP = 'cp1251'
HELLO = flap(1, be32(1))

RECEIVE = {
    'sign_on': HELLO + snac(1, 3, be16(1) + be16(2)) + snac(1, 0x18) + snac(1, 0x13) +
               snac(0x15, 3, meta(0x42) + b'\0') +
               snac(0x13, 6, contact_list([
                   list_item('Общие'.encode(CP), 1, tlv(0xC8, be16(2) + be16(3)), 1, 0),
                   list_item(b'100002', 0, tlv(0x131, 'Борис'.encode(CP)), 1, 2),
                   list_item(b'100003', 0, tlv(0x131, 'Эхо'.encode(CP)), 1, 3)])) +
               snac(0x13, 0x0E, be16(0)) + flap(5, b''),
    'messages': incoming(b'555', 'Привет'.encode('utf-8'), tlvs=[status_tlv(1)]) +
                snac(0x15, 3, short_info('Ника'.encode(CP)), request_id=1) +
                incoming(b'555', 'второе\r\nсообщение'.encode(CP)) +
                incoming(b'777', 'Юникод'.encode('utf-16-be'), charset=2) +
                incoming(b'555', b'[IN 1.1.2020 10:00:00]'),
    'offline': snac(0x15, 3, offline(100002, 'офлайн'.encode(CP))) +
               snac(0x15, 3, offline(100003, b'second')) + snac(0x15, 3, meta(0x42) + b'\0'),
    'presence': snac(3, 0x0B, user_info(b'100002', [tlv(1, be16(0x50)), status_tlv(0x0011)])) +
                snac(3, 0x0B, user_info(b'100003')) + snac(3, 0x0C, user_info(b'100002')) +
                snac(2, 6, user_info(b'100004', [status_tlv(0x20, 1)])) +
                snac(3, 0x0B, be16(4) + b'\xAA\xBB\xCC\xDD' + user_info(b'100005', [status_tlv(2)]),
                     flags=0x8000),
    'sign_off': incoming(b'555', b'bye') + flap(3, b'\x00\x01') + flap(4, tlv(9, be16(1))),
    'bad_marker': snac(3, 0x0B, user_info(b'100002')) + b'#\x02\x00\x01\x00\x00' + incoming(b'555', b'x'),
    'truncated': incoming(b'555', b'ok') + snac(4, 7, b'\x01\x02') +
                 b'*\x02\x00\x05\x10\x00' + b'\x00\x04\x00\x07',
}

SETTINGS = {
    'written': '[settings]\r\nprofile=123456789\r\nonlyonline=1\r\ncolumns=2\r\nautoconnect=0\r\n'
               'sendclose=1\r\nshowhistory=1\r\n[123456789]\r\npassw=secret\r\n[555]\r\npassw=\r\n',
    'odd': 'before\n[settings]\nonlyonline = 2\n columns=9\ncolumns=x\r\r\n[[77]]\nkey=v=w\n[]\n'
           'x=y\n[settings]\npassw=p\n[бла]\npassw=пароль\nshowhistory=0',
}

CONTACTS = {
    'written': '[100002]\r\nname=Борис\r\n[100003]\r\nname=Эхо\r\n[555]\r\nname=\r\n',
    'odd': 'junk\n[ 1 ]\nname = spaced\n[[2]]\nname=x\nother=y\n[3]\n[4]\r\nname=last',
    'references': '[100002]\r\nname=Zo&#235; &#128512;\r\n[100003]\r\nname=&#38;#38; &#99999999;\r\n',
}

HISTORY = {
    'written': '[IN 17.5.2024 12:30:00]\r\nПривет\r\n[OUT 17.5.2024 12:31:05]\r\nдве\r\nстроки\r\n'
               '[System 1.1.2000 0:00:00]\r\nsys\r\n',
    'odd': '\r\n[I]\r\nno time\r\n[OUT 31.12.1999 23:59:59]\r\n\r\n\r\n[IN 99.99.99999 99:99:99]\r\nbad\r\n'
           '[IN 17.5.2024 12:30:00]\r\ntorn ent',
    'quoted': '[IN 17.5.2024 12:30:00]\r\nhi\r\n [OUT 01.01.2024 10:00:00]\r\n   [x]\r\n'
              '&#128512; &#38;# &#0; &#1114112; &#55296;&#\r\nlone\rcr\r\n',
}

INCOMING_TEXT = {
    'ascii': b'abc',
    'utf8': 'Привет'.encode('utf-8'),
    'cp1251': 'Привет'.encode(CP),
    'lone_lead': b'\xcf',
    'four_byte': 'a\U0001F600b'.encode('utf-8'),
    'five_byte': b'\xf8\x88\x80\x80\x80',
    'fe_ff': b'\xfe\xff',
    'zero': b'ab\0\xd0\x9f',
    'overlong_zero': b'ab\xc0\x80\xd0\x9f',
}

MESSAGE_TEXT = {
    'ascii': message_tlv(b'hello'),
    'ucs2': message_tlv('Юникод'.encode('utf-16-be'), 2),
    'utf8': message_tlv('Привет'.encode('utf-8')),
    'ucs2_pair': message_tlv('caf\u00e9 \U0001F600'.encode('utf-16-be'), 2),
    'wrong_tlv': tlv(3, b'\x05\x01\x00\x01\x01'),
}

FILE_CAPABILITY = bytes.fromhex('094613434c7f11d1822244455354' + '0000')
COOKIE = b'pellox01'


def rendezvous(kind, tlvs):
    return be16(kind) + COOKIE + FILE_CAPABILITY + b''.join(tlvs)


def oft_header(kind, size, name):
    head = b'OFT2' + be16(256) + be16(kind) + COOKIE + be16(0) * 2 + be16(1) * 4 + be32(size) * 2
    head += be32(0) + be32(0xFFFF0000) * 2 + be32(0) * 2 + be32(0xFFFF0000) + be32(0) * 2
    head += b'Cool FileXfer'.ljust(32, b'\0') + bytes([0x20, 0x1C, 0x11]) + bytes(69) + bytes(16)
    head += be16(0) * 2 + name.ljust(64, b'\0')
    return head


def proxy(command, body=b''):
    rest = be16(0x044A) + be16(command) + be32(0) + be16(0) + body
    return be16(len(rest)) + rest


RENDEZVOUS = {
    'proposal': rendezvous(0, [tlv(0x0A, be16(1)), tlv(3, be32(0x7F000001)), tlv(5, be16(4000)),
                               tlv(0x17, be16(0xFFFF ^ 4000)),
                               tlv(0x2711, be16(1) + be16(1) + be32(5) + 'файл.txt'.encode('utf-8') + b'\0'),
                               tlv(0x2712, b'utf-8')]),
    'via_proxy': rendezvous(0, [tlv(0x0A, be16(3)), tlv(2, be32(0x7F000001)), tlv(0x16, be32(0x80FFFFFE)),
                                tlv(5, be16(77)), tlv(0x10, b'')]),
    'accept': rendezvous(2, []),
    'bad_check': rendezvous(0, [tlv(5, be16(4000)), tlv(0x17, be16(4000))]),
    'oft_prompt': oft_header(0x0101, 5, b'a.txt'),
    'oft_long_name': oft_header(0x0101, 5, b'n' * 300)[:4] + be16(192 + 301) + oft_header(0x0101, 5, b'')[6:192]
                     + b'n' * 300 + b'\0',
    'proxy_init_receive': proxy(4, bytes([6]) + b'100002' + be16(77) + COOKIE + tlv(1, FILE_CAPABILITY)),
    'proxy_ack': proxy(3, be16(77) + be32(0x7F000001)),
}


def write(target, seeds):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        if isinstance(data, str):
            data = data.encode(CP)
        with open(os.path.join(folder, name), 'wb') as f:
            f.write(data)


write('fuzz_receive', RECEIVE)
write('fuzz_settings', SETTINGS)
write('fuzz_contact_list', CONTACTS)
write('fuzz_history', HISTORY)
write('fuzz_incoming_text', INCOMING_TEXT)
write('fuzz_message_text', MESSAGE_TEXT)
write('fuzz_rendezvous', RENDEZVOUS)
