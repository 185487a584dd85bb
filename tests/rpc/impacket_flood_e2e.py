#!/usr/bin/python3
"""impacket_flood_e2e.py WINE_RUN PREFIX BIN_DIR

What anonymous callers can make the reference plugin write is bounded.
Installs KorloGuestHelper.exe from BIN_DIR as a real service in the Wine
prefix, in persistent mode (RPC on port 6173), with ReferencePlugin.dll as
KorloVssSupport.dll; sends 10,000 unauthenticated calls (6,000 GetStatus and
4,000 RequestUninstall, which the plugin refuses), each on a connection of
its own, from four threads; stops the service. Then: every GetStatus answered
0 and told the caller no process id, every RequestUninstall answered 5
(access denied); the plugin's log, started afresh, stays under 16 KiB, and
its lines account for every call (for each kind, the lines written plus the
counts of the lines left out). Exit code 0 when all of that held, 1
otherwise."""
import os
import re
import socket
import struct
import subprocess
import sys
import threading
import time

from impacket.dcerpc.v5 import transport

from helper_service import HelperService
from impacket_client import INTERFACE, GetStatus, RequestUninstall, RP_DECISION_NONE

PORT = 6173
GET_STATUS_CALLS = 6000
REQUEST_UNINSTALL_CALLS = 4000
THREADS = 4
LOG_LIMIT_BYTES = 16 * 1024
ERROR_ACCESS_DENIED = 5


class Failure(Exception):
    pass


def recorded_call(request):
    """Makes one call with impacket and returns the bind and request PDUs it sent, to be sent again as they are."""
    rpc = transport.DCERPCTransportFactory('ncacn_ip_tcp:127.0.0.1[%d]' % PORT)
    rpc.set_connect_timeout(10)
    dce = rpc.get_dce_rpc()
    dce.connect()
    sent, send = [], rpc.send
    rpc.send = lambda data, *args, **kwargs: (sent.append(bytes(data)), send(data, *args, **kwargs))[1]
    try:
        dce.bind(INTERFACE)
        dce.request(request, checkError=False)
    finally:
        dce.disconnect()
    return sent[0], sent[1]


def read_pdu(sock):
    data = b''
    while len(data) < 16 or len(data) < struct.unpack_from('<H', data, 8)[0]:
        chunk = sock.recv(65536)
        if not chunk:
            raise Failure('the connection ended inside a PDU')
        data += chunk
    return data


def call(pdus):
    """One call on a connection of its own; the stub data of the answer."""
    with socket.create_connection(('127.0.0.1', PORT), timeout=10) as sock:
        sock.sendall(pdus[0])
        if read_pdu(sock)[2] != 12:
            raise Failure('the bind was not acknowledged')
        sock.sendall(pdus[1])
        answer = read_pdu(sock)
        if answer[2] != 2:
            raise Failure('the call was answered with PDU type %d' % answer[2])
        return answer[24:]


def flood(pdus, calls, check, failures):
    try:
        for _ in range(calls):
            check(call(pdus))
    except (Failure, OSError) as error:
        failures.append(str(error))


def check_status(stub):
    process_id, _, error = struct.unpack('<III', stub[-12:])
    if error != 0 or process_id != 0:
        raise Failure('GetStatus answered %d with process id %d' % (error, process_id))


def check_refused(stub):
    if struct.unpack('<I', stub[-4:])[0] != ERROR_ACCESS_DENIED:
        raise Failure('an unauthenticated RequestUninstall was not refused')


def accounted(lines, first, kind):
    """Calls of a kind the log accounts for: its lines plus the counts of those left out."""
    written = sum(1 for line in lines if first in line)
    counted = sum(int(m.group(1)) for m in (re.search(r'\[%s\] (\d+) more since ' % re.escape(kind), line)
                                            for line in lines) if m)
    return written, counted


def main(wine_run, prefix, bin_dir):
    service = HelperService(wine_run, prefix, bin_dir, 'ReferencePlugin.dll', 'KorloFlood')
    log_path = os.path.join(prefix, 'drive_c', 'ProgramData', 'Korlo', 'Backup', 'KorloVssSupport.log')
    for path in (log_path, log_path[:-4] + '.1.log'):
        if os.path.exists(path):
            os.remove(path)
    # Traffic from Linux alone does not keep the prefix's session alive.
    keep_alive = subprocess.Popen([wine_run, prefix, 'cmd.exe', '/c', 'pause'], stdin=subprocess.PIPE,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if not service.create() or not service.start():
            return 1
        request = RequestUninstall()
        request['rebootRequired'] = 0
        request['fileLockName'] = b'\x00'
        request['decision'] = RP_DECISION_NONE
        kinds = [(recorded_call(GetStatus()), GET_STATUS_CALLS, check_status),
                 (recorded_call(request), REQUEST_UNINSTALL_CALLS, check_refused)]
        failures, threads, started = [], [], time.time()
        for pdus, calls, check in kinds:
            for _ in range(THREADS // len(kinds)):
                threads.append(threading.Thread(target=flood, args=(pdus, calls // (THREADS // len(kinds)), check,
                                                                     failures)))
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print('%d calls in %.1f s' % (GET_STATUS_CALLS + REQUEST_UNINSTALL_CALLS, time.time() - started))
        if not service.stop():
            failures.append('the service did not stop')
        if failures:
            raise Failure('; '.join(failures[:5]))
        with open(log_path, 'rb') as log:
            content = log.read()
        lines = content.decode('utf-16').splitlines()
        print('the plugin log: %d bytes, %d lines' % (len(content), len(lines)))
        if len(content) >= LOG_LIMIT_BYTES or os.path.exists(log_path[:-4] + '.1.log'):
            raise Failure('the log grew beyond %d bytes' % LOG_LIMIT_BYTES)
        # One call of each kind went through impacket itself, to record its PDUs.
        for first, kind, calls in (('] RPC GetStatus (', 'RPC GetStatus', GET_STATUS_CALLS + 1),
                                   ('] RPC RequestUninstall refused: ', 'RPC RequestUninstall refused',
                                    REQUEST_UNINSTALL_CALLS + 1)):
            written, counted = accounted(lines, first, kind)
            print('%s: %d lines written, %d counted' % (kind, written, counted))
            if written + counted != calls or written > 2:
                raise Failure('%s: %d written and %d counted for %d calls' % (kind, written, counted, calls))
        return 0
    finally:
        keep_alive.communicate(b'\r\n', timeout=30)
        service.remove()


if __name__ == '__main__':
    try:
        sys.exit(main(*sys.argv[1:]))
    except (Failure, OSError) as error:
        print('FAILED: %s' % error)
        sys.exit(1)
