#!/usr/bin/python3
"""impacket_stop_e2e.py WINE_RUN PREFIX BIN_DIR

A stop while clients are calling. Installs KorloGuestHelper.exe from BIN_DIR
as a real service in the Wine prefix, in persistent mode (RPC on port 6173),
with fixture_plugin_rpc.dll as KorloVssSupport.dll: a plugin whose interface
stays registered after its PluginMain has returned. Eight impacket clients
call the interface in a loop (four on one connection each, four with a new
connection per call) while the service is stopped. Then: the service is
STOPPED within a few seconds, every client has ended, no crash dump was
written, and the service starts again at once and answers on the same port.
Exit code 0 when all of that held, 1 otherwise."""
import glob
import os
import subprocess
import sys
import threading
import time

from impacket.dcerpc.v5.dtypes import ULONG
from impacket.dcerpc.v5.ndr import NDRCALL
from impacket.uuid import uuidtup_to_bin

import closing_transport
from helper_service import HelperService

PORT = 6173
INTERFACE = uuidtup_to_bin(('5d2f0c8e-7a41-4b6e-9c3d-2e8f1a6b4c70', '1.0'))
CLIENTS = 8
# A client may end by a refused or closed connection, a refused bind or an
# unknown interface; a call that faults inside the service (0x3e6: a call into
# freed code, caught by the run-time) fails the test.
CALL_FAULTS = ('fault status code', '000003e6', 'c0000005')
STOP_LIMIT_S = 10
CLIENT_END_LIMIT_S = 30


class Ping(NDRCALL):
    opnum = 0
    structure = (('value', ULONG),)


class PingResponse(NDRCALL):
    structure = (('result', ULONG),)


def connect():
    return closing_transport.connect('127.0.0.1', PORT, INTERFACE, 5)


def ping(dce, value):
    request = Ping()
    request['value'] = value
    answer = dce.request(request, checkError=False)
    if answer['result'] != value + 1:
        raise RuntimeError('Ping(%d) answered %d' % (value, answer['result']))


class Client(threading.Thread):
    """Calls until a call or a connection fails; counts the answers."""

    def __init__(self, reconnect):
        super().__init__(daemon=True)
        self.reconnect = reconnect
        self.answers = 0
        self.ending = None

    def run(self):
        dce = None
        try:
            while True:
                if dce is None:
                    dce = connect()
                ping(dce, self.answers)
                self.answers += 1
                if self.reconnect:
                    dce.disconnect()
                    dce = None
        except Exception as error:  # the end of the service, seen by the client
            self.ending = '%s: %s' % (type(error).__name__, error)


def dumps(prefix):
    return set(glob.glob(os.path.join(prefix, 'drive_c', 'ProgramData', '**', '*_crash_*'), recursive=True))


def answers_once(limit_s):
    deadline = time.monotonic() + limit_s
    while True:
        try:
            dce = connect()
            ping(dce, 41)
            dce.disconnect()
            return True
        except Exception:
            if time.monotonic() > deadline:
                return False
            time.sleep(0.2)


def main(wine_run, prefix, bin_dir):
    service = HelperService(wine_run, prefix, bin_dir, 'fixture_plugin_rpc.dll', 'KorloStopLoad', config=True)
    failures = []
    before = dumps(prefix)
    try:
        if not service.create():
            return 1
        if not service.start() or not answers_once(20):
            print('FAILED: the service did not start or does not answer')
            return 1
        clients = [Client(reconnect=i % 2 == 1) for i in range(CLIENTS)]
        for client in clients:
            client.start()
        time.sleep(1.5)

        start = time.monotonic()
        stopped = service.stop()
        elapsed = time.monotonic() - start
        print('stop under load: STOPPED=%s after %.1f s' % (stopped, elapsed))
        if not stopped or elapsed > STOP_LIMIT_S:
            failures.append('no STOPPED within %d s' % STOP_LIMIT_S)

        for client in clients:
            client.join(CLIENT_END_LIMIT_S)
        for i, client in enumerate(clients):
            print('client %d (%s): %d answers, ended by %s'
                  % (i, 'new connection per call' if client.reconnect else 'one connection', client.answers,
                     client.ending))
            if client.is_alive():
                failures.append('client %d still calls after the stop' % i)
            elif any(fault in client.ending.lower() for fault in CALL_FAULTS):
                failures.append('client %d: a call failed inside the service' % i)
            elif client.answers == 0:
                failures.append('client %d was never answered' % i)

        made = dumps(prefix) - before
        if made:
            failures.append('crash dumps written: %s' % sorted(made))

        start = time.monotonic()
        if not service.start() or not answers_once(10):
            failures.append('no answer on port %d after a restart' % PORT)
        print('restart: answered after %.1f s' % (time.monotonic() - start))
        if not service.stop():
            failures.append('the restarted service did not stop')
    finally:
        service.remove()
    for failure in failures:
        print('FAILED: ' + failure)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main(*sys.argv[1:]))
