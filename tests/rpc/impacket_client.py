#!/usr/bin/python3
"""A client of another make for the reference plugin's RPC interface.

    impacket_client.py HOST PORT

Calls the interface with impacket's DCE/RPC stack (not the Windows run-time,
not widl's stubs) over ncacn_ip_tcp: GetStatus (printed; it must not tell an
unauthenticated caller the host's process id), RequestUninstall without
authentication (must be refused), then malformed traffic, after each piece of
which the server must still answer GetStatus. Exit code 0 when all of it
held, 1 otherwise.
"""
import socket
import struct
import sys

from impacket.dcerpc.v5.dtypes import BOOLEAN, ULONG, WSTR
from impacket.dcerpc.v5.ndr import NDRCALL, NDRUniVaryingArray
from impacket.dcerpc.v5.rpcrt import DCERPCException
from impacket.uuid import uuidtup_to_bin

import closing_transport

INTERFACE = uuidtup_to_bin(('987fc8af-5269-4778-af58-af10906b9d9d', '1.0'))
UNKNOWN_INTERFACE = uuidtup_to_bin(('0b1e3c9a-53f1-4e64-9a4c-5a1f7d6e2c10', '1.0'))
ERROR_ACCESS_DENIED = 5
RP_DECISION_NONE = 0


class GetStatus(NDRCALL):
    opnum = 0
    structure = ()


class GetStatusResponse(NDRCALL):
    structure = (
        ('pluginName', WSTR),
        ('logName', WSTR),
        ('processId', ULONG),
        ('state', ULONG),
        ('ErrorCode', ULONG),
    )


class LockName(NDRUniVaryingArray):  # [string] char[65]: no maximum count on the wire
    item = 'c'


class RequestUninstall(NDRCALL):
    opnum = 1
    structure = (
        ('rebootRequired', BOOLEAN),
        ('fileLockName', LockName),
        ('decision', ULONG),
    )


class RequestUninstallResponse(NDRCALL):
    structure = (
        ('started', BOOLEAN),
        ('ErrorCode', ULONG),
    )


class Failure(Exception):
    pass


def connect(host, port, interface=INTERFACE):
    return closing_transport.connect(host, port, interface, 10)


def text(value):
    if isinstance(value, bytes):
        value = value.decode('utf-16-le')
    return value.rstrip('\x00')


def get_status(host, port):
    dce = connect(host, port)
    try:
        answer = dce.request(GetStatus())
    finally:
        dce.disconnect()
    if answer['ErrorCode'] != 0:
        raise Failure('GetStatus answered %d' % answer['ErrorCode'])
    return text(answer['pluginName']), text(answer['logName']), answer['processId'], answer['state']


def request_uninstall(host, port):
    dce = connect(host, port)
    try:
        request = RequestUninstall()
        request['rebootRequired'] = 0
        request['fileLockName'] = b'\x00'  # the terminator travels with the string
        request['decision'] = RP_DECISION_NONE
        answer = dce.request(request, checkError=False)
    finally:
        dce.disconnect()
    return answer['ErrorCode'], answer['started']


def oversized_request(characters):
    """RequestUninstall's stub data with a lock name of that many characters."""
    request = RequestUninstall()
    request['rebootRequired'] = 0
    request['fileLockName'] = b'A' * characters + b'\x00'
    request['decision'] = RP_DECISION_NONE
    return request.getData()


def raw_exchange(host, port, data):
    """Sends raw bytes on a fresh connection and reads until the server
    closes; tells what came back."""
    received = receive_all(host, port, data)
    if not received:
        return 'connection closed'
    return 'answered with %d bytes, PDU type %d' % (len(received), received[2] if len(received) > 2 else -1)


def receive_all(host, port, data):
    with socket.create_connection((host, port), timeout=10) as sock:
        try:
            sock.sendall(data)
            sock.shutdown(socket.SHUT_WR)
            received = b''
            while True:
                chunk = sock.recv(65536)
                if not chunk:
                    return received
                received += chunk
        except OSError:
            return b''


def pdu_header(ptype, frag_len, call_id=1):
    # version 5.0, type, flags first|last, little-endian data representation
    return struct.pack('<BBBB4sHHL', 5, 0, ptype, 3, b'\x10\x00\x00\x00', frag_len, 0, call_id)


def expect_fault(host, port, opnum, stub):
    dce = connect(host, port)
    try:
        dce.call(opnum, stub)
        dce.recv()
    except DCERPCException as error:
        return str(error)
    except OSError as error:  # the server may drop the connection instead
        return 'connection closed (%s)' % error
    finally:
        dce.disconnect()
    raise Failure('opnum %d with stub %r was answered' % (opnum, stub))


def expect_bind_refused(host, port):
    try:
        connect(host, port, UNKNOWN_INTERFACE).disconnect()
    except DCERPCException as error:
        return str(error)
    raise Failure('a bind to an unknown interface was accepted')


def main(argv):
    if len(argv) != 3:
        print(__doc__)
        return 2
    host, port = argv[1], int(argv[2])
    name, log_name, process_id, state = get_status(host, port)
    print('GetStatus: plugin name [%s], log name [%s], process id [%d], state [0x%x]'
          % (name, log_name, process_id, state))
    # The reference plugin as the helper hosts it, in persistent mode, running.
    if name != 'KorloVssSupport' or state & 0x9 != 0x9:
        raise Failure('unexpected plugin [%s] or state [0x%x]' % (name, state))
    if process_id != 0:
        raise Failure('an unauthenticated caller was told the process id %d' % process_id)

    code, started = request_uninstall(host, port)
    print('RequestUninstall without authentication: code [%d], started [%d]' % (code, started))
    if code != ERROR_ACCESS_DENIED or started:
        raise Failure('an unauthenticated RequestUninstall was not refused')

    malformed = [
        ('garbage bytes', lambda: raw_exchange(host, port, b'\xde\xad\xbe\xef' * 64)),
        ('oversized fragment', lambda: raw_exchange(host, port, pdu_header(11, 0xffff) + b'\x00' * (0xffff - 16))),
        ('unknown interface', lambda: expect_bind_refused(host, port)),
        ('bad opnum', lambda: expect_fault(host, port, 7, b'')),
        ('truncated stub data', lambda: expect_fault(host, port, 1, b'\x01')),
        ('lock name over its bound', lambda: expect_fault(host, port, 1, oversized_request(100))),
        ('request over the size limit', lambda: expect_fault(host, port, 1, oversized_request(3000))),
    ]
    for what, send in malformed:
        outcome = send()
        get_status(host, port)  # raises when the server no longer answers
        print('%s: %s; the server still answers' % (what, outcome))
    return 0


if __name__ == '__main__':
    try:
        sys.exit(main(sys.argv))
    except (Failure, DCERPCException, OSError) as error:
        print('FAILED: %s' % error)
        sys.exit(1)
