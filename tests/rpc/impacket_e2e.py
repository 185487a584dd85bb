#!/usr/bin/python3
"""impacket_e2e.py WINE_RUN PREFIX BIN_DIR CLIENT

Installs KorloGuestHelper.exe from BIN_DIR as a real service in the Wine
prefix, in persistent mode (RPC on port 6173), with ReferencePlugin.dll as
KorloVssSupport.dll beside it; starts it with KorloSvcCtl, runs the impacket
client CLIENT against 127.0.0.1:6173 with this interpreter, then stops and
deletes the service. Exit code: the client's, else 1 when the service could
not be run."""
import subprocess
import sys

from helper_service import HelperService

PORT = '6173'


def main(wine_run, prefix, bin_dir, client):
    service = HelperService(wine_run, prefix, bin_dir, 'ReferencePlugin.dll', 'KorloImpacket')
    try:
        if not service.create() or not service.start():
            return 1
        result = subprocess.run([sys.executable, client, '127.0.0.1', PORT], timeout=120).returncode
        if not service.stop():
            result = result or 1
        return result
    finally:
        service.remove()


if __name__ == '__main__':
    sys.exit(main(*sys.argv[1:]))
