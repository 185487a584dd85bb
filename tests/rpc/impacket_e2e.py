#!/usr/bin/python3
"""impacket_e2e.py WINE_RUN PREFIX BIN_DIR CLIENT

Installs KorloGuestHelper.exe from BIN_DIR as a real service in the Wine
prefix, in persistent mode (RPC on port 6173), with ReferencePlugin.dll as
KorloVssSupport.dll beside it; starts it with KorloSvcCtl, runs the impacket
client CLIENT against 127.0.0.1:6173 with this interpreter, then stops and
deletes the service. Exit code: the client's, else 1 when the service could
not be run."""
import os
import shutil
import subprocess
import sys
import uuid

PORT = '6173'


def main(wine_run, prefix, bin_dir, client):
    name = 'KorloImpacket-' + uuid.uuid4().hex
    folder = 'korlo-' + name
    target = os.path.join(prefix, 'drive_c', folder)
    os.makedirs(target)
    shutil.copy(os.path.join(bin_dir, 'KorloGuestHelper.exe'), target)
    shutil.copy(os.path.join(bin_dir, 'ReferencePlugin.dll'), os.path.join(target, 'KorloVssSupport.dll'))

    def svcctl(*args, quiet=False):
        return subprocess.run([wine_run, prefix, os.path.join(bin_dir, 'KorloSvcCtl.exe')] + list(args),
                              timeout=90, stdout=subprocess.DEVNULL if quiet else None,
                              stderr=subprocess.DEVNULL if quiet else None).returncode

    try:
        command = '"C:\\%s\\KorloGuestHelper.exe" -persistent' % folder
        if svcctl('create', name, command) != 0 or svcctl('start', name) != 0:
            return 1
        result = subprocess.run([sys.executable, client, '127.0.0.1', PORT], timeout=120).returncode
        if svcctl('stop', name) != 0:
            result = result or 1
        return result
    finally:
        svcctl('stop', name, quiet=True)
        svcctl('delete', name, quiet=True)
        shutil.rmtree(target, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main(*sys.argv[1:]))
